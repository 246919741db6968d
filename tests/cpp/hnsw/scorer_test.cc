// The fast distances (walk scorer, code-to-code distances, the per-node
// values they rely on) against the exact ones, on both kernel paths.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/hnsw/code_distance.h"
#include "core/hnsw/query_scorer.h"
#include "core/hnsw/walk_scorer.h"
#include "hnsw_test_util.h"

namespace karvalith {
namespace {

using namespace testing_util;

class FastDistances : public ::testing::TestWithParam<KernelPath> {
 protected:
  void SetUp() override { set_kernel_path_for_testing(GetParam()); }
  void TearDown() override { set_kernel_path_for_testing(KernelPath::Auto); }
};

// Within float rounding of sums whose terms have this magnitude.
void expect_close(float got, float want, double magnitude, const char* what) {
  EXPECT_NEAR(got, want, 2e-5 * magnitude + 1e-5) << what;
}

TEST_P(FastDistances, WalkScoresMatchTheExactScoresToRounding) {
  for (const DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    for (const std::size_t dim : {1, 7, 33, 96}) {
      HnswConfig config;
      config.distance_metric = metric;
      auto data = clustered_data(60, dim, 5);
      // A flat vector (every component equal) and a zero vector among the nodes.
      data.resize(62 * dim);
      std::fill(data.begin() + 60 * static_cast<std::ptrdiff_t>(dim), data.begin() + 61 * static_cast<std::ptrdiff_t>(dim), 0.75f);
      std::fill(data.begin() + 61 * static_cast<std::ptrdiff_t>(dim), data.end(), 0.0f);
      const HnswIndex index = build_index(config, data, dim);
      auto queries = clustered_data(4, dim, 6);
      queries.resize(5 * dim, 0.0f);  // and a zero query
      for (std::size_t q = 0; q < 5; ++q) {
        const auto query = row(queries, dim, q);
        const float qnorm = squared_norm(query);
        const QueryScorer exact(index, query, qnorm);
        const WalkScorer walk(index, query, qnorm);
        for (std::uint32_t id = 0; id < index.node_count(); ++id) {
          double magnitude = 1.0;
          for (std::size_t i = 0; i < dim; ++i) magnitude += std::fabs(query[i]) * (std::fabs(data[id * dim + i]) + 1.0);
          expect_close(walk(id), exact(id), magnitude, distance_metric_name(metric).data());
        }
        // Scored as a group (every group size and a tail, ids in a scattered
        // order with a repeat): the same distance per id.
        std::vector<std::uint32_t> ids;
        for (std::uint32_t id = 0; id < index.node_count(); ++id) ids.push_back((id * 37) % index.node_count());
        ids.push_back(ids.front());
        for (const std::size_t count : {std::size_t{1}, std::size_t{3}, std::size_t{4}, std::size_t{5},
                                        std::size_t{8}, std::size_t{12}, std::size_t{13}, ids.size()}) {
          std::vector<float> grouped(count);
          walk.score({ids.data(), count}, grouped.data());
          for (std::size_t j = 0; j < count; ++j) {
            EXPECT_NEAR(grouped[j], walk(ids[j]), 1e-5 * (1.0 + std::fabs(walk(ids[j]))))
                << distance_metric_name(metric) << " group of " << count << " at " << j;
          }
        }
      }
    }
  }
}

TEST_P(FastDistances, CodeDistancesMatchTheDequantizedVectorsToRounding) {
  for (const DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    HnswConfig config;
    config.distance_metric = metric;
    const std::size_t dim = 48;
    const auto data = clustered_data(40, dim, 8);
    const HnswIndex index = build_index(config, data, dim);
    const CodeDistance coded(index);
    std::vector<float> a(dim), b(dim);
    for (std::uint32_t x = 0; x < index.node_count(); x += 3) {
      index.copy_vector(x, a.data());
      double norm = 0.0;
      std::uint64_t sum = 0;
      for (std::size_t i = 0; i < dim; ++i) {
        norm += static_cast<double>(a[i]) * a[i];
        sum += index.codes_of(x)[i];
      }
      EXPECT_NEAR(index.norm_sq_of(x), norm, 1e-5 * norm);
      EXPECT_EQ(index.code_sum_of(x), sum);
      for (std::uint32_t y = 0; y < index.node_count(); y += 5) {
        index.copy_vector(y, b.data());
        expect_close(coded(x, y), distance_exact(metric, a, b), 4.0 * static_cast<double>(dim),
                     distance_metric_name(metric).data());
      }
    }
  }
}

// count x dim floats whose magnitudes cycle through 2^0, 2^60, 2^100 and
// the float limit (about 3.4e38), signs mixed.
std::vector<float> data_up_to_the_float_limit(std::size_t count, std::size_t dim, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(-0.995f, 0.995f);
  const int exponents[] = {1, 61, 101, 128};
  std::vector<float> data(count * dim);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j = 0; j < dim; ++j) data[i * dim + j] = std::ldexp(unit(rng), exponents[i % 4]);
  }
  return data;
}

// A double reference of the distance between two vectors given in double,
// and the scale of the rounding error of a single-precision evaluation.
struct Reference {
  double distance;
  double magnitude;
};

Reference reference(DistanceMetric metric, const std::vector<double>& a, const std::vector<double>& b, double spread) {
  double dot = 0.0, na = 0.0, nb = 0.0, euclidean = 0.0, terms = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    dot += a[i] * b[i];
    na += a[i] * a[i];
    nb += b[i] * b[i];
    euclidean += (a[i] - b[i]) * (a[i] - b[i]);
    terms += std::fabs(a[i]) * (std::fabs(b[i]) + spread);
  }
  const double den = std::sqrt(na) * std::sqrt(nb);
  switch (metric) {
    case DistanceMetric::Cosine: return {1.0 - dot / den, terms / den};
    case DistanceMetric::Euclidean: return {euclidean, na + nb + 2.0 * terms};
    case DistanceMetric::DotProduct: return {-dot, terms};
  }
  return {0.0, 0.0};
}

std::vector<double> stored_components(const HnswIndex& index, std::uint32_t id) {
  std::vector<double> out(index.dimension());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = dequantized_f64(index.quantized_view(id), i);
  return out;
}

// Infinite with the reference's sign beyond the float range, else close.
void expect_rounds_to(float got, const Reference& want, double relative, const std::string& what) {
  ASSERT_FALSE(std::isnan(got)) << what;
  if (std::fabs(want.distance) > static_cast<double>(LARGEST_F32) * (1.0 + 1e-5)) {
    EXPECT_TRUE(std::isinf(got) && (got > 0) == (want.distance > 0)) << what << ": " << got;
  } else {
    EXPECT_NEAR(got, want.distance, relative * want.magnitude + 1e-6) << what;
  }
}

TEST_P(FastDistances, NodesAndQueriesUpToTheFloatLimitScoreAsInDouble) {
  const std::size_t dim = 40;
  const auto data = data_up_to_the_float_limit(24, dim, 3);
  auto queries = data_up_to_the_float_limit(8, dim, 4);
  queries.insert(queries.end(), data.begin() + 3 * dim, data.begin() + 4 * dim);  // a stored vector at the limit
  // And an index of ordinary vectors only, where huge queries alone overflow.
  std::vector<float> ordinary;
  for (std::size_t i = 0; i < 24; i += 4) {
    ordinary.insert(ordinary.end(), data.begin() + i * dim, data.begin() + (i + 1) * dim);
  }
  for (const DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    for (const bool mixed : {true, false}) {
      HnswConfig config;
      config.distance_metric = metric;
      const HnswIndex index = build_index(config, mixed ? data : ordinary, dim);
      const std::string name = std::string(distance_metric_name(metric)) + (mixed ? " mixed" : " ordinary");
      EXPECT_EQ(index.has_huge_nodes(), mixed);
      for (std::uint32_t id = 0; id < index.node_count(); ++id) {
        // Stored norms beyond the float range are +inf, never NaN.
        EXPECT_EQ(std::isinf(index.norm_sq_of(id)), mixed && id % 4 >= 2) << id;
      }
      for (std::size_t q = 0; q < queries.size() / dim; ++q) {
        const auto query = row(queries, dim, q);
        const std::vector<double> wide_query(query.begin(), query.end());
        const QueryScorer exact(index, query, squared_norm(query));
        const WalkScorer walk(index, query, squared_norm(query));
        std::vector<std::uint32_t> ids(index.node_count());
        for (std::uint32_t id = 0; id < index.node_count(); ++id) ids[id] = id;
        std::vector<float> grouped(ids.size());
        walk.score(ids, grouped.data());
        for (const std::uint32_t id : ids) {
          const QuantizedView v = index.quantized_view(id);
          const Reference want = reference(metric, wide_query, stored_components(index, id),
                                           std::fabs(static_cast<double>(v.min)));
          const std::string what = name + " query " + std::to_string(q) + " node " + std::to_string(id);
          expect_rounds_to(exact(id), want, 2e-6, "exact " + what);
          expect_rounds_to(walk(id), want, 2e-5, "walk " + what);
          expect_rounds_to(grouped[id], want, 2e-5, "grouped walk " + what);
        }
      }
      // Node to node from the codes, against the dequantized components.
      const CodeDistance coded(index);
      for (std::uint32_t x = 0; x < index.node_count(); ++x) {
        for (std::uint32_t y = 0; y < index.node_count(); y += 3) {
          const Reference want = reference(metric, stored_components(index, x), stored_components(index, y),
                                           std::fabs(static_cast<double>(index.quantized_view(y).min)));
          expect_rounds_to(coded(x, y), want, 1e-6,
                           name + " code distance " + std::to_string(x) + "-" + std::to_string(y));
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BothPaths, FastDistances, ::testing::Values(KernelPath::Avx2, KernelPath::Portable));

TEST(NodeBlocks, LevelZeroRowsGrowWithoutDisturbingCodes) {
  // A huge stored m_max0 makes rows grow as lists fill; every regrowth moves
  // the blocks, and codes, mins and scales must move with them.
  HnswConfig config;
  config.m_max0 = 100000;
  const std::size_t dim = 5;
  const auto data = clustered_data(400, dim, 13);
  const HnswIndex index = build_index(config, data, dim);
  EXPECT_GT(index.level0_capacity(), 256u);
  for (std::uint32_t n = 0; n < index.node_count(); ++n) {
    const QuantizedVector expected = QuantizedVector::quantize(row(data, dim, n));
    const QuantizedView stored = index.quantized_view(n);
    EXPECT_EQ(stored.min, expected.min);
    EXPECT_EQ(stored.scale, expected.scale);
    EXPECT_TRUE(std::equal(expected.codes.begin(), expected.codes.end(), stored.codes)) << n;
  }
}

}  // namespace
}  // namespace karvalith
