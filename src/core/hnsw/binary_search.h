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
  return knn_search_scored(
      index, given_query, k, ef, std::forward<Admit>(admit), out,
      [&](SearchScratch& scratch, std::span<const float> query, float qnorm) {
        scratch.offset.resize(query.size());
        scratch.planes.resize(BinaryScorer::query_plane_words(query.size()));
        return BinaryScorer(rows, index.config().distance_metric, query, qnorm, scratch.offset.data(),
                            scratch.planes.data());
      },
      BinaryLinks{&rows});
}

}  // namespace karvalith
