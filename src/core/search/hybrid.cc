#include "core/search/hybrid.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "core/common/score_map.h"
#include "core/common/thread_scratch.h"

namespace karvalith {
namespace {

// Spacing of f32 values just above 1.0: a narrower score range counts as flat.
constexpr float kFlatRange = 0x1p-23f;
constexpr float kFoldStart = 3.4028235e38f;

// Reused across calls so steady-state fusion allocates only its result.
ScoreMap& thread_accumulator(std::size_t max_entries) {
  ScoreMap& accumulator = thread_scratch<ScoreMap>();
  accumulator.reset(max_entries);
  return accumulator;
}

// Rank order used for selection and sorting, as one integer: NaN below every
// number, then by score (-0 and +0 equal), then by id, so larger ids rank
// higher on equal scores. A total order, so the heap and the sort stay
// well-defined whatever the scores, and comparisons are plain integer ones.
std::uint64_t rank_key(std::uint32_t id, float score) {
  std::uint32_t score_bits = 0;  // NaN
  if (!std::isnan(score)) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(score == 0.0f ? 0.0f : score);
    score_bits = (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
  }
  return static_cast<std::uint64_t>(score_bits) << 32 | id;
}

struct RankedEntry {
  std::uint64_t key;  // rank_key; its low half is the id
  float score;        // the exact score, -0 and NaN payloads included
};

// Min-heap order (lowest rank on top), and descending order for std::sort.
constexpr auto ranks_above = [](const RankedEntry& a, const RankedEntry& b) { return a.key > b.key; };

// The k best entries by descending rank. A bounded heap with the lowest-ranked
// survivor on top evicts the minimum whenever it exceeds k; when every entry
// fits, the heap is skipped, which keeps the same survivors. Reservations are
// bounded by the number of entries, so any k is safe.
std::vector<ScoredId> select_top_k(const ScoreMap& entries, std::uint64_t k) {
  std::vector<ScoredId> result;
  const std::vector<std::uint32_t>& ids = entries.ids();
  const std::vector<float>& scores = entries.scores();
  if (k == 0 || ids.empty()) return result;
  std::vector<RankedEntry>& kept = thread_scratch<std::vector<RankedEntry>>();
  kept.clear();
  if (k >= ids.size()) {
    kept.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) kept.push_back({rank_key(ids[i], scores[i]), scores[i]});
  } else {
    kept.reserve(static_cast<std::size_t>(k) + 1);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const RankedEntry ranked{rank_key(ids[i], scores[i]), scores[i]};
      if (kept.size() == k && ranked.key < kept.front().key) continue;  // would be evicted at once
      kept.push_back(ranked);
      std::push_heap(kept.begin(), kept.end(), ranks_above);
      if (kept.size() > k) {
        std::pop_heap(kept.begin(), kept.end(), ranks_above);
        kept.pop_back();
      }
    }
  }
  std::sort(kept.begin(), kept.end(), ranks_above);
  result.reserve(kept.size());
  for (const RankedEntry& ranked : kept) result.push_back({static_cast<std::uint32_t>(ranked.key), ranked.score});
  return result;
}

void add_reciprocal_ranks(ScoreMap& accumulator, std::span<const ScoredId> list) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    const float contribution = 1.0f / ((static_cast<float>(i) + RRF_K) + 1.0f);
    accumulator.add(list[i].id, contribution);
  }
}

void add_normalised(ScoreMap& accumulator, std::span<const ScoredId> list, float weight) {
  if (list.empty()) return;
  float lo = kFoldStart;
  float hi = -kFoldStart;
  for (const ScoredId& entry : list) {
    if (std::isnan(entry.score)) continue;
    lo = std::min(lo, entry.score);
    hi = std::max(hi, entry.score);
  }
  const float range = hi - lo;
  for (const ScoredId& entry : list) {
    const float normalised = range < kFlatRange ? 1.0f : (entry.score - lo) / range;
    accumulator.add(entry.id, normalised * weight);
  }
}

}  // namespace

std::vector<ScoredId> rrf_fusion(std::span<const ScoredId> vector_list, std::span<const ScoredId> keyword_list,
                                 std::uint64_t k) {
  ScoreMap& accumulator = thread_accumulator(vector_list.size() + keyword_list.size());
  add_reciprocal_ranks(accumulator, vector_list);
  add_reciprocal_ranks(accumulator, keyword_list);
  return select_top_k(accumulator, k);
}

std::vector<ScoredId> linear_fusion(std::span<const ScoredId> vector_list, std::span<const ScoredId> keyword_list,
                                    std::uint64_t k, float alpha) {
  ScoreMap& accumulator = thread_accumulator(vector_list.size() + keyword_list.size());
  const float keyword_weight = 1.0f - alpha;
  add_normalised(accumulator, vector_list, alpha);
  add_normalised(accumulator, keyword_list, keyword_weight);
  return select_top_k(accumulator, k);
}

}  // namespace karvalith
