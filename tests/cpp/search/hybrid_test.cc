#include "core/search/hybrid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <vector>

namespace karvalith {
namespace {

using List = std::vector<ScoredId>;
constexpr std::uint64_t kAll = std::numeric_limits<std::uint64_t>::max();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Ids in rank order; RRF ignores the scores.
List ranked(std::initializer_list<std::uint32_t> ids) {
  List list;
  for (std::uint32_t id : ids) list.push_back({id, 1.0f});
  return list;
}

std::map<std::uint32_t, float> by_id(const List& fused) {
  std::map<std::uint32_t, float> scores;
  for (const ScoredId& hit : fused) EXPECT_TRUE(scores.emplace(hit.id, hit.score).second) << "repeated id " << hit.id;
  return scores;
}

TEST(Fusion, EmptyInputsAndZeroKGiveNothing) {
  const List some = ranked({1, 2, 3});
  EXPECT_TRUE(rrf_fusion({}, {}, 10).empty());
  EXPECT_TRUE(linear_fusion({}, {}, 10, 0.7f).empty());
  EXPECT_TRUE(rrf_fusion(some, some, 0).empty());
  EXPECT_TRUE(linear_fusion(some, some, 0, 0.7f).empty());
}

TEST(RrfFusion, SumsReciprocalRanksOffsetBy60) {
  for (bool keyword_side : {false, true}) {
    const List fused = keyword_side ? rrf_fusion({}, ranked({10, 11, 12}), kAll) : rrf_fusion(ranked({10, 11, 12}), {}, kAll);
    ASSERT_EQ(fused.size(), 3u);
    EXPECT_EQ(fused[0].id, 10u);
    EXPECT_EQ(fused[0].score, 1.0f / 61.0f);
    EXPECT_EQ(fused[2].id, 12u);
    EXPECT_EQ(fused[2].score, 1.0f / 63.0f);
  }
  const List both = rrf_fusion(ranked({7, 1, 4, 4}), ranked({7, 2}), 10);
  ASSERT_EQ(both.size(), 4u);  // k beyond the distinct ids returns them all
  EXPECT_EQ(both[0].id, 7u);
  EXPECT_EQ(both[0].score, 2.0f / 61.0f);
  const auto scores = by_id(both);
  EXPECT_EQ(scores.at(1), 1.0f / 62.0f);
  EXPECT_EQ(scores.at(2), 1.0f / 62.0f);
  EXPECT_EQ(scores.at(4), 1.0f / 63.0f + 1.0f / 64.0f);  // every occurrence contributes
}

TEST(RrfFusion, EqualScoresForTheLastPlaceKeepTheLargerId) {
  // Position 3 of either list scores 1/64; seven places leave one for 5 or 9.
  for (bool swap_lists : {false, true}) {
    for (bool swap_ids : {false, true}) {
      List vector_list = ranked({100, 101, 102, swap_ids ? 9u : 5u});
      List keyword_list = ranked({200, 201, 202, swap_ids ? 5u : 9u});
      if (swap_lists) std::swap(vector_list, keyword_list);
      const List fused = rrf_fusion(vector_list, keyword_list, 7);
      ASSERT_EQ(fused.size(), 7u);
      EXPECT_EQ(fused[6].id, 9u);
      EXPECT_EQ(fused[6].score, 1.0f / 64.0f);
    }
  }
}

TEST(LinearFusion, NormalisesEachListByItsMinAndMax) {
  const List fused = linear_fusion(List{{1, 0.9f}, {2, 0.8f}, {3, 0.5f}}, {}, 10, 1.0f);
  ASSERT_EQ(fused.size(), 3u);
  EXPECT_EQ(fused[0].score, 1.0f);
  EXPECT_NEAR(fused[1].score, 0.75f, 1e-6f);
  EXPECT_EQ(fused[2].score, 0.0f);
  EXPECT_EQ(fused[2].id, 3u);

  const List single = linear_fusion(List{{42, 0.123f}}, {}, 10, 0.7f);
  ASSERT_EQ(single.size(), 1u);
  EXPECT_EQ(single[0].score, 0.7f);

  // A range below 2^-23 is flat (every entry normalises to 1); exactly 2^-23 is not.
  const float above_half = std::nextafter(0.5f, 1.0f);
  for (const ScoredId& hit : linear_fusion({}, List{{4, 0.5f}, {5, above_half}}, 10, 0.7f)) {
    EXPECT_EQ(hit.score, 1.0f - 0.7f);
  }
  const auto spread = by_id(linear_fusion({}, List{{4, std::nextafter(1.0f, 2.0f)}, {5, 1.0f}}, 10, 0.0f));
  EXPECT_EQ(spread.at(4), 1.0f);
  EXPECT_EQ(spread.at(5), 0.0f);
}

TEST(LinearFusion, WeighsVectorByAlphaAndKeywordByOneMinusAlpha) {
  const auto scores = by_id(linear_fusion(List{{1, 0.9f}, {2, 0.5f}}, List{{2, 4.0f}, {1, 2.0f}, {3, 1.0f}}, 10, 0.7f));
  EXPECT_EQ(scores.at(1), 0.7f + 1.0f / 3.0f * (1.0f - 0.7f));  // vector part first, then keyword
  EXPECT_EQ(scores.at(2), 0.0f + (1.0f - 0.7f));
  EXPECT_EQ(scores.at(3), 0.0f);

  // alpha 1.0: keyword-only documents score 0 yet fill free places; the tie keeps the larger id.
  const List alpha_one = linear_fusion(List{{1, 0.9f}}, List{{2, 5.0f}, {3, 2.0f}}, 2, 1.0f);
  ASSERT_EQ(alpha_one.size(), 2u);
  EXPECT_EQ(alpha_one[0].score, 1.0f);
  EXPECT_EQ(alpha_one[1].id, 3u);
  EXPECT_EQ(alpha_one[1].score, 0.0f);

  // alpha 1.5 is not clamped: the keyword weight is -0.5.
  const List fused = linear_fusion(List{{1, 0.5f}}, List{{2, 3.0f}, {3, 1.0f}}, 10, 1.5f);
  ASSERT_EQ(fused.size(), 3u);
  EXPECT_EQ(fused[0].score, 1.5f);
  EXPECT_EQ(fused[2].id, 2u);
  EXPECT_EQ(fused[2].score, -0.5f);

  // The keyword bottom adds 0 * -0.5 = -0 to a start of +0, giving +0; it ties
  // with the vector bottom's +0 and the larger id keeps the last place.
  const List zeros = linear_fusion(List{{1, 0.9f}, {2, 0.5f}}, List{{4, 3.0f}, {3, 1.0f}}, 2, 1.5f);
  ASSERT_EQ(zeros.size(), 2u);
  EXPECT_EQ(zeros[1].id, 3u);
  EXPECT_FALSE(std::signbit(zeros[1].score));
}

TEST(LinearFusion, NaNScoresAreSkippedByMinMaxAndRankLast) {
  const List vector_list = {{1, 0.9f}, {2, kNaN}, {3, 0.5f}, {4, 0.7f}};
  const List fused = linear_fusion(vector_list, {}, 10, 1.0f);
  ASSERT_EQ(fused.size(), 4u);
  EXPECT_EQ(fused[0].score, 1.0f);
  EXPECT_NEAR(fused[1].score, 0.5f, 1e-6f);
  EXPECT_EQ(fused[2].score, 0.0f);
  EXPECT_EQ(fused[3].id, 2u);
  EXPECT_TRUE(std::isnan(fused[3].score));
  EXPECT_EQ(by_id(linear_fusion(vector_list, {}, 3, 1.0f)).count(2), 0u) << "NaN is dropped first";
}

// Whatever the accumulator's visiting order, a cut at k is the first k of the
// full ranking by (score, then larger id).
TEST(Fusion, CutAtKIsThePrefixOfTheFullRanking) {
  std::mt19937 rng(1234);
  std::uniform_int_distribution<std::uint32_t> pick_id(0, 40);
  std::uniform_int_distribution<int> pick_score(0, 4);  // coarse scores make ties common
  for (int round = 0; round < 50; ++round) {
    List vector_list, keyword_list;
    for (int i = 0; i < 20; ++i) vector_list.push_back({pick_id(rng), static_cast<float>(pick_score(rng))});
    for (int i = 0; i < 20; ++i) keyword_list.push_back({pick_id(rng), static_cast<float>(pick_score(rng))});
    for (bool linear : {false, true}) {
      auto fuse = [&](std::uint64_t k) {
        return linear ? linear_fusion(vector_list, keyword_list, k, 0.6f) : rrf_fusion(vector_list, keyword_list, k);
      };
      List full = fuse(kAll);
      std::sort(full.begin(), full.end(), [](const ScoredId& a, const ScoredId& b) {
        return a.score != b.score ? a.score > b.score : a.id > b.id;
      });
      for (std::uint64_t k = 0; k <= full.size() + 1; ++k) {
        const List cut = fuse(k);
        ASSERT_EQ(cut.size(), std::min<std::uint64_t>(k, full.size()));
        std::set<std::uint32_t> expected, got;
        for (std::size_t i = 0; i < cut.size(); ++i) {
          expected.insert(full[i].id);
          got.insert(cut[i].id);
          if (i > 0) {
            EXPECT_GE(cut[i - 1].score, cut[i].score);
          }
        }
        EXPECT_EQ(got, expected) << (linear ? "linear" : "rrf") << " k=" << k;
      }
    }
  }
}

}  // namespace
}  // namespace karvalith
