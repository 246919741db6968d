// Helpers shared by the graph tests: random data, index building, brute force.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "core/hnsw/distance.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/level_generator.h"
#include "core/quantization/scalar.h"

namespace karvalith::testing_util {

// count x dim floats: points around `clusters` random centres.
inline std::vector<float> clustered_data(std::size_t count, std::size_t dim, std::uint64_t seed,
                                         std::size_t clusters = 20) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> centre_dist(0.0f, 1.0f);
  std::normal_distribution<float> noise(0.0f, 0.3f);
  std::vector<float> centres(clusters * dim);
  for (auto& x : centres) x = centre_dist(rng);
  std::vector<float> data(count * dim);
  std::uniform_int_distribution<std::size_t> pick(0, clusters - 1);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t c = pick(rng);
    for (std::size_t j = 0; j < dim; ++j) data[i * dim + j] = centres[c * dim + j] + noise(rng);
  }
  return data;
}

inline std::span<const float> row(const std::vector<float>& data, std::size_t dim, std::size_t i) {
  return {data.data() + i * dim, dim};
}

inline void insert_all(HnswIndex& index, const std::vector<float>& data) {
  const std::size_t dim = index.dimension();
  const std::size_t count = dim == 0 ? 0 : data.size() / dim;
  for (std::size_t i = 0; i < count; ++i) {
    auto v = row(data, dim, i);
    auto status = index.insert(index.node_count(), v, QuantizedVector::quantize(v));
    ASSERT_TRUE(status.has_value()) << status.error().message;
  }
}

inline HnswIndex build_index(const HnswConfig& config, const std::vector<float>& data, std::size_t dim,
                             std::uint64_t seed = 7) {
  seed_level_generator(seed);
  HnswIndex index(config, dim);
  insert_all(index, data);
  return index;
}

// Ids of the k nearest nodes by exact distance, skipping deleted ones.
inline std::vector<std::uint32_t> brute_force(const HnswIndex& index, const std::vector<float>& data,
                                              std::span<const float> query, std::size_t k) {
  const std::size_t dim = index.dimension();
  std::vector<std::pair<float, std::uint32_t>> all;
  for (std::uint32_t i = 0; i < index.node_count(); ++i) {
    if (index.is_deleted(i)) continue;
    all.emplace_back(distance_exact(index.config().distance_metric, query, row(data, dim, i)), i);
  }
  const std::size_t keep = std::min(k, all.size());
  std::partial_sort(all.begin(), all.begin() + keep, all.end());
  std::vector<std::uint32_t> ids;
  for (std::size_t i = 0; i < keep; ++i) ids.push_back(all[i].second);
  return ids;
}

inline std::vector<std::uint32_t> ids_of(const std::vector<Candidate>& found) {
  std::vector<std::uint32_t> ids;
  for (const auto& c : found) ids.push_back(c.id);
  return ids;
}

}  // namespace karvalith::testing_util
