// The one search entry of the engine: vector, keyword or hybrid search over a
// collection, as a SearchRequest asks.
//
// A filter is first turned into the set of passing documents by the
// collection's metadata index (must and must_not together). The vector side
// then plans by its size: fewer than exact_threshold passing documents (the
// request's, else default_exact_threshold) are all scored on the stored
// vectors, the true k nearest among them in distance order (ties by slot);
// more are found by the graph walk admitting only passing documents. Its
// beam counts admitted nodes, so it is scaled to the passing share:
// max(ceil(ef * P / N), min(ef, 2k), k), which walks about the neighbourhood
// an unfiltered walk of breadth ef covers (the floor keeps the beam wide
// enough to find k when few pass); it widens while too few are admitted.
// Both paths give the scores the walk's re-scoring gives.
//
// Paths:
//   embedding only  the k nearest live documents (planned as above with a
//                   filter); scores 1 - distance; min_similarity applies
//                   after the cut to k.
//   text only       the k best documents by BM25 (with a filter, the k best
//                   among those that pass it); no threshold applies. With
//                   bm25_statistics the scores use those figures instead of
//                   the collection's own.
//   both            the k nearest and the k best BM25 hits, both among the
//                   documents passing the filter when there is one, fused by
//                   reciprocal-rank or linear fusion (ranks count in those
//                   lists); min_similarity applies to the fused score.
//
// The search holds the collection's shared lock for all of its index work and
// returns shared document references, so callers build their result objects
// after the lock is gone; a document deleted later stays intact in the
// results. k may be anything up to 2^64 - 1: every buffer is bounded by the
// node count or by the lengths of the lists involved, never by k alone.
#pragma once

#include <cstdint>
#include <string_view>
#include <span>
#include <vector>

#include "core/common/result.h"
#include "core/engine/collection.h"
#include "core/search/request.h"
#include "core/search/types.h"

namespace karvalith {

// Passing documents below which a filtered vector search scores them all
// instead of walking the graph, when the request names no threshold:
// EXACT_THRESHOLD_FACTOR * sqrt(live documents). A scan costs in proportion
// to the passing count P, a filtered walk roughly in proportion to N / P, so
// the two meet near a multiple of sqrt(N). Measured on 116,657 sentence
// embeddings (384-d): for a random filter they meet near 25 sqrt(N) (8,500
// documents); for a filter that marks one topic the walk costs 5 to 13 times
// the scan at 10%. Measured again with the scan on grouped integer kernels
// (37,600 synthetic 384-d documents): random filters meet near 17 sqrt(N),
// topic filters near 43 sqrt(N), where the walk's recall is still 0.88-0.90
// against the scan's 0.98. The factor leans to the scan, whose cost does
// not depend on how the filter relates to the query: 40 sqrt(N).
inline constexpr double EXACT_THRESHOLD_FACTOR = 40.0;
std::uint64_t default_exact_threshold(std::uint64_t live_documents);

// The beam of a filtered walk with `passing` of `live` documents admitted:
// max(ceil(ef * passing / live), min(ef, 2k)), never above ef (the walk
// itself keeps it at least k).
std::uint64_t filtered_walk_beam(std::uint64_t ef, std::uint64_t k, std::uint64_t passing, std::uint64_t live);

// ErrorKind::InvalidInput for a request without any query ("at least one of
// query_embedding or query_text is required") and for an embedding whose
// length is not the collection's dimension or that holds a NaN or infinite
// component. Otherwise only internal faults (ErrorKind::Internal).
// With bm25_statistics: InvalidInput also without a text ("bm25_statistics
// requires query_text") and for figures that cannot cover this collection
// (see bm25_search).
Result<std::vector<ScoredDocument>> search(const Collection& collection, const SearchRequest& request);

// The embedding checks of search alone: ErrorKind::InvalidInput for a query
// whose length is not the collection's dimension or that holds a NaN or
// infinite component.
Status check_query_embedding(const Collection& collection, std::span<const float> query);

// The collection's keyword figures for the terms of `text`, which a
// request's bm25_statistics takes once summed over the parts of a document
// set.
Bm25Statistics keyword_statistics(const Collection& collection, std::string_view text);

}  // namespace karvalith
