// Graph construction: levels, links, bounds, entry point, heuristic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/hnsw/code_distance.h"
#include "core/hnsw/distance.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/level_generator.h"
#include "core/hnsw/neighbor_selection.h"
#include "core/hnsw/total_order.h"
#include "hnsw_test_util.h"

namespace karvalith {
namespace {

using testing_util::build_index;
using testing_util::clustered_data;

HnswConfig euclidean_config() {
  HnswConfig config;
  config.distance_metric = DistanceMetric::Euclidean;
  return config;
}

void insert_vector(HnswIndex& index, std::vector<float> v) {
  auto status = index.insert(index.node_count(), v, QuantizedVector::quantize(v));
  ASSERT_TRUE(status.has_value());
}

TEST(LevelGenerator, LevelFollowsTheLogDistributionAndItsCaps) {
  // mult = 1/ln 16: just below u = 16^-3 the level is 3, just above it is 2.
  EXPECT_EQ(level_for_uniform(std::pow(16.0, -3.0) * 0.999, 16, 16), 3);
  EXPECT_EQ(level_for_uniform(std::pow(16.0, -3.0) * 1.001, 16, 16), 2);
  EXPECT_EQ(level_for_uniform(0.5, 16, 16), 0);
  EXPECT_EQ(level_for_uniform(1e-300, 16, 16), 15);  // capped at max_layers - 1
  EXPECT_EQ(level_for_uniform(0.0, 16, 16), 15);     // ln 0 = -inf -> largest level
  EXPECT_EQ(level_for_uniform(0.0, 16, 1000), 255);  // one byte per level
  EXPECT_EQ(level_for_uniform(0.5, 1, 16), 15);      // m = 1: infinite multiplier
  EXPECT_EQ(level_for_uniform(0.5, 0, 16), 0);       // m = 0: zero multiplier
  EXPECT_EQ(level_for_uniform(0.0, 0, 16), 0);       // -inf * 0 = NaN -> 0
  EXPECT_EQ(level_for_uniform(0.001, 16, 0), 0);
}

TEST(LevelGenerator, SeedingReproducesTheStream) {
  seed_level_generator(42);
  const auto a = level_random_u64();
  const auto b = level_random_u64();
  seed_level_generator(42);
  EXPECT_EQ(level_random_u64(), a);
  EXPECT_EQ(level_random_u64(), b);
  EXPECT_NE(a, b);
}

TEST(Heuristic, RejectsCandidatesCloserToAPickAndFillsWithThem) {
  HnswConfig config = euclidean_config();
  config.max_layers = 1;
  HnswIndex index(config, 1);
  insert_vector(index, {0.0f});  // base point
  insert_vector(index, {1.0f});  // A
  insert_vector(index, {2.0f});  // B
  insert_vector(index, {3.0f});  // C
  // Distances to the base point, deliberately out of order.
  std::vector<Candidate> candidates = {{9.0f, 3}, {1.0f, 1}, {4.0f, 2}};
  auto picked = select_neighbors_heuristic(index, candidates, 2);
  ASSERT_EQ(picked.size(), 2u);
  EXPECT_EQ(picked[0].id, 1u);
  EXPECT_EQ(picked[0].distance, 1.0f);
  EXPECT_EQ(picked[1].id, 2u);  // B, filled in although rejected
  EXPECT_EQ(picked[1].distance, 4.0f);

  EXPECT_TRUE(select_neighbors_heuristic(index, candidates, 0).empty());
  // With room for all three, the fill-up appends B then C after A.
  auto all = select_neighbors_heuristic(index, candidates, 5);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1].id, 2u);
  EXPECT_EQ(all[2].id, 3u);
}

TEST(Heuristic, KeepsCandidatesInDifferentDirections) {
  HnswConfig config = euclidean_config();
  config.store_raw_vectors = true;
  HnswIndex index(config, 2);
  insert_vector(index, {1.0f, 0.0f});
  insert_vector(index, {-1.0f, 0.0f});
  insert_vector(index, {2.0f, 0.0f});
  // Base (0, 0): nodes 0 and 1 lie on opposite sides, node 2 behind node 0.
  std::vector<Candidate> candidates = {{1.0f, 0}, {1.0f, 1}, {4.0f, 2}};
  auto picked = select_neighbors_heuristic(index, candidates, 2);
  ASSERT_EQ(picked.size(), 2u);
  EXPECT_NE(picked[0].id, 2u);
  EXPECT_NE(picked[1].id, 2u);
}

// A pruned list's distances to its owner come eight at a time from the
// grouped kernel (CodeDistance::distances_to): bit for bit the distances one
// pair at a time gives, for every group size, every metric, both kernel
// paths, and a dimension that is no multiple of a kernel's step.
TEST(CodeDistances, GroupedEqualOnePairAtATime) {
  for (const KernelPath path : {KernelPath::Avx2, KernelPath::Portable}) {
    set_kernel_path_for_testing(path);
    for (const std::size_t dim : {std::size_t{100}, std::size_t{384}}) {
      const auto data = clustered_data(120, dim, 61);
      for (auto metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
        HnswConfig config;
        config.distance_metric = metric;
        config.ef_construction = 8;
        const HnswIndex index = build_index(config, data, dim);
        const CodeDistance coded(index);
        std::vector<std::int8_t> centred;
        for (std::uint32_t owner : {0u, 57u, 119u}) {
          const CodeDistance::Terms a = coded.terms(owner);
          coded.centre(a, centred);
          for (std::size_t count = 1; count <= 8; ++count) {
            CodeDistance::Terms others[8];
            for (std::size_t j = 0; j < count; ++j) others[j] = coded.terms(static_cast<std::uint32_t>(3 + 13 * j + count));
            float got[8];
            coded.distances_to(a, centred.data(), others, count, got);
            for (std::size_t j = 0; j < count; ++j) {
              EXPECT_EQ(got[j], coded(a, others[j])) << "dim " << dim << " owner " << owner << " count " << count;
            }
          }
        }
      }
    }
  }
  set_kernel_path_for_testing(KernelPath::Auto);
}

// A pruned level-0 list keeps its members' verdicts from the prune before
// (only the new id's pairs are scored): the list must be exactly what the
// full heuristic makes of its own members, picks first, and the pick count
// kept with it must be the full heuristic's. Every metric, one thread and
// two; lists never pruned say they are unknown.
TEST(Insert, PrunedListsAreWhatTheFullHeuristicMakesOfThem) {
  const std::size_t dim = 24;
  const auto data = clustered_data(3000, dim, 71);
  for (auto metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    for (unsigned threads : {1u, 2u}) {
      HnswConfig config;
      config.distance_metric = metric;
      config.m = 6;
      config.m_max0 = 12;
      config.ef_construction = 40;
      seed_level_generator(3);
      HnswIndex index(config, dim);
      std::vector<QuantizedVector> codes;
      for (std::size_t i = 0; i < 3000; ++i) {
        codes.push_back(QuantizedVector::quantize(std::span(data).subspan(i * dim, dim)));
      }
      ASSERT_TRUE(index.insert_batch(data, codes, threads));
      const CodeDistance coded(index);
      std::size_t known = 0, checked = 0;
      for (std::uint32_t w = 0; w < index.node_count(); ++w) {
        const std::size_t picks = index.level0_picks(w);
        if (picks == HnswIndex::UNKNOWN_PICKS) continue;
        ++known;
        std::vector<Candidate> members;
        for (std::uint32_t id : index.neighbors(w, 0)) members.push_back({coded(w, id), id});
        // Equal distances may take either order: such lists are skipped.
        std::vector<std::int32_t> keys;
        for (const Candidate& c : members) keys.push_back(total_order_key(c.distance));
        std::sort(keys.begin(), keys.end());
        if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) continue;
        ++checked;
        HeuristicScratch scratch;
        std::vector<Candidate> full;
        const std::size_t full_picks = select_neighbors_heuristic(index, members, config.m_max0, scratch, full);
        ASSERT_EQ(picks, full_picks) << "node " << w;
        ASSERT_EQ(full.size(), members.size()) << "node " << w;
        for (std::size_t i = 0; i < full.size(); ++i) EXPECT_EQ(full[i].id, members[i].id) << "node " << w << " at " << i;
      }
      SCOPED_TRACE(testing::Message() << "metric " << static_cast<int>(metric) << " threads " << threads);
      EXPECT_GT(known, 1000u);  // most lists have been pruned (fewer under the dot product, which makes hubs)
      EXPECT_GT(checked, known * 9 / 10);
    }
  }
}

TEST(Insert, FirstNodeHasNoLinksAndBecomesEntryPoint) {
  seed_level_generator(3);
  HnswIndex index(HnswConfig{}, 3);
  insert_vector(index, {1.0f, 2.0f, 3.0f});
  ASSERT_EQ(index.node_count(), 1u);
  EXPECT_EQ(index.entry_point(), 0u);
  EXPECT_EQ(index.max_level(), index.level(0));
  EXPECT_EQ(index.list_count(0), index.level(0) + 1u);
  for (std::uint64_t l = 0; l <= index.level(0); ++l) EXPECT_TRUE(index.neighbors(0, l).empty());
}

TEST(Insert, SecondNodeLinksBothWays) {
  HnswConfig config;
  config.max_layers = 1;
  HnswIndex index(config, 2);
  insert_vector(index, {1.0f, 0.0f});
  insert_vector(index, {0.0f, 1.0f});
  ASSERT_EQ(index.neighbors(1, 0).size(), 1u);
  EXPECT_EQ(index.neighbors(1, 0)[0], 0u);
  ASSERT_EQ(index.neighbors(0, 0).size(), 1u);
  EXPECT_EQ(index.neighbors(0, 0)[0], 1u);
  EXPECT_EQ(index.entry_point(), 0u);  // same level: entry point stays
}

TEST(Insert, ListsStayWithinBoundsAndNeverHoldTheirOwner) {
  const std::size_t dim = 8;
  for (bool raw : {false, true}) {
    HnswConfig config;
    config.store_raw_vectors = raw;
    config.ef_construction = 64;
    auto data = clustered_data(600, dim, 11);
    auto index = build_index(config, data, dim);
    bool saw_upper = false;
    for (std::uint32_t n = 0; n < index.node_count(); ++n) {
      ASSERT_EQ(index.list_count(n), index.level(n) + 1u);
      EXPECT_LE(index.level(n), index.max_level());
      for (std::uint64_t l = 0; l < index.list_count(n); ++l) {
        auto list = index.neighbors(n, l);
        EXPECT_LE(list.size(), l == 0 ? config.m_max0 : config.m);
        if (l > 0 && !list.empty()) saw_upper = true;
        for (auto id : list) {
          EXPECT_NE(id, n);
          EXPECT_LT(id, index.node_count());
          EXPECT_GE(index.level(id), l);
        }
      }
    }
    EXPECT_TRUE(saw_upper);
    ASSERT_TRUE(index.entry_point().has_value());
    EXPECT_EQ(index.level(*index.entry_point()), index.max_level());
    EXPECT_EQ(index.has_raw_vectors(), raw);
  }
}

// The raw rows live in an array that starts on the heap and moves into a
// mapping, then huge pages, as it grows (2.4 MB here): every row must come
// through each move, and through the plain-data form and back.
TEST(Insert, RawVectorsSurviveTheArrayGrowingAndThePlainForm) {
  const std::size_t dim = 1024;
  const std::size_t count = 600;
  HnswConfig config;
  config.store_raw_vectors = true;
  config.ef_construction = 8;
  const auto data = clustered_data(count, dim, 23);
  const HnswIndex built = build_index(config, data, dim);
  const HnswIndex reloaded = HnswIndex::from_parts(built.to_parts());
  for (const HnswIndex* index : {&built, &reloaded}) {
    ASSERT_EQ(index->node_count(), count);
    for (std::uint32_t n = 0; n < count; ++n) {
      const auto raw = index->raw_vector(n);
      const auto expected = testing_util::row(data, dim, n);
      ASSERT_TRUE(std::equal(raw.begin(), raw.end(), expected.begin(), expected.end())) << "node " << n;
    }
  }
}

TEST(Insert, OneLayerConfigKeepsEveryNodeAtLevelZero) {
  HnswConfig config;
  config.max_layers = 1;
  auto data = clustered_data(300, 4, 5);
  auto index = build_index(config, data, 4);
  for (std::uint32_t n = 0; n < index.node_count(); ++n) {
    EXPECT_EQ(index.level(n), 0);
    EXPECT_EQ(index.list_count(n), 1u);
  }
  EXPECT_EQ(index.max_level(), 0u);
  EXPECT_EQ(index.entry_point(), 0u);
}

TEST(Insert, DegenerateLinkCountsDoNotBreakTheGraph) {
  auto data = clustered_data(200, 4, 9);
  {
    HnswConfig config;  // m = 1: every node at level max_layers - 1
    config.m = 1;
    config.m_max0 = 2;
    config.max_layers = 4;
    auto index = build_index(config, data, 4);
    EXPECT_EQ(index.max_level(), 3u);
    EXPECT_EQ(index.entry_point(), 0u);  // later nodes only tie the top level
    for (std::uint32_t n = 0; n < index.node_count(); ++n) {
      EXPECT_EQ(index.level(n), 3);
      EXPECT_LE(index.neighbors(n, 1).size(), 1u);
    }
    auto found = index.knn_search(testing_util::row(data, 4, 0), 5);
    ASSERT_TRUE(found.has_value());
    EXPECT_FALSE(found->empty());
  }
  {
    HnswConfig config;  // m = 0: no links are ever kept
    config.m = 0;
    config.m_max0 = 0;
    auto index = build_index(config, data, 4);
    for (std::uint32_t n = 0; n < index.node_count(); ++n) EXPECT_TRUE(index.neighbors(n, 0).empty());
    auto found = index.knn_search(testing_util::row(data, 4, 5), 3);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->size(), 1u);  // only the entry point is reachable
  }
}

TEST(Insert, HugeLevelZeroBoundGrowsRowsOnlyAsNeeded) {
  HnswConfig config;
  config.m_max0 = std::numeric_limits<std::uint64_t>::max();
  config.ef_construction = 40;
  auto data = clustered_data(400, 4, 13);
  auto index = build_index(config, data, 4);
  std::size_t longest = 0;
  for (std::uint32_t n = 0; n < index.node_count(); ++n) {
    longest = std::max(longest, index.neighbors(n, 0).size());
  }
  EXPECT_LE(longest, index.level0_capacity());
  EXPECT_LE(index.level0_capacity(), std::max<std::size_t>(256, 2 * longest));
  EXPECT_GT(longest, 32u);  // nothing prunes level-0 lists
}

TEST(Insert, DeletedNodesRemainLinkTargetsSoNewNodesStayReachable) {
  HnswConfig config = euclidean_config();
  config.max_layers = 1;
  HnswIndex index(config, 1);
  for (float x : {0.0f, 10.0f, 20.0f}) insert_vector(index, {x});
  ASSERT_TRUE(index.mark_deleted(1));
  EXPECT_FALSE(index.mark_deleted(3));
  insert_vector(index, {10.5f});
  // The deleted node is the new node's nearest: it links to it, and gets the
  // back-link, so walks through it reach the new node.
  const auto links = index.neighbors(3, 0);
  EXPECT_NE(std::find(links.begin(), links.end(), 1u), links.end());
  const auto back = index.neighbors(1, 0);
  EXPECT_NE(std::find(back.begin(), back.end(), 3u), back.end());
  auto hits = index.knn_search(std::vector<float>{10.4f}, 1);
  ASSERT_TRUE(hits && hits->size() == 1);
  EXPECT_EQ(hits->front().id, 3u);
}

TEST(Insert, NodesInsertedAfterEveryNodeWasDeletedAreFound) {
  auto old_data = clustered_data(300, 8, 21);
  auto index = build_index(HnswConfig{}, old_data, 8);
  for (std::uint32_t n = 0; n < index.node_count(); ++n) ASSERT_TRUE(index.mark_deleted(n));
  auto new_data = clustered_data(40, 8, 22);
  for (std::size_t i = 0; i < 40; ++i) {
    std::vector<float> v(new_data.begin() + static_cast<std::ptrdiff_t>(i * 8),
                         new_data.begin() + static_cast<std::ptrdiff_t>((i + 1) * 8));
    insert_vector(index, v);
  }
  for (std::size_t q = 0; q < 5; ++q) {
    std::vector<float> query(old_data.begin() + static_cast<std::ptrdiff_t>(q * 8),
                             old_data.begin() + static_cast<std::ptrdiff_t>((q + 1) * 8));
    auto hits = index.knn_search(query, 40);
    ASSERT_TRUE(hits.has_value());
    ASSERT_EQ(hits->size(), 40u) << "every live node is reachable";
    for (const Candidate& hit : *hits) EXPECT_GE(hit.id, 300u);
  }
}

}  // namespace
}  // namespace karvalith
