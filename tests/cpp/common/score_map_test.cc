#include "core/common/score_map.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <map>
#include <random>

namespace karvalith {
namespace {

// Against a std::map reference: sums, first-seen order, growth far past the
// expected size, and reuse across many resets (the epoch wraps after 2^32;
// here the map is reset often with ids whose slots stay stale).
TEST(ScoreMap, SumsPerIdInFirstSeenOrderAcrossGrowthAndResets) {
  ScoreMap map;
  std::mt19937 rng(5);
  for (int round = 0; round < 200; ++round) {
    const std::size_t expected = round % 7;
    map.reset(expected);
    std::map<std::uint32_t, float> truth;
    std::vector<std::uint32_t> order;
    const int adds = 1 + static_cast<int>(rng() % 300);
    for (int i = 0; i < adds; ++i) {
      // Ids that share low bits, so homes collide and probes run long.
      const std::uint32_t id = (rng() % 64) << 20 | (rng() % 3);
      const float part = static_cast<float>(rng() % 1000) / 7.0f;
      if (!truth.contains(id)) order.push_back(id);
      truth[id] = part + truth[id];
      map.add(id, part);
    }
    ASSERT_EQ(map.ids(), order) << "round " << round;
    for (std::size_t i = 0; i < order.size(); ++i) {
      EXPECT_EQ(map.scores()[i], truth[order[i]]) << "round " << round;
    }
  }
}

TEST(ScoreMap, ALoneNegativeZeroPartGivesPositiveZero) {
  ScoreMap map;
  map.reset(1);
  map.add(9, -0.0f);
  ASSERT_EQ(map.scores().size(), 1u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(map.scores()[0]), 0u);
}

}  // namespace
}  // namespace karvalith
