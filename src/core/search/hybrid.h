// Fusion of a vector ranking and a keyword ranking into one list.
//
// Both inputs are (internal id, score) lists in rank order, best first; either
// may be empty. Both methods return at most k pairs by descending fused score.
// Selection keeps the k highest scores; among equal scores competing for the
// last places, larger ids survive. NaN scores rank below every number (they
// are dropped first and listed last). Pure functions: no shared state.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/search/types.h"

namespace karvalith {

// Rank offset of reciprocal-rank fusion.
inline constexpr float RRF_K = 60.0f;

// Reciprocal-rank fusion: each occurrence at position i of either list adds
// 1 / ((i + RRF_K) + 1), evaluated in f32 in that order. Input scores are ignored.
std::vector<ScoredId> rrf_fusion(std::span<const ScoredId> vector_list, std::span<const ScoredId> keyword_list,
                                 std::uint64_t k);

// Linear fusion: each list is min-max normalised (NaN scores skipped by the
// min/max; a list whose range is below 2^-23 normalises to 1.0), then vector
// entries add n * alpha and keyword entries n * (1 - alpha). alpha is used
// unchanged, neither clamped nor validated.
std::vector<ScoredId> linear_fusion(std::span<const ScoredId> vector_list, std::span<const ScoredId> keyword_list,
                                    std::uint64_t k, float alpha);

}  // namespace karvalith
