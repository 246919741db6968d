#include "core/engine/filtered_walk.h"

#include <algorithm>

#include "core/hnsw/query_scorer.h"
#include "core/hnsw/search.h"
#include "core/hnsw/thread_context.h"
#include "core/hnsw/total_order.h"
#include "core/quantization/pq.h"
#include "core/search/filter.h"

namespace karvalith {

namespace {

std::uint64_t saturating_double(std::uint64_t x) { return x > UINT64_MAX / 2 ? UINT64_MAX : 2 * x; }

std::uint64_t saturating_quadruple(std::uint64_t x) { return x > UINT64_MAX / 4 ? UINT64_MAX : 4 * x; }

// Sum of squares in f32, index order, starting from -0.0 (so an empty query
// has norm -0.0).
float query_squared_norm(std::span<const float> query) {
  float sum = -0.0f;
  for (const float x : query) sum += x * x;
  return sum;
}

}  // namespace

Status filtered_walk(const CollectionState& state, std::span<const float> query, std::uint64_t k,
                     const MetadataFilter& filter, std::vector<Candidate>& out) {
  out.clear();
  const HnswIndex& index = state.hnsw;
  const std::optional<std::uint32_t> entry_point = index.entry_point();
  if (!entry_point || k == 0) return {};

  auto lease = borrow_search_context();
  if (!lease) return std::unexpected(std::move(lease.error()));
  VisitedSet& visited = lease->visited();
  SearchScratch& scratch = lease->search();
  visited.grow(index.node_count());

  const float qnorm = query_squared_norm(query);
  // The product-quantization table guides the walk only; it is built into
  // the thread's scratch, so steady-state searches allocate nothing.
  const float* table = nullptr;
  if (index.pq_usable()) {
    build_distance_table(*index.pq_codebook(), query, index.config().distance_metric, scratch.pq_table);
    if (!scratch.pq_table.empty()) table = scratch.pq_table.data();
  }

  // Greedy descent admitting every live node. Layers above the highest list
  // cannot move the entry point, so they are skipped.
  std::uint32_t ep = *entry_point;
  for (std::uint64_t layer = std::min(index.max_level(), index.top_list_layer()); layer >= 1; --layer) {
    const std::uint32_t entry = ep;
    if (walk_layer(index, scratch, visited, query, qnorm, table, {&entry, 1}, 1, layer, AdmitAll{}) > 0) {
      ep = scratch.results[0].id;
    }
  }

  // Layer 0: only matching documents enter the results; filtered-out and
  // deleted nodes are still walked through, keeping the graph connected.
  const auto admit = [&](std::uint32_t node) {
    return matches_filter(state.internal_to_uuid, state.documents, filter, node);
  };
  std::uint64_t ef = std::max(index.config().ef_search, k);
  const std::uint64_t cap = std::min<std::uint64_t>(index.node_count(), saturating_quadruple(ef));
  for (;;) {
    const std::size_t admitted = walk_layer(index, scratch, visited, query, qnorm, table, {&ep, 1}, ef, 0, admit);
    if (ef >= cap || admitted >= k) break;
    ef = std::min(saturating_double(ef), cap);
  }

  // Re-rank every admitted node on the stored vectors.
  std::vector<Candidate>& results = scratch.results;
  const std::size_t count = results.size();
  const QueryScorer stored_distance(index, query, qnorm, nullptr);
  for (std::size_t i = 0; i < count; ++i) {
    if (i + 1 < count) stored_distance.prefetch(results[i + 1].id);
    results[i].distance = stored_distance(results[i].id);
  }
  sort_by_total_order(results);

  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(k, count));
  out.assign(results.begin(), results.begin() + static_cast<std::ptrdiff_t>(keep));
  return {};
}

}  // namespace karvalith
