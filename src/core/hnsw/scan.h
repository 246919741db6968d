// The k nearest of a given list of nodes, every one of them scored: the
// exact path of a filtered search, where few documents pass and walking the
// graph would visit mostly ones that do not.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/hnsw/candidate.h"
#include "core/hnsw/graph.h"

namespace karvalith {

// The at most k nearest of `nodes` (live nodes of `index`, in any order),
// ascending by distance in the IEEE total order, ties by node, each distance
// re-scored on the stored vectors as knn_search re-scores its results, into
// `out`.
//
// Each node is first scored roughly, the query quantized to 8-bit codes as
// the nodes are (one integer dot product per row, rows requested a few nodes
// ahead), keeping the 4k (at least k + 32) closest; only that
// shortlist is scored again on the stored vectors, so the k returned are the
// k nearest unless quantizing the query moved a node from beyond the
// shortlist to within the k. With raw vectors, values near the float range
// or a list no longer than that shortlist, the first score is the walk's
// (WalkScorer), which differs from the stored one only in rounding, and the
// shortlist is k + max(k, 16) (all k with raw vectors). Allocates only the query's codes once the
// thread's buffers have grown.
void scan_nearest(const HnswIndex& index, std::span<const float> query, std::uint64_t k,
                  std::span<const std::uint32_t> nodes, std::vector<Candidate>& out);

}  // namespace karvalith
