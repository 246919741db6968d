// The k-nearest-neighbour query walked on one-bit rows: knn_search (search.h)
// with every walk scored by BinaryScorer, then every admitted node of the
// layer-0 beam re-scored on the graph's stored vectors. The beam must be wider
// than for 8-bit walks (the estimates are coarser); what it returns is ranked
// by the same distances as knn_search's.
#pragma once

#include "core/hnsw/binary_rows.h"
#include "core/hnsw/binary_scorer.h"
#include "core/hnsw/search.h"

namespace karvalith {

template <class Admit>
Status knn_search_binary(const HnswIndex& index, const BinaryRows& rows, std::span<const float> given_query,
                         std::uint64_t k, std::uint64_t ef, Admit&& admit, std::vector<Candidate>& out) {
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
  scratch.offset.resize(query.size());
  scratch.planes.resize(BinaryScorer::query_plane_words(query.size()));
  const BinaryScorer estimate(rows, index.config().distance_metric, query, qnorm, scratch.offset.data(),
                              scratch.planes.data());

  const std::uint32_t ep = greedy_descent_scored(index, scratch, visited, estimate, *entry_point,
                                                 index.max_level(), 0, LiveAnd{index, AdmitAll{}});

  const LiveAnd live_and_admitted{index, std::forward<Admit>(admit)};
  std::uint64_t beam = std::max(ef, k);
  const std::uint64_t cap = std::min<std::uint64_t>(search_detail::saturating_mul(beam, 4), index.node_count());
  for (;;) {
    const std::size_t admitted =
        walk_layer_scored(index, scratch, visited, estimate, {&ep, 1}, beam, 0, live_and_admitted,
                          BinaryLinks{&rows});
    if (admitted >= k || beam >= cap) break;
    beam = std::min(search_detail::saturating_mul(beam, 2), cap);
  }

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

}  // namespace karvalith
