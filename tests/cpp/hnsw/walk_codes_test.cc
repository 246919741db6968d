// Graphs walked on one- or two-bit codes: the layout keeps everything the
// 8-bit graph holds, inserts keep the codes true to their centre, and walks
// on them answer as the stored vectors do.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/hnsw/search.h"
#include "hnsw_test_util.h"

namespace karvalith {
namespace {

using testing_util::build_index;
using testing_util::clustered_data;
using testing_util::insert_all;
using testing_util::row;

HnswConfig small_config(DistanceMetric metric) {
  HnswConfig config;
  config.m = 8;
  config.m_max0 = 16;
  config.ef_construction = 40;
  config.distance_metric = metric;
  return config;
}

// Every node's walk codes are its vector coded against the graph's centre.
void expect_codes_match_centre(const HnswIndex& index) {
  const BinaryView view = index.binary_view();
  const std::size_t d = index.dimension();
  std::vector<float> vector(d);
  std::vector<std::uint8_t> bits(view.terms_offset, 0);
  for (std::uint32_t n = 0; n < index.node_count(); ++n) {
    index.copy_vector(n, vector.data());
    std::fill(bits.begin(), bits.end(), 0);
    const BinaryCodeTerms t = encode_binary(vector, view.centre, view.planes, bits.data());
    ASSERT_TRUE(std::equal(bits.begin(), bits.begin() + view.planes * view.plane_bytes(), view.bits(n))) << n;
    const BinaryCodeTerms stored = view.terms(n);
    ASSERT_EQ(stored.a, t.a);
    ASSERT_EQ(stored.b, t.b);
    ASSERT_EQ(stored.r_dot_c, t.r_dot_c);
    ASSERT_EQ(stored.norm_sq, t.norm_sq);
  }
}

// A walk on the bit codes only chooses which nodes get re-scored: with a beam
// as wide as the graph every live admitted node is re-scored on the stored
// vectors, so the answer is the 8-bit graph's, ids and distances, for every
// metric and code width, past tombstones and a filter. Re-laying a graph out
// changes none of what it stores.
TEST(WalkCodes, WithAFullBeamAnswersAsTheStoredVectorsDo) {
  const std::size_t dim = 37, count = 300;
  const auto data = clustered_data(count, dim, 3);
  for (const DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    HnswIndex index = build_index(small_config(metric), data, dim);
    for (std::uint32_t n = 0; n < count; n += 7) index.mark_deleted(n);
    const HnswParts parts = index.to_parts();
    const auto odd = [](std::uint32_t n) { return n % 2 == 1; };
    for (const unsigned planes : {1u, 2u}) {
      HnswIndex coded = HnswIndex::from_parts(parts);
      coded.use_walk_codes(planes);
      ASSERT_EQ(coded.walk_bits(), planes);
      const HnswParts after = coded.to_parts();
      EXPECT_EQ(after.vector_data, parts.vector_data);
      EXPECT_EQ(after.vector_min, parts.vector_min);
      EXPECT_EQ(after.vector_scale, parts.vector_scale);
      EXPECT_EQ(after.neighbors, parts.neighbors);
      EXPECT_EQ(after.deleted, parts.deleted);
      for (std::uint32_t n = 0; n < count; ++n) {
        ASSERT_EQ(coded.norm_sq_of(n), index.norm_sq_of(n));
        ASSERT_EQ(coded.code_sum_of(n), index.code_sum_of(n));
      }
      expect_codes_match_centre(coded);
      std::vector<Candidate> expected, found;
      for (std::size_t q = 0; q < 20; ++q) {
        const auto query = row(data, dim, (q * 37) % count);
        ASSERT_TRUE(knn_search(index, query, 10, count, odd, expected).has_value());
        ASSERT_TRUE(knn_search(coded, query, 10, count, odd, found).has_value());
        ASSERT_EQ(found.size(), expected.size());
        for (std::size_t i = 0; i < found.size(); ++i) {
          EXPECT_EQ(found[i].id, expected[i].id) << "metric " << static_cast<int>(metric) << " planes " << planes;
          EXPECT_EQ(found[i].distance, expected[i].distance);
        }
      }
    }
  }
}

// Inserting into a graph with walk codes builds the graph an 8-bit one builds
// (inserts walk on the 8-bit codes), one node at a time and in parallel
// batches, through level-0 rows re-laid out as lists outgrow them; the
// centre is the mean of the nodes there were when the graph last doubled.
TEST(WalkCodes, InsertsBuildThe8BitGraphAndKeepTheCodesCentred) {
  const std::size_t dim = 19, count = 400;
  const auto data = clustered_data(count, dim, 5);
  HnswConfig config = small_config(DistanceMetric::Euclidean);
  config.m_max0 = 300;  // rows start at 256 ids and grow when a list outgrows them
  for (const unsigned planes : {1u, 2u}) {
    const HnswIndex plain = build_index(config, data, dim, 11);
    seed_level_generator(11);
    HnswIndex coded(config, dim);
    coded.use_walk_codes(planes);
    insert_all(coded, data);
    const HnswParts a = plain.to_parts(), b = coded.to_parts();
    EXPECT_EQ(b.neighbors, a.neighbors);
    EXPECT_EQ(b.layers, a.layers);
    EXPECT_EQ(b.vector_data, a.vector_data);
    EXPECT_EQ(coded.entry_point(), plain.entry_point());
    expect_codes_match_centre(coded);
    // Centred last at 256 nodes.
    std::vector<double> mean(dim, 0.0);
    std::vector<float> vector(dim);
    for (std::uint32_t n = 0; n < 256; ++n) {
      coded.copy_vector(n, vector.data());
      for (std::size_t i = 0; i < dim; ++i) mean[i] += vector[i] / 256.0;
    }
    for (std::size_t i = 0; i < dim; ++i) EXPECT_NEAR(coded.binary_view().centre[i], mean[i], 1e-5);

    // A batch on two threads: the nodes are stored first, then linked.
    HnswIndex batched(config, dim);
    batched.use_walk_codes(planes);
    std::vector<QuantizedVector> quantized;
    for (std::size_t i = 0; i < count; ++i) quantized.push_back(QuantizedVector::quantize(row(data, dim, i)));
    ASSERT_TRUE(batched.insert_batch(data, quantized, 2).has_value());
    EXPECT_EQ(batched.node_count(), count);
    expect_codes_match_centre(batched);
    std::vector<Candidate> found;
    std::size_t self_hits = 0;
    for (std::uint32_t q = 0; q < count; q += 10) {
      ASSERT_TRUE(knn_search(batched, row(data, dim, q), 1, 64, AdmitAll{}, found).has_value());
      self_hits += !found.empty() && found[0].id == q ? 1 : 0;
    }
    EXPECT_GE(self_hits, 38u);  // of 40: each point finds itself
  }
}

// The 8-bit walk takes over where single-precision sums could overflow: the
// graph with walk codes then walks exactly as the 8-bit one, at any beam.
TEST(WalkCodes, HugeQueriesAndNodesWalkOnThe8BitCodes) {
  const std::size_t dim = 8;
  auto data = clustered_data(300, dim, 9);
  HnswIndex index = build_index(small_config(DistanceMetric::Euclidean), data, dim);
  HnswIndex coded = HnswIndex::from_parts(index.to_parts());
  coded.use_walk_codes(2);
  const auto same_answers = [&](std::span<const float> query) {
    std::vector<Candidate> expected, found;
    for (const std::uint64_t ef : {1u, 3u, 10u}) {
      ASSERT_TRUE(knn_search(index, query, 3, ef, AdmitAll{}, expected).has_value());
      ASSERT_TRUE(knn_search(coded, query, 3, ef, AdmitAll{}, found).has_value());
      ASSERT_EQ(found.size(), expected.size());
      for (std::size_t i = 0; i < found.size(); ++i) EXPECT_EQ(found[i].id, expected[i].id) << "ef " << ef;
    }
  };
  for (std::uint32_t q = 0; q < 300; q += 15) {
    std::vector<float> query(row(data, dim, q).begin(), row(data, dim, q).end());
    query[q % dim] = (q % 2 ? 1e30f : -3e25f);
    same_answers(query);
  }
  std::vector<float> huge(dim, 1e20f);
  for (HnswIndex* graph : {&index, &coded}) {
    seed_level_generator(4);
    ASSERT_TRUE(graph->insert(graph->node_count(), huge, QuantizedVector::quantize(huge)).has_value());
  }
  EXPECT_TRUE(coded.has_huge_nodes());
  for (std::uint32_t q = 0; q < 300; q += 15) same_answers(row(data, dim, q));
}

}  // namespace
}  // namespace karvalith
