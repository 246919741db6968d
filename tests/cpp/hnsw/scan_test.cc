// scan_nearest against scoring every listed node on the stored vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include "core/hnsw/distance.h"
#include "core/hnsw/query_scorer.h"
#include "core/hnsw/scan.h"
#include "core/hnsw/total_order.h"
#include "hnsw_test_util.h"

namespace karvalith {
namespace {

using testing_util::build_index;
using testing_util::clustered_data;
using testing_util::row;

// Every listed node scored on the stored vectors, ordered by distance (IEEE
// total order) then node, the first k.
std::vector<Candidate> reference(const HnswIndex& index, std::span<const float> query, std::uint64_t k,
                                 const std::vector<std::uint32_t>& nodes) {
  std::vector<float> buffer;
  const PreparedQuery prepared = prepare_query(index.config().distance_metric, query, buffer);
  const QueryScorer stored(index, prepared.values, prepared.norm_sq);
  std::vector<Candidate> all;
  for (std::uint32_t n : nodes) all.push_back({stored(n), n});
  std::sort(all.begin(), all.end(), [](const Candidate& a, const Candidate& b) {
    const auto ka = total_order_key(a.distance), kb = total_order_key(b.distance);
    return ka != kb ? ka < kb : a.id < b.id;
  });
  all.resize(std::min<std::size_t>(all.size(), k));
  return all;
}

void expect_same(const std::vector<Candidate>& found, const std::vector<Candidate>& want) {
  ASSERT_EQ(found.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(found[i].id, want[i].id) << "rank " << i;
    EXPECT_EQ(found[i].distance, want[i].distance) << "rank " << i;
  }
}

class Scan : public ::testing::TestWithParam<KernelPath> {
 protected:
  void SetUp() override { set_kernel_path_for_testing(GetParam()); }
  void TearDown() override { set_kernel_path_for_testing(KernelPath::Auto); }
};

// Lists of every length around the groups of eight and the chunks of 256,
// in shuffled order, with k below, at and above their length; every metric,
// codes alone and with raw vectors, d 16 and 384.
TEST_P(Scan, EqualsScoringEveryListedNode) {
  std::mt19937_64 rng(5);
  // d 384 with fewer nodes: its builds dominate the test's time.
  for (const auto& [dim, count] : {std::pair<std::size_t, std::uint32_t>{16, 700}, {384, 300}}) {
    const auto data = clustered_data(count, dim, 31);
    const auto queries = clustered_data(4, dim, 32);
    for (auto metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
      for (bool raw : {false, true}) {
        HnswConfig config;
        config.distance_metric = metric;
        config.store_raw_vectors = raw;
        config.ef_construction = 8;  // a scan never reads the links: a cheap graph will do
        const HnswIndex index = build_index(config, data, dim);
        for (std::size_t length : {1, 3, 8, 9, 17, 255, 257, 300, 700}) {
          if (length > count) continue;
          std::vector<std::uint32_t> nodes(count);
          std::iota(nodes.begin(), nodes.end(), 0u);
          std::shuffle(nodes.begin(), nodes.end(), rng);
          nodes.resize(length);
          for (std::uint64_t k : {1, 10, 40, 1000}) {
            const auto query = row(queries, dim, k % 4);
            std::vector<Candidate> found;
            scan_nearest(index, query, k, nodes, found);
            SCOPED_TRACE(testing::Message() << "d " << dim << " metric " << static_cast<int>(metric) << " raw "
                                            << raw << " length " << length << " k " << k);
            expect_same(found, reference(index, query, k, nodes));
          }
        }
      }
    }
  }
}

// With raw vectors the code pass only bounds each distance, and every node
// the bounds cannot rule out is scored on the raw vector: the k returned are
// the k nearest. Here every node is one vector plus a perturbation smaller
// than a quantization step, so the codes' order of the distances is mostly
// noise and the k nearest lie anywhere in it (a shortlist by the codes
// misses them); long lists, every metric.
TEST_P(Scan, WithRawVectorsTheCrowdedKNearestAreExact) {
  std::mt19937_64 rng(11);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (const std::size_t dim : {std::size_t{24}, std::size_t{200}}) {
    const std::uint32_t count = 1500;
    std::vector<float> centre(dim);
    for (float& x : centre) x = normal(rng);
    std::vector<float> data(count * dim), queries(5 * dim);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = centre[i % dim] + 0.002f * normal(rng);
    for (std::size_t i = 0; i < queries.size(); ++i) queries[i] = centre[i % dim] + 0.5f * normal(rng);
    for (auto metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
      HnswConfig config;
      config.distance_metric = metric;
      config.store_raw_vectors = true;
      config.ef_construction = 8;
      const HnswIndex index = build_index(config, data, dim);
      std::vector<std::uint32_t> nodes(count);
      std::iota(nodes.begin(), nodes.end(), 0u);
      std::shuffle(nodes.begin(), nodes.end(), rng);
      for (std::uint64_t k : {1, 10, 50}) {
        for (std::size_t q = 0; q < 5; ++q) {
          std::vector<Candidate> found;
          scan_nearest(index, row(queries, dim, q), k, nodes, found);
          SCOPED_TRACE(testing::Message() << "d " << dim << " metric " << static_cast<int>(metric) << " k " << k);
          expect_same(found, reference(index, row(queries, dim, q), k, nodes));
        }
      }
    }
  }
}

// The per-node bound on a raw node's quantization holds and is tight, after
// inserts and after a round trip through parts; without raw vectors there
// is none. Data include a flat vector and components of very different size.
TEST(ScanBounds, ResidualsBoundEachRawNodesQuantization) {
  const std::size_t dim = 40;
  std::vector<float> data = clustered_data(300, dim, 13);
  for (std::size_t i = 0; i < dim; ++i) data[i] = 0.25f;             // flat
  for (std::size_t i = 0; i < dim; ++i) data[dim + i] = i % 2 ? 1e6f : -3e-4f;  // wide range
  HnswConfig config;
  config.store_raw_vectors = true;
  config.ef_construction = 16;
  const HnswIndex built = build_index(config, data, dim);
  const HnswIndex loaded = HnswIndex::from_parts(built.to_parts());
  for (const HnswIndex* index : {&built, &loaded}) {
    for (std::uint32_t n = 0; n < index->node_count(); ++n) {
      const QuantizedView v = index->quantized_view(n);
      long double sum = 0.0L;
      for (std::size_t i = 0; i < dim; ++i) {
        const long double e = static_cast<long double>(data[n * dim + i]) -
                              (static_cast<long double>(v.codes[i]) * v.scale + static_cast<long double>(v.min));
        sum += e * e;
      }
      const double exact = static_cast<double>(std::sqrt(sum));
      EXPECT_GE(index->residual_of(n), exact) << n;
      EXPECT_LE(index->residual_of(n), exact * 1.002 + 1e-30) << n;
    }
  }
  config.store_raw_vectors = false;
  const HnswIndex coded = build_index(config, data, dim);
  EXPECT_EQ(coded.residual_of(0), INFINITY);
}

// Equal vectors score equally in both passes: the lowest nodes win the tie,
// also when there are more of them than the shortlist holds. A node with a
// component near the float limit is scored in double, as the reference is.
TEST_P(Scan, TiesGoToTheLowerNodeAndHugeNodesAreScoredWide) {
  const std::size_t dim = 64;
  auto data = clustered_data(300, dim, 41);
  for (std::size_t i = 100; i < 200; ++i) std::copy_n(data.begin() + 7 * dim, dim, data.begin() + i * dim);
  std::fill_n(data.begin() + 250 * dim, dim, 3.0e37f);
  for (auto metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    HnswConfig config;
    config.distance_metric = metric;
    config.ef_construction = 8;
    const HnswIndex index = build_index(config, data, dim);
    std::vector<std::uint32_t> nodes(300);
    std::iota(nodes.rbegin(), nodes.rend(), 0u);  // descending: ties must not follow list order
    for (std::uint64_t k : {5, 60}) {
      std::vector<Candidate> found;
      scan_nearest(index, row(data, dim, 7), k, nodes, found);
      expect_same(found, reference(index, row(data, dim, 7), k, nodes));
    }
    std::vector<Candidate> found;
    scan_nearest(index, row(data, dim, 250), 3, nodes, found);
    expect_same(found, reference(index, row(data, dim, 250), 3, nodes));
  }
}

// Under cosine a vector of zero (or nearly zero) norm is at distance 1 from
// everything: its bounds span every distance, so a long list holding such
// nodes still returns them exactly where scoring them puts them, and a zero
// query ranks every node at 1 (ties by node). Codes alone and raw vectors.
TEST_P(Scan, ZeroNormNodesAndQueriesUnderCosine) {
  const std::size_t dim = 48;
  auto data = clustered_data(400, dim, 61);
  for (std::size_t n : {3, 90, 91, 250}) std::fill_n(data.begin() + n * dim, dim, 0.0f);
  std::fill_n(data.begin() + 120 * dim, dim, 1e-12f);  // below the norm's epsilon
  const auto queries = clustered_data(3, dim, 62);
  for (bool raw : {false, true}) {
    HnswConfig config;
    config.distance_metric = DistanceMetric::Cosine;
    config.store_raw_vectors = raw;
    config.ef_construction = 8;
    const HnswIndex index = build_index(config, data, dim);
    std::vector<std::uint32_t> nodes(400);
    std::iota(nodes.begin(), nodes.end(), 0u);
    std::mt19937_64 rng(63);
    std::shuffle(nodes.begin(), nodes.end(), rng);
    const std::vector<float> zero(dim, 0.0f);
    for (std::uint64_t k : {1, 10, 400}) {
      for (std::size_t q = 0; q < 3; ++q) {
        std::vector<Candidate> found;
        scan_nearest(index, row(queries, dim, q), k, nodes, found);
        SCOPED_TRACE(testing::Message() << "raw " << raw << " k " << k << " query " << q);
        expect_same(found, reference(index, row(queries, dim, q), k, nodes));
      }
      std::vector<Candidate> found;
      scan_nearest(index, zero, k, nodes, found);
      expect_same(found, reference(index, zero, k, nodes));
      if (k == 10) {
        for (std::size_t i = 0; i < found.size(); ++i) EXPECT_EQ(found[i].id, i);
      }
    }
    // Far (k 400) the flat nodes sit at 1 among the others.
    std::vector<Candidate> found;
    scan_nearest(index, row(queries, dim, 0), 400, nodes, found);
    const auto flat = std::count_if(found.begin(), found.end(), [](const Candidate& c) { return c.distance == 1.0f; });
    EXPECT_GE(flat, 5);
  }
}

TEST_P(Scan, NothingForZeroKOrNoNodes) {
  const auto data = clustered_data(20, 8, 51);
  const HnswIndex index = build_index(HnswConfig{}, data, 8);
  std::vector<Candidate> found{{0.5f, 3}};
  const std::vector<std::uint32_t> nodes = {1, 2, 3};
  scan_nearest(index, row(data, 8, 0), 0, nodes, found);
  EXPECT_TRUE(found.empty());
  found = {{0.5f, 3}};
  scan_nearest(index, row(data, 8, 0), 5, {}, found);
  EXPECT_TRUE(found.empty());
}

INSTANTIATE_TEST_SUITE_P(BothPaths, Scan, ::testing::Values(KernelPath::Avx2, KernelPath::Portable));

}  // namespace
}  // namespace karvalith
