// Queries over a collection: nearest-neighbour search (plain, or restricted by
// a metadata filter with a widening beam), BM25 keyword search, and hybrid
// search fusing both rankings.
//
// Every search holds the collection's shared lock for all of its index work
// and returns shared document references, so callers build their result
// objects after the lock is gone; a document deleted later stays intact in
// the results. Scores are higher-is-better: 1 - distance for vector hits, the
// BM25 score for keyword hits, the fused score for hybrid hits.
//
// k may be anything up to 2^64 - 1: every buffer is bounded by the node count
// or by the lengths of the lists involved, never by k alone. The query length
// is not checked by the searches themselves; callers run validate_query first.
// Failures are internal faults only (ErrorKind::Internal), for example the
// thread's search marks already being in use.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/common/result.h"
#include "core/search/filter_types.h"
#include "core/search/types.h"
#include "core/engine/collection.h"

namespace karvalith {

// Refuses (ErrorKind::InvalidInput) a query embedding whose length is not the
// collection's dimension, or that holds a NaN or infinite component.
Status validate_query(const Collection& collection, std::span<const float> query);

// The k nearest live documents, best first. min_similarity, when given, drops
// hits scoring below it (a NaN score is kept). Hits whose document is gone are
// dropped.
Result<std::vector<ScoredDocument>> vector_search(const Collection& collection, std::span<const float> query,
                                                  std::uint64_t k, std::optional<float> min_similarity);

// Like vector_search, but only documents passing `filter` are returned. The
// layer-0 walk admits matching live nodes only and widens its beam (doubling
// up to min(node_count, 4 * max(ef_search, k))) while fewer than k match.
// min_similarity applies after the cut to k.
Result<std::vector<ScoredDocument>> vector_search_filtered(const Collection& collection,
                                                           std::span<const float> query, std::uint64_t k,
                                                           std::optional<float> min_similarity,
                                                           const MetadataFilter& filter);

// The vector side of filtered hybrid search: the at most k best nodes passing
// the filter as (node id, 1 - distance), best first, re-ranked on the stored
// vectors. No min_similarity, no document resolution. The caller holds the
// collection's lock (shared or exclusive).
Result<std::vector<ScoredId>> filtered_candidate_list(const CollectionState& state, std::span<const float> query,
                                                      std::uint64_t k, const MetadataFilter& filter);

// The at most k best documents for `text` by BM25 score. Applies no filter
// and no threshold.
std::vector<ScoredDocument> keyword_search(const Collection& collection, std::string_view text, std::uint64_t k);

// Fuses the k nearest live nodes and the k best BM25 hits: linear fusion
// weighted by alpha when fusion_method is exactly "linear", reciprocal-rank
// fusion for every other value. min_similarity, when given, drops fused
// scores below it. A non-null filter restricts both lists (see
// hybrid_search_filtered).
Result<std::vector<ScoredDocument>> hybrid_search(const Collection& collection, std::span<const float> query,
                                                  std::string_view text, std::uint64_t k,
                                                  std::optional<float> min_similarity, float alpha,
                                                  std::string_view fusion_method, const MetadataFilter* filter);

// Hybrid search whose vector list is filtered_candidate_list and whose keyword
// list keeps only the hits passing the filter, in their order.
Result<std::vector<ScoredDocument>> hybrid_search_filtered(const Collection& collection,
                                                           std::span<const float> query, std::string_view text,
                                                           std::uint64_t k, std::optional<float> min_similarity,
                                                           float alpha, std::string_view fusion_method,
                                                           const MetadataFilter& filter);

}  // namespace karvalith
