// Plain-data export/import and the memory estimate.
#include <gtest/gtest.h>

#include <vector>

#include "core/hnsw/graph.h"
#include "hnsw_test_util.h"

namespace karvalith {
namespace {

using testing_util::build_index;
using testing_util::clustered_data;
using testing_util::ids_of;
using testing_util::row;

TEST(Parts, RoundTripAnswersIdenticalSearches) {
  const std::size_t dim = 12;
  auto data = clustered_data(500, dim, 101);
  for (bool raw : {false, true}) {
    HnswConfig config;
    config.store_raw_vectors = raw;
    config.distance_metric = DistanceMetric::Euclidean;
    auto index = build_index(config, data, dim);
    index.mark_deleted(17);
    auto parts = index.to_parts();
    EXPECT_EQ(parts.node_count, 500u);
    EXPECT_EQ(parts.vector_data.size(), 500u * dim);
    EXPECT_EQ(parts.raw_vectors.size(), raw ? 500u * dim : 0u);
    EXPECT_EQ(parts.deleted[17], 1);
    for (std::uint32_t n = 0; n < 500; ++n) ASSERT_EQ(parts.neighbors[n].size(), parts.layers[n] + 1u);

    auto copy = HnswIndex::from_parts(parts);
    EXPECT_EQ(copy.entry_point(), index.entry_point());
    EXPECT_EQ(copy.max_level(), index.max_level());
    EXPECT_EQ(copy.estimate_memory_bytes(), index.estimate_memory_bytes());
    auto again = copy.to_parts();
    EXPECT_EQ(again.neighbors, parts.neighbors);
    EXPECT_EQ(again.vector_data, parts.vector_data);
    EXPECT_EQ(again.deleted, parts.deleted);
    for (std::size_t q = 0; q < 30; ++q) {
      auto a = index.knn_search(row(data, dim, q * 7), 10);
      auto b = copy.knn_search(row(data, dim, q * 7), 10);
      ASSERT_TRUE(a.has_value() && b.has_value());
      EXPECT_EQ(ids_of(*a), ids_of(*b));
    }
    // Both keep growing the same way.
    std::vector<float> v(dim, 0.5f);
    v[0] = 2.0f;
    ASSERT_TRUE(copy.insert(500, v, QuantizedVector::quantize(v)).has_value());
    EXPECT_EQ(copy.node_count(), 501u);
  }
}

TEST(Parts, InconsistentListsAreToleratedWithoutOutOfRangeReads) {
  const std::size_t dim = 4;
  auto data = clustered_data(60, dim, 111);
  HnswConfig config;
  config.m = 4;
  config.m_max0 = 8;
  auto parts = build_index(config, data, dim).to_parts();
  parts.neighbors[3].clear();                          // no lists at all
  parts.neighbors[4].resize(parts.layers[4] + 4);      // more lists than levels
  parts.neighbors[5][0].assign(40, 6);                 // far beyond m_max0
  parts.neighbors[7].resize(1);                        // fewer lists than levels
  parts.layers[7] = 9;
  parts.raw_vectors.assign(10, 1.0f);                  // wrong length
  parts.max_level = 1000000;                           // descent must not loop forever
  parts.layers[9] = 0;                                 // upper lists on a node of level 0
  parts.neighbors[9].resize(3);
  const std::vector<std::uint8_t> levels = parts.layers;
  auto index = HnswIndex::from_parts(std::move(parts));
  // Levels are kept as stored, whatever lists the nodes have.
  for (std::uint32_t n = 0; n < 60; ++n) ASSERT_EQ(index.level(n), levels[n]) << n;
  EXPECT_FALSE(index.has_raw_vectors());
  EXPECT_GE(index.level0_capacity(), 40u);
  EXPECT_TRUE(index.neighbors(3, 0).empty());
  EXPECT_TRUE(index.neighbors(7, 5).empty());
  for (std::size_t q = 0; q < 10; ++q) {
    auto found = index.knn_search(row(data, dim, q), 5);
    ASSERT_TRUE(found.has_value());
    EXPECT_FALSE(found->empty());
  }
  std::vector<float> v(dim, 0.1f);
  v[2] = 1.0f;
  for (std::uint32_t i = 0; i < 30; ++i) {
    v[1] = static_cast<float>(i) * 0.1f;
    ASSERT_TRUE(index.insert(index.node_count(), v, QuantizedVector::quantize(v)).has_value());
  }
  // Node 5's overlong list is pruned back to m_max0 once it gains a link.
  for (std::uint32_t n = 60; n < index.node_count(); ++n) {
    EXPECT_LE(index.neighbors(n, 0).size(), 8u);
  }
  const HnswParts after = index.to_parts();
  EXPECT_EQ(after.neighbors[3].size(), 1u);
  EXPECT_EQ(std::vector<std::uint8_t>(after.layers.begin(), after.layers.begin() + 60), levels);
}

TEST(Parts, BackLinkToANodeWithoutTheLayerAddsTheMissingList) {
  HnswParts parts;
  parts.config.m = 1;  // every new node gets level max_layers - 1 = 1
  parts.config.m_max0 = 2;
  parts.config.max_layers = 2;
  parts.config.distance_metric = DistanceMetric::Euclidean;
  parts.config.store_raw_vectors = true;
  parts.dimension = 1;
  parts.node_count = 2;
  for (float x : {0.0f, 5.0f}) {
    auto qv = QuantizedVector::quantize(std::span<const float>(&x, 1));
    parts.vector_data.push_back(qv.codes[0]);
    parts.vector_min.push_back(qv.min);
    parts.vector_scale.push_back(qv.scale);
    parts.raw_vectors.push_back(x);
  }
  parts.neighbors = {{{1}}, {{0}, {0}}};  // node 0 claims level 1 but has one list
  parts.layers = {1, 1};
  parts.deleted = {0, 0};
  parts.entry_point = 1;
  parts.max_level = 1;
  auto index = HnswIndex::from_parts(std::move(parts));
  const float x = 0.5f;
  ASSERT_TRUE(index.insert(2, {&x, 1}, QuantizedVector::quantize({&x, 1})).has_value());
  ASSERT_EQ(index.level(2), 1);
  ASSERT_EQ(index.neighbors(2, 1).size(), 1u);
  EXPECT_EQ(index.neighbors(2, 1)[0], 0u);
  ASSERT_EQ(index.list_count(0), 2u);
  EXPECT_EQ(index.level(0), 1);
  EXPECT_EQ(index.neighbors(0, 1).size(), 1u);
  EXPECT_EQ(index.neighbors(0, 1)[0], 2u);
  // Node 0 got its list after nodes 1 and 2 had theirs: theirs are intact.
  EXPECT_EQ(index.neighbors(1, 1).to_vector(), std::vector<std::uint32_t>{0});
  const auto parts_after = index.to_parts();
  EXPECT_EQ(HnswIndex::from_parts(parts_after).to_parts().neighbors, parts_after.neighbors);
}

TEST(Parts, MemoryEstimateCountsEveryTerm) {
  HnswConfig config;
  config.max_layers = 1;
  config.store_raw_vectors = true;
  HnswIndex index(config, 3);
  EXPECT_EQ(index.estimate_memory_bytes(), 0u);
  std::vector<float> a = {1, 2, 3}, b = {3, 2, 1};
  ASSERT_TRUE(index.insert(0, a, QuantizedVector::quantize(a)).has_value());
  ASSERT_TRUE(index.insert(1, b, QuantizedVector::quantize(b)).has_value());
  // codes 6 + layers 2 + deleted 2; floats 4*(2 + 2 + 6); per node 24 + 24 + 4*1.
  EXPECT_EQ(index.estimate_memory_bytes(), 6u + 2 + 2 + 4 * 10 + 2 * (24 + 24 + 4));
}

}  // namespace
}  // namespace karvalith
