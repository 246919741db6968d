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
  std::vector<std::uint8_t> verdicts;             // select_with_known_picks' merged list
  std::vector<std::uint32_t> origins;             // and where each of it stands in the list
  std::vector<CodeDistance::Terms> fresh_terms;   // its picks that were none before
};

// Writes at most m candidates to `out`: the heuristic picks in selection
// order, then fill-ups from the rejected ones in distance order. Each keeps
// its distance to the base point. Candidate ids must be nodes of `index`.
// Returns the number of picks (the first ones of `out`).
std::size_t select_neighbors_heuristic(const HnswIndex& index, std::span<const Candidate> candidates,
                                       std::uint64_t m, HeuristicScratch& scratch, std::vector<Candidate>& out);

// The same as select_neighbors_heuristic over `list` plus `added`, where
// `list` is what the heuristic wrote for some earlier candidates under the
// same distances (its first `picks` the picks, the rest fill-ups): the
// members keep the verdicts they had, so only the added candidate is scored
// against the picks before it, the picks after it against it, and a
// rejected member again only once a pick before it has been rejected.
// About m pairs instead of about m^2 / 2. Codes only (no raw vectors):
// `terms` holds each member's CodeDistance terms in list order, then the
// added candidate's.
std::size_t select_with_known_picks(const HnswIndex& index, std::span<const Candidate> list, std::size_t picks,
                                    Candidate added, std::span<const CodeDistance::Terms> terms, std::uint64_t m,
                                    HeuristicScratch& scratch, std::vector<Candidate>& out);

// Convenience form with its own buffers.
std::vector<Candidate> select_neighbors_heuristic(const HnswIndex& index,
                                                  std::span<const Candidate> candidates,
                                                  std::uint64_t m);

}  // namespace karvalith
