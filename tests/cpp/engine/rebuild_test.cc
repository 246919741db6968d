#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "engine/collection_test_util.h"
#include "core/engine/collection.h"

namespace karvalith {
namespace {

using testing::insert;
using testing::make_document;
using testing::nearest_slot;

const std::vector<std::vector<float>> VECTORS = {
    {1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}, {1, 1, 0, 0}};

// Five documents, the second and fourth deleted; returns the five ids.
std::vector<Uuid> fill(Collection& collection) {
  std::vector<Uuid> ids;
  for (std::size_t i = 0; i < VECTORS.size(); ++i) {
    ids.push_back(insert(collection, "word" + std::to_string(i) + " common", VECTORS[i]));
  }
  EXPECT_TRUE(collection.delete_document(ids[1]));
  EXPECT_TRUE(collection.delete_document(ids[3]));
  return ids;
}

TEST(CollectionRebuild, CompactsToTheLiveDocuments) {
  HnswConfig config;
  config.store_raw_vectors = true;
  Collection collection("docs", 4, config);
  const std::vector<Uuid> ids = fill(collection);

  Result<std::uint64_t> rebuilt = collection.rebuild();
  ASSERT_TRUE(rebuilt.has_value());
  EXPECT_EQ(*rebuilt, 3u);
  {
    auto state = collection.state().read();
    EXPECT_EQ(state->hnsw.node_count(), 3u);
    EXPECT_EQ(state->internal_to_uuid.size(), 3u);
    EXPECT_EQ(state->uuid_to_internal.size(), 3u);
    EXPECT_EQ(state->inverted_index.doc_count(), 3u);
    EXPECT_EQ(state->inverted_index.find("word1"), nullptr);
    for (std::uint32_t slot = 0; slot < 3; ++slot) {
      EXPECT_FALSE(state->hnsw.is_deleted(slot));
      EXPECT_EQ(state->slot_of(state->internal_to_uuid[slot]), slot);
    }
  }
  for (std::size_t i : {0u, 2u, 4u}) {
    ASSERT_NE(collection.get_document(ids[i]), nullptr);
    const long long slot = nearest_slot(collection, VECTORS[i]);
    ASSERT_GE(slot, 0);
    auto state = collection.state().read();
    EXPECT_EQ(state->internal_to_uuid[slot], ids[i]);
    auto raw = state->hnsw.raw_vector(static_cast<std::uint32_t>(slot));
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), VECTORS[i].begin()));  // raw copies survive exactly
  }
  // Deleted ids no longer hold a slot, so they may be inserted again.
  EXPECT_TRUE(collection.validate_insert(std::vector<PendingDocument>{
                  {Document{ids[1], "back", {}}, VECTORS[1]}}).has_value());
}

TEST(CollectionRebuild, EmptyCollectionGivesZero) {
  Collection collection("docs", 4, HnswConfig{});
  const Uuid only = insert(collection, "only", VECTORS[0]);
  ASSERT_TRUE(collection.delete_document(only));
  Result<std::uint64_t> rebuilt = collection.rebuild();
  ASSERT_TRUE(rebuilt.has_value());
  EXPECT_EQ(*rebuilt, 0u);
  EXPECT_EQ(collection.estimate_memory_bytes(), 0u);
}

}  // namespace
}  // namespace karvalith
