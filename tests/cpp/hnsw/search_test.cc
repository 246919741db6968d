// k-NN search: ordering, tombstones, beam widening, epoch wrap, metrics,
// raw vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "core/hnsw/graph.h"
#include "core/hnsw/query_scorer.h"
#include "core/hnsw/search.h"
#include "core/hnsw/thread_context.h"
#include "hnsw_test_util.h"

namespace karvalith {
namespace {

using testing_util::brute_force;
using testing_util::build_index;
using testing_util::clustered_data;
using testing_util::ids_of;
using testing_util::insert_all;
using testing_util::row;

std::vector<Candidate> search(const HnswIndex& index, std::span<const float> query, std::uint64_t k) {
  auto found = index.knn_search(query, k);
  EXPECT_TRUE(found.has_value());
  return found.value_or(std::vector<Candidate>{});
}

void expect_ascending(const std::vector<Candidate>& found) {
  for (std::size_t i = 1; i < found.size(); ++i) EXPECT_LE(found[i - 1].distance, found[i].distance);
}

TEST(Search, EmptyIndexAndZeroKGiveNothing) {
  HnswIndex index(HnswConfig{}, 2);
  const float q[] = {1.0f, 0.0f};
  EXPECT_TRUE(search(index, q, 5).empty());
  auto v = std::vector<float>{0.5f, 0.5f};
  ASSERT_TRUE(index.insert(0, v, QuantizedVector::quantize(v)).has_value());
  EXPECT_TRUE(search(index, q, 0).empty());
}

TEST(Search, SingleNodeIsFoundUntilDeleted) {
  HnswConfig config;
  config.distance_metric = DistanceMetric::Euclidean;
  HnswIndex index(config, 3);
  std::vector<float> v = {1.0f, 2.0f, 3.0f};
  ASSERT_TRUE(index.insert(0, v, QuantizedVector::quantize(v)).has_value());
  const float q[] = {-5.0f, 0.0f, 9.0f};
  for (std::uint64_t k : {std::uint64_t{1}, std::uint64_t{7}, std::numeric_limits<std::uint64_t>::max()}) {
    auto found = search(index, q, k);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].id, 0u);
  }
  index.mark_deleted(0);
  EXPECT_TRUE(search(index, q, 3).empty());
}

TEST(Search, ResultsAscendAndMatchBruteForceOnSmallData) {
  const std::size_t dim = 16;
  auto data = clustered_data(300, dim, 21);
  for (auto metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    HnswConfig config;
    config.distance_metric = metric;
    config.ef_search = 300;  // beam covers the whole graph
    auto index = build_index(config, data, dim);
    auto queries = clustered_data(10, dim, 22);
    for (std::size_t q = 0; q < 10; ++q) {
      auto found = search(index, row(queries, dim, q), 10);
      ASSERT_EQ(found.size(), 10u);
      expect_ascending(found);
      for (const auto& c : found) {
        EXPECT_EQ(c.distance, distance_asym_prenorm(metric, row(queries, dim, q), index.quantized_view(c.id),
                                                    squared_norm(row(queries, dim, q))));
      }
      // Quantization may swap near-equal neighbours; most must agree. Seeded
      // and single-threaded, so deterministic: 10 of 10 for 28 of the 30
      // queries, 9 for the other two.
      auto truth = brute_force(index, data, row(queries, dim, q), 10);
      auto ids = ids_of(found);
      std::size_t hits = 0;
      for (auto id : truth) hits += std::count(ids.begin(), ids.end(), id);
      EXPECT_GE(hits, 8u);
    }
  }
}

TEST(Search, DotProductRanksLargestInnerProductFirst) {
  HnswConfig config;
  config.distance_metric = DistanceMetric::DotProduct;
  config.store_raw_vectors = true;
  auto data = clustered_data(200, 8, 31);
  auto index = build_index(config, data, 8);
  const std::vector<float> q = {1, 0.5f, -1, 2, 0, 0, 1, -0.5f};
  auto found = search(index, q, 5);
  ASSERT_EQ(found.size(), 5u);
  float best = -std::numeric_limits<float>::infinity();
  std::uint32_t best_id = 0;
  for (std::uint32_t i = 0; i < 200; ++i) {
    float dot = 0;
    for (int j = 0; j < 8; ++j) dot += q[j] * data[i * 8 + j];
    if (dot > best) best = dot, best_id = i;
  }
  EXPECT_EQ(found[0].id, best_id);
  EXPECT_NEAR(-found[0].distance, best, 1e-4f);
}

TEST(Search, RawVectorsGiveExactDistances) {
  HnswConfig config;
  config.distance_metric = DistanceMetric::Euclidean;
  config.store_raw_vectors = true;
  auto data = clustered_data(150, 5, 41);
  auto index = build_index(config, data, 5);
  const std::vector<float> q = {0.1f, -0.2f, 0.3f, 0.0f, 1.0f};
  for (const auto& c : search(index, q, 10)) {
    EXPECT_EQ(c.distance, distance_exact(DistanceMetric::Euclidean, q, row(data, 5, c.id)));
  }
  std::vector<float> copy(5);
  index.copy_vector(7, copy.data());
  EXPECT_EQ(copy, std::vector<float>(data.begin() + 35, data.begin() + 40));
}

TEST(Search, VectorsUpToTheFloatLimitAreRankedByTheirExactDistances) {
  // Clustered vectors, every tenth scaled to about 1e38, others to 2^100 and 2^60.
  const std::size_t dim = 16;
  const std::size_t count = 300;
  auto data = clustered_data(count, dim, 81);
  for (std::size_t i = 0; i < count; ++i) {
    const int shift = i % 10 == 0 ? 124 : i % 10 == 1 ? 100 : i % 10 == 2 ? 60 : 0;
    for (std::size_t j = 0; j < dim; ++j) data[i * dim + j] = std::ldexp(data[i * dim + j], shift);
  }
  for (const DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    for (const bool raw : {false, true}) {
      HnswConfig config;
      config.distance_metric = metric;
      config.store_raw_vectors = raw;
      config.ef_search = 2 * count;  // every reachable node is scored
      const HnswIndex index = build_index(config, data, dim);
      for (const std::size_t q : {0u, 1u, 2u, 3u, 40u, 71u}) {
        const auto query = row(data, dim, q);
        const std::string what = std::string(distance_metric_name(metric)) + (raw ? " raw" : "") + " query " +
                                 std::to_string(q);
        const auto found = search(index, query, 10);
        ASSERT_EQ(found.size(), 10u) << what;
        // Every node by the stored-vector scorer, in double where needed.
        const QueryScorer exact(index, query, squared_norm(query));
        std::vector<float> all;
        for (std::uint32_t id = 0; id < index.node_count(); ++id) all.push_back(exact(id));
        std::sort(all.begin(), all.end());
        for (std::size_t i = 0; i < found.size(); ++i) {
          ASSERT_FALSE(std::isnan(found[i].distance)) << what;
          if (std::isinf(all[i])) {
            EXPECT_EQ(found[i].distance, all[i]) << what << " rank " << i;
          } else {
            EXPECT_NEAR(found[i].distance, all[i], 1e-5 * (1.0 + std::fabs(all[i]))) << what << " rank " << i;
          }
        }
        if (metric == DistanceMetric::Cosine) {
          // A vector finds itself at distance 0 (up to its quantization) at every magnitude.
          EXPECT_EQ(found[0].id, q) << what;
          EXPECT_NEAR(found[0].distance, 0.0f, raw ? 1e-6f : 1e-4f) << what;
        }
      }
    }
  }
}

// A path 0 - 1 - 2 on one layer, built from parts so the only route to node
// 2 goes through node 1.
HnswIndex path_graph() {
  HnswParts parts;
  parts.config.distance_metric = DistanceMetric::Euclidean;
  parts.config.store_raw_vectors = true;
  parts.dimension = 1;
  parts.node_count = 3;
  for (float x : {0.0f, 1.0f, 2.0f}) {
    auto qv = QuantizedVector::quantize(std::span<const float>(&x, 1));
    parts.vector_data.push_back(qv.codes[0]);
    parts.vector_min.push_back(qv.min);
    parts.vector_scale.push_back(qv.scale);
    parts.raw_vectors.push_back(x);
  }
  parts.neighbors = {{{1}}, {{0, 2}}, {{1}}};
  parts.layers = {0, 0, 0};
  parts.deleted = {0, 0, 0};
  parts.entry_point = 0;
  return HnswIndex::from_parts(std::move(parts));
}

TEST(Search, DeletedNodesAreWalkedThroughButNeverReturned) {
  auto index = path_graph();
  index.mark_deleted(1);
  const float q[] = {2.0f};
  auto found = search(index, q, 3);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].id, 2u);
  EXPECT_EQ(found[0].distance, 0.0f);
  EXPECT_EQ(found[1].id, 0u);
}

TEST(Search, WideningFindsLiveNodesAmongManyDeleted) {
  HnswConfig config;
  config.distance_metric = DistanceMetric::Euclidean;
  config.ef_search = 10;
  auto data = clustered_data(1000, 8, 51, 5);
  auto index = build_index(config, data, 8);
  // Keep one node in 25 alive.
  for (std::uint32_t n = 0; n < index.node_count(); ++n) {
    if (n % 25 != 0) index.mark_deleted(n);
  }
  const auto& before = thread_search_stats();
  const std::uint64_t computed_before = before.distance_computations;
  auto found = search(index, row(data, 8, 3), 10);
  EXPECT_EQ(found.size(), 10u);
  for (const auto& c : found) EXPECT_FALSE(index.is_deleted(c.id));
  EXPECT_GT(thread_search_stats().distance_computations, computed_before);
  // Nothing alive: every pass comes back empty up to the cap, then the result is empty.
  for (std::uint32_t n = 0; n < index.node_count(); n += 25) index.mark_deleted(n);
  EXPECT_TRUE(search(index, row(data, 8, 3), 10).empty());
}

TEST(Search, BeamIsAtLeastK) {
  auto data = clustered_data(800, 8, 61);
  HnswConfig config;
  config.ef_search = 10;
  auto narrow = build_index(config, data, 8);
  auto parts = narrow.to_parts();
  parts.config.ef_search = 60;
  auto wide = HnswIndex::from_parts(std::move(parts));
  // ef = max(ef_search, k): with k = 60 both searches use ef 60 at once.
  for (std::size_t q = 0; q < 20; ++q) {
    auto a = search(narrow, row(data, 8, q * 13), 60);
    auto b = search(wide, row(data, 8, q * 13), 60);
    EXPECT_EQ(ids_of(a), ids_of(b));
    EXPECT_EQ(a.size(), 60u);
  }
}

TEST(Search, ResultsSurviveTheEpochWrap) {
  auto data = clustered_data(400, 8, 71);
  auto index = build_index(HnswConfig{}, data, 8);
  std::vector<std::vector<std::uint32_t>> before;
  for (std::size_t q = 0; q < 5; ++q) before.push_back(ids_of(search(index, row(data, 8, q), 10)));
  VisitedSet& visited = search_visited_set_for_testing();
  visited.set_epoch_for_testing(VisitedSet::LAST_EPOCH - 2);  // the next searches cross the wrap
  for (std::size_t q = 0; q < 5; ++q) EXPECT_EQ(ids_of(search(index, row(data, 8, q), 10)), before[q]);
  EXPECT_LT(visited.epoch(), VisitedSet::LAST_EPOCH - 2);  // it wrapped
}

TEST(VisitedSetTest, WrapClearsMarksAndRestartsAtOne) {
  VisitedSet set;
  set.grow(4);
  set.next_epoch();
  EXPECT_TRUE(set.visit(2));
  EXPECT_FALSE(set.visit(2));
  set.next_epoch();
  EXPECT_FALSE(set.is_visited(2));
  EXPECT_TRUE(set.visit(2));
  set.set_epoch_for_testing(VisitedSet::LAST_EPOCH);
  set.visit(1);  // marked with the last epoch
  set.next_epoch();
  EXPECT_EQ(set.epoch(), 1);
  EXPECT_FALSE(set.is_visited(1));
  set.grow(2);
  EXPECT_EQ(set.size(), 4u);
}

TEST(ThreadContext, BorrowingTwiceIsAnInternalFault) {
  auto first = borrow_search_context();
  ASSERT_TRUE(first.has_value());
  auto second = borrow_search_context();
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().kind, ErrorKind::Internal);
  // knn_search reports the same fault instead of walking with shared marks.
  auto data = clustered_data(10, 4, 1);
  auto index = build_index(HnswConfig{}, data, 4);
  auto found = index.knn_search(row(data, 4, 0), 3);
  ASSERT_FALSE(found.has_value());
  EXPECT_EQ(found.error().kind, ErrorKind::Internal);
  {
    auto moved = std::move(*first);
  }  // returned here
  EXPECT_TRUE(borrow_search_context().has_value());
}

TEST(ThreadContext, InsertionMarksAreFreedAfterALargeEnoughBatchOnly) {
  auto data = clustered_data(3000, 8, 5);
  auto index = build_index(HnswConfig{}, data, 8);  // node by node: the marks stay
  VisitedSet& marks = insertion_visited_set_for_testing();
  ASSERT_GE(marks.size(), 2999u);  // grown before each node's own id
  release_insertion_marks_after(2, index.node_count());  // 2 x 1024 < 3000 nodes
  EXPECT_GE(marks.size(), 2999u);
  {
    auto lease = borrow_insertion_context();
    ASSERT_TRUE(lease.has_value());
    release_insertion_marks_after(3000, index.node_count());  // lent out
    EXPECT_GE(marks.size(), 2999u);
  }
  release_insertion_marks_after(3, index.node_count());
  EXPECT_EQ(marks.size(), 0u);

  // The next insertions grow them again and link as usual.
  auto more = clustered_data(300, 8, 6);
  insert_all(index, more);
  EXPECT_GE(marks.size(), 3299u);
  std::vector<float> all = data;
  all.insert(all.end(), more.begin(), more.end());
  for (std::size_t q = 0; q < 300; q += 30) {
    const auto query = row(more, 8, q);
    EXPECT_EQ(ids_of(search(index, query, 1)), brute_force(index, all, query, 1)) << q;
  }
}

TEST(Search, WalkLayerAppliesTheAdmissionTest) {
  auto data = clustered_data(300, 8, 81);
  HnswConfig config;
  config.max_layers = 1;
  auto index = build_index(config, data, 8);
  auto lease = borrow_search_context();
  ASSERT_TRUE(lease.has_value());
  lease->visited().grow(index.node_count());
  const std::uint32_t entry = 0;
  auto q = row(data, 8, 100);
  std::size_t evaluated = 0;
  std::set<std::uint32_t> asked;
  const std::size_t n = walk_layer(index, lease->search(), lease->visited(), q, squared_norm(q),
                                   {&entry, 1}, 20, 0, [&](std::uint32_t id) {
                                     ++evaluated;
                                     EXPECT_TRUE(asked.insert(id).second);  // once per node
                                     return id % 2 == 0;
                                   });
  ASSERT_GT(n, 0u);
  EXPECT_LE(n, 20u);
  EXPECT_GT(evaluated, n);
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_EQ(lease->search().results[i].id % 2, 0u);
    if (i > 0) {
      EXPECT_LE(lease->search().results[i - 1].distance, lease->search().results[i].distance);
    }
  }
}

}  // namespace
}  // namespace karvalith

namespace karvalith {
namespace {

// The per-query scorer must reproduce compute_distance bit for bit on every
// kernel path, metric and storage mode.
TEST(QueryScorerTest, MatchesComputeDistanceExactly) {
  const std::size_t dim = 37;  // exercises the kernels' tails
  auto data = testing_util::clustered_data(64, dim, 301);
  auto queries = testing_util::clustered_data(4, dim, 302);
  for (KernelPath path : {KernelPath::Portable, KernelPath::Avx2}) {
    set_kernel_path_for_testing(path);
    for (auto metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
      for (bool raw : {false, true}) {
        HnswConfig config;
        config.distance_metric = metric;
        config.store_raw_vectors = raw;
        auto index = testing_util::build_index(config, data, dim);
        for (std::size_t q = 0; q < 4; ++q) {
          auto query = testing_util::row(queries, dim, q);
          const float qnorm = squared_norm(query);
          const QueryScorer scorer(index, query, qnorm);
          for (std::uint32_t id = 0; id < index.node_count(); ++id) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(scorer(id)),
                      std::bit_cast<std::uint32_t>(compute_distance(index, query, id, qnorm)));
          }
          const ExactDistance exact(metric, dim);
          EXPECT_EQ(exact(query.data(), data.data()), distance_exact(metric, query, testing_util::row(data, dim, 0)));
        }
      }
    }
  }
  set_kernel_path_for_testing(KernelPath::Auto);
}

}  // namespace
}  // namespace karvalith
