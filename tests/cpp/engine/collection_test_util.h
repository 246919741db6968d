// Helpers shared by the collection, rebuild and registry tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "core/engine/collection.h"

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

}  // namespace karvalith::testing
