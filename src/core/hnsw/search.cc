#include "core/hnsw/search.h"

#include <algorithm>

#include "core/hnsw/total_order.h"
#include "core/quantization/pq.h"

namespace karvalith {

namespace {

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  return (b != 0 && a > UINT64_MAX / b) ? UINT64_MAX : a * b;
}

}  // namespace

SearchStats& thread_search_stats() {
  thread_local SearchStats stats;
  return stats;
}

Result<std::vector<Candidate>> HnswIndex::knn_search(std::span<const float> query,
                                                     std::uint64_t k) const {
  std::vector<Candidate> out;
  auto status = knn_search_into(query, k, out);
  if (!status) return std::unexpected(std::move(status.error()));
  return out;
}

Status HnswIndex::knn_search_into(std::span<const float> query, std::uint64_t k,
                                  std::vector<Candidate>& out) const {
  out.clear();
  if (!entry_point_ || k == 0) return {};
  assert(query.size() == dimension_);
  if (pq_codebook_ && !pq_usable_) {
    return make_error(ErrorKind::Internal, "product-quantization codebook does not match the index");
  }

  auto lease = borrow_search_context();
  if (!lease) return std::unexpected(std::move(lease.error()));
  VisitedSet& visited = lease->visited();
  SearchScratch& scratch = lease->search();
  visited.grow(node_count_);
  scratch.distance_count = 0;

  const float qnorm = squared_norm(query);
  const float* table = nullptr;
  if (pq_codebook_) {
    build_distance_table(*pq_codebook_, query, config_.distance_metric, scratch.pq_table);
    table = scratch.pq_table.data();
  }

  // Greedy descent. Layers above the highest list cannot move the entry
  // point, so the walk starts at the highest layer that has links.
  std::uint32_t ep = *entry_point_;
  for (std::uint64_t layer = std::min(max_level_, top_list_layer_); layer >= 1; --layer) {
    const std::uint32_t entry = ep;
    if (walk_layer(*this, scratch, visited, query, qnorm, table, {&entry, 1}, 1, layer, AdmitAll{}) > 0) {
      ep = scratch.results[0].id;
    }
  }

  // Layer 0, widening the beam while deleted nodes starve the results.
  std::uint64_t ef = std::max(config_.ef_search, k);
  const std::uint64_t cap = std::min<std::uint64_t>(saturating_mul(ef, 4), node_count_);
  for (;;) {
    const std::size_t found =
        walk_layer(*this, scratch, visited, query, qnorm, table, {&ep, 1}, ef, 0, AdmitAll{});
    if (found >= k || ef >= cap) break;
    ef = std::min(saturating_mul(ef, 2), cap);
  }

  // Re-score on the stored vectors (replaces product-quantization estimates).
  auto& results = scratch.results;
  const std::size_t count = results.size();
  const QueryScorer stored_distance(*this, query, qnorm, nullptr);
  for (std::size_t i = 0; i < count; ++i) {
    if (i + 1 < count) stored_distance.prefetch(results[i + 1].id);
    results[i].distance = stored_distance(results[i].id);
  }
  scratch.distance_count += count;
  sort_by_total_order(results);
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(k, count));
  out.assign(results.begin(), results.begin() + keep);

  SearchStats& stats = thread_search_stats();
  ++stats.searches;
  stats.distance_computations += scratch.distance_count;
  return {};
}

}  // namespace karvalith
