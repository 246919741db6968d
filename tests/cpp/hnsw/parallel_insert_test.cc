// Building the graph from several threads: the same invariants as one
// thread, every node reachable, recall as good. Runs under ThreadSanitizer
// in CI, where any unguarded list access shows up.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <set>
#include <vector>

#include "core/hnsw/search.h"
#include "hnsw_test_util.h"

namespace karvalith {
namespace {

using namespace testing_util;

HnswIndex build_parallel(const HnswConfig& config, const std::vector<float>& data, std::size_t dim,
                         unsigned threads, std::size_t batch = 500) {
  seed_level_generator(11);
  HnswIndex index(config, dim);
  const std::size_t count = data.size() / dim;
  for (std::size_t start = 0; start < count; start += batch) {
    const std::size_t n = std::min(batch, count - start);
    std::vector<QuantizedVector> quantized;
    for (std::size_t i = start; i < start + n; ++i) quantized.push_back(QuantizedVector::quantize(row(data, dim, i)));
    EXPECT_TRUE(index.insert_batch({data.data() + start * dim, n * dim}, quantized, threads));
  }
  return index;
}

void expect_sound_graph(const HnswIndex& index) {
  const HnswConfig& config = index.config();
  std::uint64_t top = 0;
  for (std::uint32_t n = 0; n < index.node_count(); ++n) {
    ASSERT_EQ(index.list_count(n), std::size_t{index.level(n)} + 1) << n;
    top = std::max<std::uint64_t>(top, index.level(n));
    for (std::uint64_t layer = 0; layer <= index.level(n); ++layer) {
      const auto links = index.neighbors(n, layer);
      EXPECT_LE(links.size(), layer == 0 ? config.m_max0 : config.m) << n;
      std::set<std::uint32_t> distinct(links.begin(), links.end());
      EXPECT_EQ(distinct.size(), links.size()) << "a repeated link at node " << n;
      for (const std::uint32_t id : links) {
        EXPECT_LT(id, index.node_count());
        EXPECT_NE(id, n) << "a self link";
        EXPECT_GE(index.level(id), layer) << "a link to a node without that layer";
      }
    }
  }
  ASSERT_TRUE(index.entry_point().has_value());
  EXPECT_EQ(index.max_level(), top);
  EXPECT_EQ(index.level(*index.entry_point()), top);

  // Level-0 reachability from the entry point.
  std::vector<bool> seen(index.node_count(), false);
  std::deque<std::uint32_t> queue{*index.entry_point()};
  seen[*index.entry_point()] = true;
  std::size_t reached = 1;
  while (!queue.empty()) {
    const std::uint32_t n = queue.front();
    queue.pop_front();
    for (const std::uint32_t id : index.neighbors(n, 0)) {
      if (!seen[id]) {
        seen[id] = true;
        ++reached;
        queue.push_back(id);
      }
    }
  }
  // Thread timing decides which links a parallel build keeps. Measured over
  // 150 runs of both tests below on a loaded 2-core machine: the 3000-node
  // build reached all nodes or all but one (mean 2999.99), the 700-node build
  // always all; a node lost now and then is within the bound, whole lost
  // regions are not.
  EXPECT_GE(reached, index.node_count() * 995 / 1000) << reached << " of " << index.node_count() << " reached";
}

double recall_at_10(const HnswIndex& index, const std::vector<float>& data, const std::vector<float>& queries,
                    std::size_t dim) {
  std::size_t hits = 0, total = 0;
  std::vector<Candidate> found;
  for (std::size_t q = 0; q < queries.size() / dim; ++q) {
    const auto query = row(queries, dim, q);
    EXPECT_TRUE(knn_search(index, query, 10, 40, AdmitAll{}, found));
    const auto truth = brute_force(index, data, query, 10);
    const auto ids = ids_of(found);
    for (const auto id : truth) hits += std::count(ids.begin(), ids.end(), id);
    total += truth.size();
  }
  return static_cast<double>(hits) / static_cast<double>(total);
}

TEST(ParallelInsert, ManyThreadsKeepTheGraphSoundAndTheRecall) {
  const std::size_t dim = 24;
  const auto data = clustered_data(3000, dim, 31);
  const auto queries = clustered_data(60, dim, 32);
  HnswConfig config;
  config.m = 8;
  config.m_max0 = 16;
  config.ef_construction = 64;
  const HnswIndex one = build_parallel(config, data, dim, 1);
  const HnswIndex four = build_parallel(config, data, dim, 4);
  ASSERT_EQ(four.node_count(), 3000u);
  expect_sound_graph(four);
  const double single = recall_at_10(one, data, queries, dim);
  const double parallel = recall_at_10(four, data, queries, dim);
  // Measured over 150 runs on a loaded 2-core machine: single 0.773, parallel
  // mean 0.771, standard deviation 0.009, worst 0.728 (a tail heavier than
  // normal, from the thread interleaving); 150 more runs: mean 0.771,
  // standard deviation 0.008, worst 0.732. 0.08 is nearly twice the worst
  // gap seen; lost or misplaced links cost far more, and the graph checks
  // above catch them directly. The single-threaded build is deterministic
  // (seeded levels, one thread): 0.773 on every run.
  EXPECT_GE(parallel, single - 0.08) << "single " << single << ", parallel " << parallel;

  // The codes stay where they belong.
  for (std::uint32_t n = 0; n < four.node_count(); n += 97) {
    const QuantizedVector expected = QuantizedVector::quantize(row(data, dim, n));
    EXPECT_TRUE(std::equal(expected.codes.begin(), expected.codes.end(), four.codes_of(n)));
  }
}

TEST(ParallelInsert, RawVectorsAndAnEmptyStartWork) {
  const std::size_t dim = 8;
  const auto data = clustered_data(700, dim, 41);
  HnswConfig config;
  config.store_raw_vectors = true;
  config.distance_metric = DistanceMetric::Euclidean;
  const HnswIndex index = build_parallel(config, data, dim, 3, 700);  // one batch into an empty graph
  expect_sound_graph(index);
  for (std::uint32_t n = 0; n < index.node_count(); n += 50) {
    const auto raw = index.raw_vector(n);
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), row(data, dim, n).begin()));
  }
}

}  // namespace
}  // namespace karvalith
