// The neighbour-selection heuristic: keep a candidate only when it is closer
// to the base point than to every neighbour already kept, then fill up with
// the rejected ones. Used when linking a new node and when pruning a list.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/hnsw/candidate.h"
#include "core/hnsw/code_distance.h"

namespace karvalith {

// Reusable buffers of the heuristic (one set per thread, inside the
// insertion context).
struct HeuristicScratch {
  std::vector<Candidate> sorted;
  std::vector<std::uint8_t> rejected;
  std::vector<CodeDistance::Terms> pick_terms;  // of the picks, in pick order
};

// Writes at most m candidates to `out`: the heuristic picks in selection
// order, then fill-ups from the rejected ones in distance order. Each keeps
// its distance to the base point. Candidate ids must be nodes of `index`.
void select_neighbors_heuristic(const HnswIndex& index, std::span<const Candidate> candidates,
                                std::uint64_t m, HeuristicScratch& scratch,
                                std::vector<Candidate>& out);

// Convenience form with its own buffers.
std::vector<Candidate> select_neighbors_heuristic(const HnswIndex& index,
                                                  std::span<const Candidate> candidates,
                                                  std::uint64_t m);

}  // namespace karvalith
