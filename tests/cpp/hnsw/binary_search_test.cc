#include "core/hnsw/binary_search.h"

#include <gtest/gtest.h>

#include <vector>

#include "hnsw_test_util.h"

namespace karvalith {
namespace {

using testing_util::build_index;
using testing_util::clustered_data;
using testing_util::row;

// A walk on the bit codes only chooses which nodes get re-scored: with a beam
// as wide as the graph every live admitted node is re-scored on the stored
// vectors, so the answer is knn_search's, ids and distances, for every metric
// and code width, past tombstones and a filter. The rows' copies of the
// level-0 lists are the graph's.
TEST(BinarySearch, WithAFullBeamAnswersAsTheStoredVectorsDo) {
  const std::size_t dim = 37, count = 300;
  const auto data = clustered_data(count, dim, 3);
  for (const DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    HnswConfig config;
    config.m = 8;
    config.m_max0 = 16;
    config.ef_construction = 40;
    config.distance_metric = metric;
    HnswIndex index = build_index(config, data, dim);
    for (std::uint32_t n = 0; n < count; n += 7) index.mark_deleted(n);
    const auto odd = [](std::uint32_t n) { return n % 2 == 1; };
    for (const unsigned planes : {1u, 2u}) {
      const BinaryRows rows = BinaryRows::encode(index, planes);
      for (std::uint32_t n = 0; n < count; ++n) {
        ASSERT_EQ(rows.level0(n).to_vector(), index.neighbors(n, 0).to_vector()) << n;
      }
      std::vector<Candidate> expected, found;
      for (std::size_t q = 0; q < 20; ++q) {
        const auto query = row(data, dim, (q * 37) % count);
        ASSERT_TRUE(knn_search(index, query, 10, count, odd, expected).has_value());
        ASSERT_TRUE(knn_search_binary(index, rows, query, 10, count, odd, found).has_value());
        ASSERT_EQ(found.size(), expected.size());
        for (std::size_t i = 0; i < found.size(); ++i) {
          EXPECT_EQ(found[i].id, expected[i].id) << "metric " << static_cast<int>(metric) << " planes " << planes;
          EXPECT_EQ(found[i].distance, expected[i].distance);
        }
      }
    }
  }
}

}  // namespace
}  // namespace karvalith
