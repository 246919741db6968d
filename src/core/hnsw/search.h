// Best-first walks over one layer of the graph, the distance of a node to a
// query, and the k-nearest-neighbour query built on them. Every query (plain
// or filtered) is knn_search with an admission test; HnswIndex::knn_search is
// the plain one.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/common/result.h"
#include "core/hnsw/binary_scorer.h"
#include "core/hnsw/candidate.h"
#include "core/hnsw/candidate_heap.h"
#include "core/hnsw/distance.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/node_locks.h"
#include "core/hnsw/query_scorer.h"
#include "core/hnsw/thread_context.h"
#include "core/hnsw/total_order.h"
#include "core/hnsw/visited.h"
#include "core/hnsw/walk_scorer.h"

namespace karvalith {

// Distance computations counted by the searches of the calling thread.
struct SearchStats {
  std::uint64_t searches = 0;
  std::uint64_t distance_computations = 0;
};
SearchStats& thread_search_stats();

// Distance of node `id` to the query: the exact distance to the raw vector
// when raw vectors are stored, else the asymmetric distance to the quantized
// vector with the query's squared norm `qnorm`.
inline float compute_distance(const HnswIndex& index, std::span<const float> query, std::uint32_t id,
                              float qnorm) {
  const DistanceMetric metric = index.config().distance_metric;
  if (index.has_raw_vectors()) return distance_exact(metric, query, index.raw_vector(id));
  return distance_asym_prenorm(metric, query, index.quantized_view(id), qnorm);
}

struct AdmitAll {
  bool operator()(std::uint32_t) const { return true; }
};

// Admits the nodes that are not deleted and pass `admit`, which is asked only
// about live nodes.
template <class Admit>
struct LiveAnd {
  const HnswIndex& index;
  Admit admit;
  bool operator()(std::uint32_t node) const { return !index.is_deleted(node) && admit(node); }
};
template <class Admit>
LiveAnd(const HnswIndex&, Admit) -> LiveAnd<Admit>;

// How a walk reads a node's links: straight from the graph, when no thread
// changes it meanwhile; or copied under the node's lock, while other threads
// insert (hnsw/node_locks.h).
struct DirectLinks {
  LinkList operator()(const HnswIndex& index, std::uint32_t n, std::uint64_t layer,
                      std::vector<std::uint32_t>&) const {
    return index.neighbors(n, layer);
  }
};

struct LockedLinks {
  NodeLocks* locks;
  LinkList operator()(const HnswIndex& index, std::uint32_t n, std::uint64_t layer,
                      std::vector<std::uint32_t>& copy) const {
    NodeLocks::Guard guard(*locks, n);
    const LinkList links = index.neighbors(n, layer);
    copy.resize(links.size());
    for (std::size_t i = 0; i < links.size(); ++i) copy[i] = links[i];
    return LinkList(copy);
  }
};

// One best-first walk on `layer` from `entries` with beam width `ef`.
// A node enters the results only when admit(node) holds; admit is evaluated
// only for nodes that passed the distance test, at most once per node.
// Unadmitted nodes are still explored. Leaves the results in scratch.results
// sorted by ascending distance and returns their number.
// Precondition: `visited` covers every node id (grow it to node_count first).
// `distance_to` scores nodes for the walk: WalkScorer on the graph's codes
// (walk_layer below), or an estimate on coarser codes whose results the
// caller re-scores.
template <class Scorer, class Admit, class Links = DirectLinks>
std::size_t walk_layer_scored(const HnswIndex& index, SearchScratch& scratch, VisitedSet& visited,
                              const Scorer& distance_to, std::span<const std::uint32_t> entries, std::uint64_t ef,
                              std::uint64_t layer, Admit&& admit, const Links& read_links = Links{}) {
  visited.next_epoch();
  auto& candidates = scratch.candidates;
  auto& results = scratch.results;
  candidates.clear();
  results.clear();
  const std::uint64_t nodes = index.node_count();
  candidates.reserve(static_cast<std::size_t>(std::min(ef > UINT64_MAX / 2 ? UINT64_MAX : 2 * ef, nodes)));
  results.reserve(static_cast<std::size_t>(std::min(ef, nodes) + 1));

  float bound = LARGEST_F32;
  std::uint64_t computed = 0;

  for (const std::uint32_t e : entries) {
    if (!visited.visit(e)) continue;
    const float d = distance_to(e);
    ++computed;
    near_heap_push(candidates, Candidate{d, e});
    if (admit(e)) {
      far_heap_push(results, Candidate{d, e});
      if (results.size() >= ef) bound = results.front().distance;
    }
  }

  while (!candidates.empty()) {
    const Candidate current = candidates.front();
    if (results.size() >= ef && current.distance > bound) break;
    near_heap_pop(candidates);

    // First the neighbours not yet visited, marked now; then all their
    // distances at once, so their rows are fetched from memory in parallel
    // (WalkScorer::score); then each enters the beam in list order.
    const LinkList links = read_links(index, current.id, layer, scratch.links);
    auto& fresh = scratch.fresh;
    auto& distances = scratch.fresh_distances;
    if (fresh.size() < links.size()) {
      fresh.resize(links.size());
      distances.resize(links.size());
    }
    const std::size_t fresh_count = visited.visit_all(links, fresh.data());
    distance_to.score({fresh.data(), fresh_count}, distances.data());
    computed += fresh_count;
    for (std::size_t f = 0; f < fresh_count; ++f) {
      const std::uint32_t n = fresh[f];
      const float d = distances[f];
      if (results.size() >= ef && !(d < bound)) continue;
      near_heap_push(candidates, Candidate{d, n});
      if (!admit(n)) continue;
      far_heap_push(results, Candidate{d, n});
      if (results.size() > ef) far_heap_pop(results);
      bound = results.empty() ? LARGEST_F32 : results.front().distance;
    }
  }

  far_heap_sort(results);
  scratch.distance_count += computed;
  return results.size();
}

template <class Admit, class Links = DirectLinks>
std::size_t walk_layer(const HnswIndex& index, SearchScratch& scratch, VisitedSet& visited,
                       std::span<const float> query, float qnorm, std::span<const std::uint32_t> entries, std::uint64_t ef, std::uint64_t layer,
                       Admit&& admit, const Links& read_links = Links{}) {
  return walk_layer_scored(index, scratch, visited, WalkScorer(index, query, qnorm), entries, ef, layer,
                           std::forward<Admit>(admit), read_links);
}

// Greedy descent: beam-1 walks from `entry`, one per layer from the top
// down to stop_above + 1, each starting where the last ended; returns the
// node the last one ended at. Layers above `max_level` or above the highest
// list cannot move the entry point and are skipped.
template <class Scorer, class Admit, class Links = DirectLinks>
std::uint32_t greedy_descent_scored(const HnswIndex& index, SearchScratch& scratch, VisitedSet& visited,
                                    const Scorer& distance_to, std::uint32_t entry, std::uint64_t max_level,
                                    std::uint64_t stop_above, const Admit& admit, const Links& read_links = Links{}) {
  std::uint32_t ep = entry;
  for (std::uint64_t layer = std::min(max_level, index.top_list_layer()); layer > stop_above; --layer) {
    const std::uint32_t from = ep;
    if (walk_layer_scored(index, scratch, visited, distance_to, {&from, 1}, 1, layer, admit, read_links) > 0) {
      ep = scratch.results[0].id;
    }
  }
  return ep;
}

template <class Admit, class Links = DirectLinks>
std::uint32_t greedy_descent(const HnswIndex& index, SearchScratch& scratch, VisitedSet& visited,
                             std::span<const float> query, float qnorm, std::uint32_t entry,
                             std::uint64_t max_level, std::uint64_t stop_above, const Admit& admit,
                             const Links& read_links = Links{}) {
  return greedy_descent_scored(index, scratch, visited, WalkScorer(index, query, qnorm), entry, max_level, stop_above,
                               admit, read_links);
}

namespace search_detail {

inline std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  return (b != 0 && a > UINT64_MAX / b) ? UINT64_MAX : a * b;
}

// Adds one finished query's distance count to the thread's statistics.
void record_search(std::uint64_t distances);

// Whether every component is at most SAFE_MAGNITUDE in magnitude (NaN is not).
inline bool within_safe_magnitude(std::span<const float> v) {
  bool within = true;
  for (const float x : v) within &= std::fabs(x) <= SAFE_MAGNITUDE;
  return within;
}

}  // namespace search_detail

// knn_search with the walks scored by make_scorer(scratch, query, qnorm)'s
// scorer (the query as prepare_query scaled it) and lists read by
// `read_links`: WalkScorer, or BinaryScorer on a graph's walk codes. Every
// admitted node of the beam is re-scored on the stored vectors either way.
template <class Admit, class MakeScorer, class Links = DirectLinks>
Status knn_search_scored(const HnswIndex& index, std::span<const float> given_query, std::uint64_t k,
                         std::uint64_t ef, Admit&& admit, std::vector<Candidate>& out, MakeScorer&& make_scorer,
                         const Links& read_links = Links{}) {
  out.clear();
  const std::optional<std::uint32_t> entry_point = index.entry_point();
  if (!entry_point || k == 0) return {};

  auto lease = borrow_search_context();
  if (!lease) return std::unexpected(std::move(lease.error()));
  VisitedSet& visited = lease->visited();
  SearchScratch& scratch = lease->search();
  visited.grow(index.node_count());
  scratch.distance_count = 0;

  const PreparedQuery prepared = prepare_query(index.config().distance_metric, given_query, scratch.query);
  const std::span<const float> query = prepared.values;
  const float qnorm = prepared.norm_sq;
  const auto distance_to = make_scorer(scratch, query, qnorm);
  const std::uint32_t ep = greedy_descent_scored(index, scratch, visited, distance_to, *entry_point,
                                                 index.max_level(), 0, LiveAnd{index, AdmitAll{}}, read_links);

  const LiveAnd live_and_admitted{index, std::forward<Admit>(admit)};
  std::uint64_t beam = std::max(ef, k);
  const std::uint64_t cap =
      std::min<std::uint64_t>(search_detail::saturating_mul(beam, 4), index.node_count());
  for (;;) {
    const std::size_t admitted =
        walk_layer_scored(index, scratch, visited, distance_to, {&ep, 1}, beam, 0, live_and_admitted, read_links);
    if (admitted >= k || beam >= cap) break;
    beam = std::min(search_detail::saturating_mul(beam, 2), cap);
  }

  // Re-score every admitted node on the stored vectors.
  std::vector<Candidate>& results = scratch.results;
  const std::size_t count = results.size();
  const QueryScorer stored_distance(index, query, qnorm);
  for (std::size_t i = 0; i < count; ++i) {
    if (i + 1 < count) stored_distance.prefetch(results[i + 1].id);
    results[i].distance = stored_distance(results[i].id);
  }
  scratch.distance_count += count;
  sort_by_total_order(results);
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(k, count));
  out.assign(results.begin(), results.begin() + static_cast<std::ptrdiff_t>(keep));
  search_detail::record_search(scratch.distance_count);
  return {};
}

// The at most k nearest nodes that are live and pass admit(node), ascending
// by distance (IEEE total order), each distance re-scored on the raw or
// scalar-quantized vector, into `out`.
//
// Descent: layers max_level..1 with beam 1, admitting every live node.
// Layer 0: beam = max(ef, k), cap = min(node_count, 4 * beam); walks from the
// same entry point with beam, 2 beam, ... (each at most cap) until k nodes are
// admitted or the beam reaches cap: deleted and unadmitted nodes use up beam
// without becoming results. admit is evaluated only for live nodes that pass
// the distance test, at most once per node and pass.
//
// Borrows the thread's search context: ErrorKind::Internal when it is already
// in use on this thread. The caller holds the collection's lock (shared is
// enough) and passes a query of dimension() components.
//
// A graph with walk codes (HnswIndex::walk_bits) is walked on them
// (BinaryScorer), unless a node or the query has a component beyond
// SAFE_MAGNITUDE: only the 8-bit walk checks its sums for overflow.
template <class Admit>
Status knn_search(const HnswIndex& index, std::span<const float> given_query, std::uint64_t k, std::uint64_t ef,
                  Admit&& admit, std::vector<Candidate>& out) {
  if (index.walk_bits() != 0 && !index.has_huge_nodes() && search_detail::within_safe_magnitude(given_query)) {
    return knn_search_scored(index, given_query, k, ef, std::forward<Admit>(admit), out,
                             [&](SearchScratch& scratch, std::span<const float> query, float qnorm) {
                               scratch.offset.resize(query.size());
                               scratch.planes.resize(BinaryScorer::query_plane_words(query.size()));
                               return BinaryScorer(index.binary_view(), index.config().distance_metric, query,
                                                   qnorm, scratch.offset.data(), scratch.planes.data());
                             });
  }
  return knn_search_scored(index, given_query, k, ef, std::forward<Admit>(admit), out,
                           [&](SearchScratch&, std::span<const float> query, float qnorm) {
                             return WalkScorer(index, query, qnorm);
                           });
}

}  // namespace karvalith
