#include "core/hnsw/neighbor_selection.h"

#include <algorithm>

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

  const std::size_t dim = index.dimension();
  const ExactDistance distance(index.config().distance_metric, dim);
  const bool raw = index.has_raw_vectors();
  const std::size_t max_picks = static_cast<std::size_t>(std::min<std::uint64_t>(m, sorted.size()));
  // Slot i holds pick i; one more slot receives the candidate under test.
  if (!raw && scratch.selected_vectors.size() < (max_picks + 1) * dim) {
    scratch.selected_vectors.resize((max_picks + 1) * dim);
  }
  float* copies = scratch.selected_vectors.data();
  auto& picks = scratch.pick_vectors;
  picks.clear();

  for (std::size_t i = 0; i < sorted.size() && out.size() < m; ++i) {
    const Candidate c = sorted[i];
    const float* cv;
    if (raw) {
      cv = index.raw_vector(c.id).data();
    } else {
      float* slot = copies + out.size() * dim;  // becomes pick out.size() if kept
      dequantize(index.quantized_view(c.id), dim, slot);
      cv = slot;
    }
    bool keep = true;
    for (std::size_t j = 0; j < out.size(); ++j) {
      const float d = distance(cv, picks[j]);
      if (!(d >= c.distance)) {  // closer to a pick than to the base, or NaN
        keep = false;
        break;
      }
    }
    if (keep) {
      out.push_back(c);
      picks.push_back(cv);
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
