// Several threads inserting, deleting, searching and rebuilding one
// collection at once; meant to run under the sanitizers as well.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "engine/collection_test_util.h"
#include "core/engine/collection.h"

namespace karvalith {
namespace {

constexpr std::uint64_t DIMENSION = 8;

std::vector<float> random_vector(std::mt19937& rng) {
  std::uniform_real_distribution<float> component(-1.0f, 1.0f);
  std::vector<float> v(DIMENSION);
  for (float& x : v) x = component(rng);
  return v;
}

TEST(CollectionConcurrency, MixedOperationsKeepTheSlotInvariants) {
  Collection collection("docs", DIMENSION, HnswConfig{});
  std::mutex inserted_mutex;
  std::vector<Uuid> inserted;
  constexpr std::size_t PER_INSERTER = 150;
  constexpr std::size_t TOTAL = 2 * PER_INSERTER;
  std::atomic<int> writers_running{3};  // two inserters and the deleter

  auto inserter = [&](unsigned seed) {
    std::mt19937 rng(seed);
    for (std::size_t i = 0; i < PER_INSERTER; ++i) {
      const Uuid id = testing::insert(collection, "text number " + std::to_string(i), random_vector(rng));
      std::lock_guard lock(inserted_mutex);
      inserted.push_back(id);
    }
    --writers_running;
  };
  auto deleter = [&] {
    // Deletes every third inserted document, in insertion order.
    for (std::size_t next = 0; next < TOTAL;) {
      Uuid victim;
      {
        std::lock_guard lock(inserted_mutex);
        if (next < inserted.size()) victim = inserted[next];
      }
      if (victim == Uuid{}) {
        std::this_thread::yield();
        continue;
      }
      EXPECT_TRUE(collection.delete_document(victim));
      next += 3;
    }
    --writers_running;
  };
  auto reader = [&] {
    std::mt19937 rng(99);
    while (writers_running > 0) {
      const std::vector<float> query = random_vector(rng);
      auto state = collection.state().read();
      Result<std::vector<Candidate>> hits = state->hnsw.knn_search(query, 5);
      ASSERT_TRUE(hits.has_value());
      for (const Candidate& hit : *hits) ASSERT_LT(hit.id, state->internal_to_uuid.size());
    }
  };
  auto rebuilder = [&] {
    while (writers_running > 0) ASSERT_TRUE(collection.rebuild().has_value());
  };

  std::vector<std::thread> threads;
  threads.emplace_back(inserter, 1u);
  threads.emplace_back(inserter, 2u);
  threads.emplace_back(deleter);
  threads.emplace_back(reader);
  threads.emplace_back(rebuilder);
  for (std::thread& t : threads) t.join();

  auto check = [&] {
    auto state = collection.state().read();
    EXPECT_EQ(state->hnsw.node_count(), state->internal_to_uuid.size());
    EXPECT_EQ(state->uuid_to_internal.size(), state->internal_to_uuid.size());
    std::size_t live_in_graph = 0;
    for (std::uint32_t n = 0; n < state->hnsw.node_count(); ++n) live_in_graph += !state->hnsw.is_deleted(n);
    EXPECT_EQ(live_in_graph, state->documents.size());  // every removed slot is a tombstone
    state->documents.for_each_slot([&](std::uint32_t slot) {
      EXPECT_EQ(state->slot_of(state->internal_to_uuid[slot]), slot);
      EXPECT_FALSE(state->hnsw.is_deleted(slot));
    });
    return state->documents.size();
  };
  const std::size_t live = check();
  EXPECT_EQ(live, TOTAL - (TOTAL + 2) / 3);
  Result<std::uint64_t> rebuilt = collection.rebuild();
  ASSERT_TRUE(rebuilt.has_value());
  EXPECT_EQ(*rebuilt, live);
  EXPECT_EQ(check(), live);
  EXPECT_EQ(collection.state().read()->hnsw.node_count(), live);
}

}  // namespace
}  // namespace karvalith
