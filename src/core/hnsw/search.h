// Best-first walks over one layer of the graph and the distance of a node to
// a query. knn_search (HnswIndex member, search.cc) is built on these, and the
// collection's filtered search reuses walk_layer with its own admission test.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/hnsw/candidate.h"
#include "core/hnsw/candidate_heap.h"
#include "core/hnsw/distance.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/query_scorer.h"
#include "core/hnsw/thread_context.h"
#include "core/hnsw/visited.h"

namespace karvalith {

// Distance computations counted by the searches of the calling thread.
struct SearchStats {
  std::uint64_t searches = 0;
  std::uint64_t distance_computations = 0;
};
SearchStats& thread_search_stats();

// Distance of node `id` to the query: a product-quantization table sum when
// `table` is given (M * 256 entries), else the exact distance to the raw
// vector when raw vectors are stored, else the asymmetric distance to the
// quantized vector with the query's squared norm `qnorm`.
inline float compute_distance(const HnswIndex& index, std::span<const float> query, std::uint32_t id,
                              const float* table, float qnorm) {
  if (table != nullptr) {
    const std::uint64_t m = index.pq_subspaces();
    const std::uint8_t* codes = index.pq_codes(id).data();
    float sum = 0.0f;
    for (std::uint64_t s = 0; s < m; ++s) sum += table[s * 256 + codes[s]];
    return sum;
  }
  const DistanceMetric metric = index.config().distance_metric;
  if (index.has_raw_vectors()) return distance_exact(metric, query, index.raw_vector(id));
  return distance_asym_prenorm(metric, query, index.quantized_view(id), qnorm);
}

// Brings the data compute_distance will read for `id` towards the cache
// (same pattern as QueryScorer::prefetch).
inline void prefetch_node(const HnswIndex& index, std::uint32_t id, const float* table) {
  if (table != nullptr) {
    __builtin_prefetch(index.pq_codes(id).data());
    return;
  }
  const std::uint64_t dim = index.dimension();
  if (index.has_raw_vectors()) {
    const char* raw = reinterpret_cast<const char*>(index.raw_vector(id).data());
    __builtin_prefetch(raw);
    if (dim >= 17) __builtin_prefetch(raw + 64);
    return;
  }
  const std::uint8_t* codes = index.codes_of(id);
  __builtin_prefetch(codes);
  if (dim >= 65) __builtin_prefetch(codes + 64);
  __builtin_prefetch(index.min_of(id));
}

struct AdmitAll {
  bool operator()(std::uint32_t) const { return true; }
};

// One best-first walk on `layer` from `entries` with beam width `ef`.
// A node enters the results only when it is not deleted and admit(node)
// holds; admit is evaluated only for such nodes that passed the distance
// test, at most once per node. Deleted and unadmitted nodes are still
// explored. Leaves the results in scratch.results sorted by ascending
// distance and returns their number.
// Precondition: `visited` covers every node id (grow it to node_count first).
template <class Admit>
std::size_t walk_layer(const HnswIndex& index, SearchScratch& scratch, VisitedSet& visited,
                       std::span<const float> query, float qnorm, const float* table,
                       std::span<const std::uint32_t> entries, std::uint64_t ef, std::uint64_t layer,
                       Admit&& admit) {
  visited.next_epoch();
  auto& candidates = scratch.candidates;
  auto& results = scratch.results;
  candidates.clear();
  results.clear();
  const std::uint64_t nodes = index.node_count();
  candidates.reserve(static_cast<std::size_t>(std::min(ef > UINT64_MAX / 2 ? UINT64_MAX : 2 * ef, nodes)));
  results.reserve(static_cast<std::size_t>(std::min(ef, nodes) + 1));

  const QueryScorer distance_to(index, query, qnorm, table);
  float bound = LARGEST_F32;
  std::uint64_t computed = 0;

  for (const std::uint32_t e : entries) {
    if (!visited.visit(e)) continue;
    const float d = distance_to(e);
    ++computed;
    near_heap_push(candidates, Candidate{d, e});
    if (!index.is_deleted(e) && admit(e)) {
      far_heap_push(results, Candidate{d, e});
      if (results.size() >= ef) bound = results.front().distance;
    }
  }

  while (!candidates.empty()) {
    const Candidate current = candidates.front();
    if (results.size() >= ef && current.distance > bound) break;
    near_heap_pop(candidates);

    const std::span<const std::uint32_t> links = index.neighbors(current.id, layer);
    const std::size_t count = links.size();
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t n = links[i];
      if (!visited.visit(n)) continue;
      if (i + 1 < count) distance_to.prefetch(links[i + 1]);
      const float d = distance_to(n);
      ++computed;
      if (results.size() >= ef && !(d < bound)) continue;
      near_heap_push(candidates, Candidate{d, n});
      if (index.is_deleted(n) || !admit(n)) continue;
      far_heap_push(results, Candidate{d, n});
      if (results.size() > ef) far_heap_pop(results);
      bound = results.empty() ? LARGEST_F32 : results.front().distance;
    }
  }

  far_heap_sort(results);
  scratch.distance_count += computed;
  return results.size();
}

// The plain layer search: walk_layer admitting every live node.
inline std::size_t search_layer(const HnswIndex& index, SearchScratch& scratch, VisitedSet& visited,
                                std::span<const float> query, float qnorm,
                                std::span<const std::uint32_t> entries, std::uint64_t ef,
                                std::uint64_t layer, const float* table = nullptr) {
  return walk_layer(index, scratch, visited, query, qnorm, table, entries, ef, layer, AdmitAll{});
}

}  // namespace karvalith
