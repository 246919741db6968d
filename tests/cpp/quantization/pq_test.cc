#include "core/quantization/pq.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace karvalith {
namespace {

// Ten 4-dimensional vectors, all components distinct and positive.
std::vector<float> ten_vectors() {
  std::vector<float> data(40);
  for (std::size_t j = 0; j < 10; ++j) {
    for (std::size_t i = 0; i < 4; ++i) data[j * 4 + i] = static_cast<float>((j + 1) * 10 + i);
  }
  return data;
}

// 40 tight clusters of 10 points in the plane, centres 10 apart.
std::vector<float> clustered_points() {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> noise(-0.1f, 0.1f);
  std::vector<float> data;
  for (int cluster = 0; cluster < 40; ++cluster) {
    for (int p = 0; p < 10; ++p) {
      data.push_back(10.0f * static_cast<float>(cluster % 8) + noise(rng));
      data.push_back(10.0f * static_cast<float>(cluster / 8) + noise(rng));
    }
  }
  return data;
}

// Total squared distance of each 2-d point to its nearest of k centroids.
double quantization_error(const std::vector<float>& points, const std::vector<float>& centroids,
                          std::size_t k) {
  double total = 0.0;
  for (std::size_t j = 0; j < points.size() / 2; ++j) {
    double best = INFINITY;
    for (std::size_t c = 0; c < k; ++c) {
      double dx = points[2 * j] - centroids[2 * c], dy = points[2 * j + 1] - centroids[2 * c + 1];
      best = std::min(best, dx * dx + dy * dy);
    }
    total += best;
  }
  return total;
}

void expect_internal(const Error& error, const char* message) {
  EXPECT_EQ(error.kind, ErrorKind::Internal);
  EXPECT_EQ(error.message, message);
}

TEST(PqTrain, FewVectorsBecomeTheCentroidsThenZeros) {
  std::vector<float> data = ten_vectors();
  auto book = PqCodebook::train(data, 4, 2);
  ASSERT_TRUE(book.has_value());
  EXPECT_EQ(book->num_subspaces, 2u);
  EXPECT_EQ(book->num_centroids, 256u);
  EXPECT_EQ(book->subspace_dim, 2u);
  ASSERT_EQ(book->centroids.size(), 2u * 256u * 2u);
  EXPECT_TRUE(book->is_consistent());
  for (std::size_t s = 0; s < 2; ++s) {
    for (std::size_t c = 0; c < 256; ++c) {
      for (std::size_t i = 0; i < 2; ++i) {
        float expected = c < 10 ? data[c * 4 + s * 2 + i] : 0.0f;
        EXPECT_EQ(book->centroids[(s * 256 + c) * 2 + i], expected) << s << "/" << c << "/" << i;
      }
    }
  }

  for (std::size_t j = 0; j < 10; ++j) {
    auto code = book->encode(std::span<const float>(data).subspan(j * 4, 4));
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, (std::vector<std::uint8_t>{static_cast<std::uint8_t>(j),
                                                static_cast<std::uint8_t>(j)}));
  }
  // The zero vector lands on the first zero-filled centroid.
  auto zero = book->encode(std::vector<float>(4, 0.0f));
  ASSERT_TRUE(zero.has_value());
  EXPECT_EQ(*zero, (std::vector<std::uint8_t>{10, 10}));

  // A trailing partial vector is ignored by the batch encoder.
  data.push_back(1.0f);
  auto batch = book->encode_batch(data, 4);
  ASSERT_TRUE(batch.has_value());
  ASSERT_EQ(batch->size(), 20u);
  EXPECT_EQ((*batch)[14], 7);
}

TEST(PqTrain, RejectsBadShapes) {
  std::vector<float> eight(8, 1.0f);
  expect_internal(PqCodebook::train(eight, 8, 3).error(),
                  "dimension must be divisible by num_subspaces");
  expect_internal(PqCodebook::train({}, 4, 2).error(), "need at least one vector to train PQ");
  expect_internal(PqCodebook::train(std::vector<float>(3, 1.0f), 4, 2).error(),
                  "need at least one vector to train PQ");
  expect_internal(PqCodebook::train(eight, 0, 2).error(), "attempt to divide by zero");
  expect_internal(PqCodebook::train({}, 0, 0).error(), "attempt to divide by zero");
  expect_internal(PqCodebook::train(eight, 8, 0).error(), "attempt to divide by zero");
}

TEST(PqTrain, ClusteringIsReproducibleWithinAProcessAndFitsTheData) {
  std::vector<float> points = clustered_points();
  auto first = PqCodebook::train(points, 2, 1);
  auto second = PqCodebook::train(points, 2, 1);
  ASSERT_TRUE(first.has_value() && second.has_value());
  EXPECT_EQ(first->centroids, second->centroids);
  // Every cluster is covered, so no point is further than the noise.
  EXPECT_LT(quantization_error(points, first->centroids, 256), 400 * 0.08);
}

TEST(PqKmeans, LloydIterationsReduceTheSeedingError) {
  std::vector<float> points = clustered_points();
  const std::size_t count = points.size() / 2, k = 256;
  std::vector<float> nearest(count), centroids(k * 2);
  std::vector<std::uint32_t> assignment(count), members(k);

  kmeans_seed(points, 2, k, 12345, nearest, centroids);
  EXPECT_EQ(centroids[0], points[(12345 % count) * 2]);
  const double seeded = quantization_error(points, centroids, k);
  kmeans_refine(points, 2, k, assignment, members, centroids);
  const double refined = quantization_error(points, centroids, k);
  EXPECT_GT(seeded, 0.0);
  EXPECT_LT(refined, 0.9 * seeded);
}

TEST(PqEncode, NeverReadsPastShortInput) {
  auto book = PqCodebook::train(ten_vectors(), 4, 2);
  ASSERT_TRUE(book.has_value());
  std::vector<std::uint8_t> out;
  EXPECT_EQ(book->encode_into(std::vector<float>(3, 0.0f), out).error().kind, ErrorKind::Internal);
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(book->encode_batch(std::vector<float>(6, 0.0f), 3).has_value());
  expect_internal(book->encode_batch(std::vector<float>(8, 0.0f), 0).error(),
                  "attempt to divide by zero");

  PqCodebook truncated = *book;
  truncated.centroids.pop_back();
  EXPECT_FALSE(truncated.is_consistent());
  EXPECT_FALSE(truncated.encode(std::vector<float>(4, 0.0f)).has_value());
  std::vector<float> table{1.0f};
  build_distance_table(truncated, std::vector<float>(4, 0.0f), DistanceMetric::Euclidean, table);
  EXPECT_TRUE(table.empty());
}

TEST(PqDistanceTable, ScoresMatchDirectComputation) {
  std::vector<float> data = ten_vectors();
  auto book = PqCodebook::train(data, 4, 2);
  ASSERT_TRUE(book.has_value());
  const std::vector<float> query{0.5f, -1.5f, 2.0f, 3.25f};
  std::vector<float> table;
  for (DistanceMetric metric :
       {DistanceMetric::Euclidean, DistanceMetric::DotProduct, DistanceMetric::Cosine}) {
    build_distance_table(*book, query, metric, table);
    ASSERT_EQ(table.size(), 2u * 256u);
    for (std::size_t j = 0; j < 10; ++j) {
      // Node j's code is (j, j) and its centroids are exactly its sub-vectors.
      double direct = 0.0;
      for (std::size_t i = 0; i < 4; ++i) {
        double x = data[j * 4 + i];
        direct += metric == DistanceMetric::Euclidean ? (query[i] - x) * (query[i] - x)
                                                      : -query[i] * x;
      }
      EXPECT_NEAR(table[j] + table[256 + j], direct, 1e-4) << "metric "
                                                            << static_cast<int>(metric);
    }
    // Zero-filled centroids.
    EXPECT_EQ(table[200], metric == DistanceMetric::Euclidean ? 0.5f * 0.5f + 1.5f * 1.5f : 0.0f);
  }

  build_distance_table(*book, std::vector<float>(3, 1.0f), DistanceMetric::Euclidean, table);
  EXPECT_TRUE(table.empty());

  PqCodebook empty_subspaces{2, 256, 0, {}};
  ASSERT_TRUE(empty_subspaces.is_consistent());
  build_distance_table(empty_subspaces, {}, DistanceMetric::Euclidean, table);
  ASSERT_EQ(table.size(), 512u);
  EXPECT_FALSE(std::signbit(table[0]));
  EXPECT_EQ(table[511], 0.0f);
  build_distance_table(empty_subspaces, {}, DistanceMetric::DotProduct, table);
  EXPECT_TRUE(std::signbit(table[0]) && std::signbit(table[511]));
}

}  // namespace
}  // namespace karvalith
