#include "core/hnsw/neighbor_selection.h"

#include <algorithm>

#include "core/hnsw/code_distance.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/query_scorer.h"
#include "core/hnsw/total_order.h"

namespace karvalith {
namespace {

// Whether a candidate at `distance` from the base, with code terms `terms`,
// is closer to one of `picks` than to the base (a NaN counts as closer).
// One pair at a time: most candidates that are rejected are rejected by one
// of the first picks, and a group of eight would score the rest too.
bool closer_to_a_pick(const CodeDistance& coded, float distance, const CodeDistance::Terms& terms,
                      std::span<const CodeDistance::Terms> picks) {
  for (const CodeDistance::Terms& pick : picks) {
    if (!(coded(terms, pick) >= distance)) return true;
  }
  return false;
}

}  // namespace

std::size_t select_neighbors_heuristic(const HnswIndex& index, std::span<const Candidate> candidates,
                                       std::uint64_t m, HeuristicScratch& scratch, std::vector<Candidate>& out) {
  out.clear();
  if (m == 0 || candidates.empty()) return 0;

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
  auto closer_to_picks = [&](const Candidate& c, const CodeDistance::Terms& terms) {
    if (raw) {
      for (const Candidate& pick : out) {
        const float d = exact(index.raw_vector(c.id).data(), index.raw_vector(pick.id).data());
        if (!(d >= c.distance)) return true;  // or NaN
      }
      return false;
    }
    return closer_to_a_pick(coded, c.distance, terms, picks);
  };

  for (std::size_t i = 0; i < sorted.size() && out.size() < m; ++i) {
    const Candidate c = sorted[i];
    const CodeDistance::Terms terms = raw ? CodeDistance::Terms{} : coded.terms(c.id);
    if (!closer_to_picks(c, terms)) {
      out.push_back(c);
      picks.push_back(terms);
    } else {
      scratch.rejected[i] = 1;
    }
  }

  const std::size_t picked = out.size();
  for (std::size_t i = 0; i < sorted.size() && out.size() < m; ++i) {
    if (!scratch.rejected[i]) continue;
    const std::uint32_t id = sorted[i].id;
    const bool taken = std::any_of(out.begin(), out.end(), [id](const Candidate& s) { return s.id == id; });
    if (!taken) out.push_back(sorted[i]);
  }
  return picked;
}

std::size_t select_with_known_picks(const HnswIndex& index, std::span<const Candidate> list, std::size_t picks,
                                    Candidate added, std::span<const CodeDistance::Terms> terms_of, std::uint64_t m,
                                    HeuristicScratch& scratch, std::vector<Candidate>& out) {
  out.clear();
  if (m == 0) return 0;
  // The merged order: the picks and the rejected members each keep their
  // order (both ascending by distance), picks first among equal distances
  // (a pick came before what it rejected), the added candidate after its
  // equals. Verdicts: 0 rejected, 1 pick, 2 the added one.
  constexpr std::uint8_t REJECTED = 0, PICK = 1, ADDED = 2;
  auto& merged = scratch.sorted;
  auto& verdicts = scratch.verdicts;
  auto& origins = scratch.origins;
  merged.clear();
  verdicts.clear();
  origins.clear();
  const auto key = [](const Candidate& c) { return total_order_key(c.distance); };
  std::size_t p = 0, r = picks;
  bool added_placed = false;
  while (p < picks || r < list.size()) {
    const bool take_pick = p < picks && (r == list.size() || key(list[p]) <= key(list[r]));
    const std::size_t at = take_pick ? p++ : r++;
    if (!added_placed && key(added) < key(list[at])) {
      merged.push_back(added);
      verdicts.push_back(ADDED);
      origins.push_back(static_cast<std::uint32_t>(list.size()));
      added_placed = true;
    }
    merged.push_back(list[at]);
    verdicts.push_back(take_pick ? PICK : REJECTED);
    origins.push_back(static_cast<std::uint32_t>(at));
  }
  if (!added_placed) {
    merged.push_back(added);
    verdicts.push_back(ADDED);
    origins.push_back(static_cast<std::uint32_t>(list.size()));
  }

  const CodeDistance coded(index);
  auto& picked = scratch.pick_terms;  // the terms of the picks so far, in order
  auto& fresh = scratch.fresh_terms;  // of those that were no picks before: the added one, rejected ones promoted
  picked.clear();
  fresh.clear();
  bool demoted = false;  // whether a pick before has been rejected
  std::size_t examined = 0;
  for (; examined < merged.size() && picked.size() < m; ++examined) {
    const Candidate c = merged[examined];
    const std::uint8_t before = verdicts[examined];
    bool pick = false;
    const CodeDistance::Terms& terms = terms_of[origins[examined]];
    if (before == PICK) {
      // Its earlier picks were picks before it then, less any rejected
      // since: only the new picks can reject it now.
      pick = !closer_to_a_pick(coded, c.distance, terms, fresh);
      demoted |= !pick;
    } else if (before == ADDED || demoted) {
      pick = !closer_to_a_pick(coded, c.distance, terms, picked);
      if (pick) fresh.push_back(terms);
    }
    // Otherwise a rejected member stays rejected: what rejected it came
    // before it and is a pick still.
    verdicts[examined] = pick ? PICK : REJECTED;
    if (pick) {
      out.push_back(c);
      picked.push_back(terms);
    }
  }
  const std::size_t picks_out = out.size();
  // Fill-ups: the rejected in order; those never examined are dropped.
  for (std::size_t i = 0; i < examined && out.size() < m; ++i) {
    if (verdicts[i] == REJECTED) out.push_back(merged[i]);
  }
  return picks_out;
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
