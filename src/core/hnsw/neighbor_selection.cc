#include "core/hnsw/neighbor_selection.h"

#include <algorithm>

#include "core/hnsw/code_distance.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/query_scorer.h"
#include "core/hnsw/total_order.h"

namespace karvalith {

void select_neighbors_heuristic(const HnswIndex& index, std::span<const Candidate> candidates,
                                std::uint64_t m, HeuristicScratch& scratch,
                                std::vector<Candidate>& out) {
  out.clear();
  if (m == 0 || candidates.empty()) return;

  auto& sorted = scratch.sorted;
  sorted.assign(candidates.begin(), candidates.end());
  sort_by_total_order(sorted);
  scratch.rejected.assign(sorted.size(), 0);

  // With raw vectors the comparisons are exact; otherwise they come from the
  // codes (code_distance.h), each node's terms taken once.
  const bool raw = index.has_raw_vectors();
  const ExactDistance exact(index.config().distance_metric, index.dimension());
  const CodeDistance coded(index);
  auto& picks = scratch.pick_terms;
  picks.clear();

  // Whether candidate c (with its terms) is closer to a pick than to the base.
  auto closer_to_a_pick = [&](const Candidate& c, const CodeDistance::Terms& terms) {
    if (raw) {
      for (const Candidate& pick : out) {
        const float d = exact(index.raw_vector(c.id).data(), index.raw_vector(pick.id).data());
        if (!(d >= c.distance)) return true;  // or NaN
      }
      return false;
    }
    // One pair at a time: most candidates that are rejected are rejected by
    // one of the first picks, and a group of eight would score the rest too.
    for (const CodeDistance::Terms& pick : picks) {
      if (!(coded(terms, pick) >= c.distance)) return true;  // or NaN
    }
    return false;
  };

  for (std::size_t i = 0; i < sorted.size() && out.size() < m; ++i) {
    const Candidate c = sorted[i];
    const CodeDistance::Terms terms = raw ? CodeDistance::Terms{} : coded.terms(c.id);
    if (!closer_to_a_pick(c, terms)) {
      out.push_back(c);
      picks.push_back(terms);
    } else {
      scratch.rejected[i] = 1;
    }
  }

  for (std::size_t i = 0; i < sorted.size() && out.size() < m; ++i) {
    if (!scratch.rejected[i]) continue;
    const std::uint32_t id = sorted[i].id;
    const bool taken = std::any_of(out.begin(), out.end(), [id](const Candidate& s) { return s.id == id; });
    if (!taken) out.push_back(sorted[i]);
  }
}

std::vector<Candidate> select_neighbors_heuristic(const HnswIndex& index,
                                                  std::span<const Candidate> candidates,
                                                  std::uint64_t m) {
  HeuristicScratch scratch;
  std::vector<Candidate> out;
  select_neighbors_heuristic(index, candidates, m, scratch, out);
  return out;
}

}  // namespace karvalith
