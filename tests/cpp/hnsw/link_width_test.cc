// Level-0 ids take 3 bytes up to 2^24 nodes and 4 beyond: the graph must
// switch while it grows and when it is loaded that large. The node blocks of
// such graphs are mostly untouched zero pages; only the switch writes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/hnsw/graph.h"
#include "hnsw_test_util.h"

#if defined(__SANITIZE_THREAD__)
#define KARVALITH_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KARVALITH_TSAN 1
#endif
#endif

namespace karvalith {
namespace {

using testing_util::ids_of;

constexpr std::size_t DIM = 4;

HnswConfig small_config() {
  HnswConfig config;
  config.m = 2;
  config.m_max0 = 4;
  config.distance_metric = DistanceMetric::Euclidean;
  return config;
}

std::vector<float> point(float x) { return {x, x * 0.5f, -x, 1.0f}; }

void load(HnswIndex& index, std::uint32_t n, float x, const std::vector<std::uint32_t>& links) {
  const auto q = QuantizedVector::quantize(point(x));
  index.load_node(n, q.codes.data(), q.min, q.scale, reinterpret_cast<const std::uint8_t*>(links.data()),
                  static_cast<std::uint32_t>(links.size()));
}

// A chain over a few nodes at both ends of the id range, each linked to its
// neighbours in the chain; every other node stays empty and unreachable.
std::vector<std::uint32_t> load_chain(HnswIndex& index, std::uint32_t last) {
  const std::vector<std::uint32_t> chain = {0, 1, 2, 3, last - 1, last};
  for (std::size_t i = 0; i < chain.size(); ++i) {
    std::vector<std::uint32_t> links;
    if (i > 0) links.push_back(chain[i - 1]);
    if (i + 1 < chain.size()) links.push_back(chain[i + 1]);
    load(index, chain[i], static_cast<float>(i), links);
  }
  const std::uint32_t count = index.node_count();
  index.finish_load(std::vector<std::uint8_t>(count, 0), std::vector<std::uint8_t>(count, 0), {}, {}, {}, 0u, 0, false);
  return chain;
}

bool tsan_build() {
#ifdef KARVALITH_TSAN
  return true;
#else
  return false;
#endif
}

TEST(LinkWidth, GrowingPastThreeByteIdsRelaysTheRowsOutAndKeepsEveryLink) {
  // Writes about 1.3 GB of blocks once; the thread checker's shadow of that
  // would be several times more, and nothing here runs on two threads.
  if (tsan_build()) GTEST_SKIP() << "too large under the thread checker";
  const auto first = static_cast<std::uint32_t>(HnswIndex::ID3_NODES - 2);
  auto index = HnswIndex::with_nodes(small_config(), DIM, first, 4);
  ASSERT_EQ(index.link_width(), 3u);
  const auto chain = load_chain(index, first - 1);
  // The highest 3-byte ids read back whole (no bits of the next id).
  EXPECT_EQ(index.neighbors(first - 2, 0).to_vector(), (std::vector<std::uint32_t>{3, first - 1}));
  EXPECT_EQ(index.neighbors(first - 1, 0).to_vector(), (std::vector<std::uint32_t>{first - 2}));

  // Nodes 2^24 - 2 and 2^24 - 1 still fit 3 bytes; node 2^24 does not.
  const std::vector<float> xs = {5.2f, 0.4f, 2.6f};
  std::vector<std::uint32_t> nodes = chain;
  std::vector<std::vector<std::uint32_t>> before;
  for (std::size_t i = 0; i < xs.size(); ++i) {
    const auto id = first + static_cast<std::uint32_t>(i);
    if (i == 2) {
      for (const std::uint32_t n : nodes) before.push_back(index.neighbors(n, 0).to_vector());
    }
    const auto v = point(xs[i]);
    ASSERT_TRUE(index.insert(id, v, QuantizedVector::quantize(v)).has_value());
    EXPECT_EQ(index.link_width(), i < 2 ? 3u : 4u) << "after node " << id;
    nodes.push_back(id);
  }
  ASSERT_EQ(index.node_count(), HnswIndex::ID3_NODES + 1);

  // The switch kept every list: a list is as it was unless the last node
  // added a link to it (appended, or the list pruned with it).
  const std::uint32_t last = first + 2;
  for (std::size_t i = 0; i < before.size(); ++i) {
    const auto now = index.neighbors(nodes[i], 0).to_vector();
    if (std::find(now.begin(), now.end(), last) == now.end()) {
      EXPECT_EQ(now, before[i]) << "node " << nodes[i];
    }
    for (const std::uint32_t id : now) EXPECT_LT(id, index.node_count());
  }
  for (std::uint32_t n = first; n <= last; ++n) {
    EXPECT_FALSE(index.neighbors(n, 0).empty()) << "node " << n << " was not linked";
  }
  // Each inserted vector finds its own node, 2^24 included: the walk reads
  // the 4-byte ids.
  for (std::size_t i = 0; i < xs.size(); ++i) {
    const auto found = index.knn_search(point(xs[i]), 1);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(ids_of(*found), (std::vector<std::uint32_t>{first + static_cast<std::uint32_t>(i)}));
  }
}

TEST(LinkWidth, GraphsLoadedPastThreeByteIdsUseFourBytes) {
  const auto count = static_cast<std::uint32_t>(HnswIndex::ID3_NODES + 2);
  auto index = HnswIndex::with_nodes(small_config(), DIM, count, 4);
  ASSERT_EQ(index.link_width(), 4u);
  const auto chain = load_chain(index, count - 1);
  EXPECT_EQ(index.neighbors(3, 0).to_vector(), (std::vector<std::uint32_t>{2, count - 2}));
  EXPECT_EQ(index.neighbors(count - 1, 0).to_vector(), (std::vector<std::uint32_t>{count - 2}));
  const auto found = index.knn_search(point(5.0f), 1);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(ids_of(*found), (std::vector<std::uint32_t>{count - 1}));
  // Small graphs, loaded or built, take 3 bytes.
  EXPECT_EQ(HnswIndex::with_nodes(small_config(), DIM, 10, 4).link_width(), 3u);
  EXPECT_EQ(chain.size(), 6u);
}

}  // namespace
}  // namespace karvalith
