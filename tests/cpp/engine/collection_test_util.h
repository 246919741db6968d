// Helpers shared by the collection, rebuild and registry tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/engine/collection.h"
#include "core/search/filter.h"

namespace karvalith::testing {

inline Document make_document(std::string text, Metadata metadata = {}) {
  Result<Uuid> id = Uuid::generate_v4();
  EXPECT_TRUE(id.has_value());
  return Document{*id, std::move(text), std::move(metadata)};
}

// Inserts and returns the id; fails the test when the insert is refused.
inline Uuid insert(Collection& collection, std::string text, std::vector<float> embedding) {
  Result<Uuid> id = collection.insert_document(make_document(std::move(text)), std::move(embedding));
  EXPECT_TRUE(id.has_value()) << (id ? "" : id.error().message);
  return id.value_or(Uuid{});
}

// The slot whose document is the nearest neighbour of `query`, or -1.
inline long long nearest_slot(const Collection& collection, const std::vector<float>& query) {
  auto state = collection.state().read();
  Result<std::vector<Candidate>> hits = state->hnsw.knn_search(query, 1);
  if (!hits || hits->empty()) return -1;
  return hits->front().id;
}

inline bool has_posting_for(const InvertedIndex& index, std::uint32_t slot) {
  for (const auto& [term, list] : index.postings()) {
    for (const Posting& posting : list) {
      if (posting.doc_id == slot) return true;
    }
  }
  return false;
}

// Whether slot `slot` holds a live document that passes the filter.
inline bool slot_passes(const CollectionState& state, const MetadataFilter& filter, std::uint32_t slot) {
  return state.documents.contains(slot) && matches_filter(state.documents.metadata(slot), filter);
}

// Checks, under one shared lock, that the metadata index passes exactly the
// slots the filter evaluator passes, for each filter.
inline void expect_index_agrees(const Collection& collection, const std::vector<MetadataFilter>& filters) {
  auto state = collection.state().read();
  std::vector<std::uint64_t> bits;
  std::vector<std::uint64_t> scratch;
  for (std::size_t f = 0; f < filters.size(); ++f) {
    const std::uint64_t count =
        state->metadata_index.evaluate(filters[f], state->internal_to_uuid.size(), bits, scratch);
    std::uint64_t expected = 0;
    for (std::uint32_t slot = 0; slot < state->internal_to_uuid.size(); ++slot) {
      const bool passes = slot_passes(*state, filters[f], slot);
      expected += passes ? 1 : 0;
      ASSERT_EQ(test_slot(bits, slot), passes) << "filter " << f << " slot " << slot;
    }
    EXPECT_EQ(count, expected) << "filter " << f;
  }
}

inline MetadataFilter filter_of(std::vector<FilterCondition> must, std::vector<FilterCondition> must_not = {}) {
  return MetadataFilter{std::move(must), std::move(must_not)};
}

inline FilterCondition clause(std::string field, FilterOp op, JsonValue value) {
  return FilterCondition{std::move(field), op, std::move(value), std::nullopt};
}

}  // namespace karvalith::testing
