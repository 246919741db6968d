// BM25 ranking over an InvertedIndex. Runs under the collection's shared lock;
// any number of searches may run at once (scratch buffers are per thread).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bm25/inverted_index.h"
#include "core/common/function_ref.h"
#include "core/common/result.h"

namespace karvalith {

// The at most `k` best documents for `query` as (doc_id, score), highest
// score first. Every query term occurrence adds its BM25 part (k1 = 1.2,
// b = 0.75, f32 arithmetic), so a repeated query term counts again. Among
// equal scores the larger ids are kept, and listed first. Empty when the
// query has no terms, the index no documents, or k = 0.
std::vector<std::pair<std::uint32_t, float>> bm25_search(const InvertedIndex& index,
                                                         std::string_view query, std::uint64_t k);

// The same ranking restricted to the documents `admit` accepts: the at most
// k best of those (scores unchanged), not the admitted part of the best k.
std::vector<std::pair<std::uint32_t, float>> bm25_search(const InvertedIndex& index, std::string_view query,
                                                         std::uint64_t k, FunctionRef<bool(std::uint32_t)> admit);

// The collection-wide figures a BM25 score reads: the live document count,
// their total length in terms, and the document frequency of query terms.
// Summing these over indexes that split one document set gives the figures
// of the whole set, so an index scoring with the sums ranks its documents
// exactly as one index holding every document would.
struct Bm25Statistics {
  std::uint64_t doc_count = 0;
  std::uint64_t total_length = 0;
  std::map<std::string, std::uint64_t, std::less<>> document_frequencies;
};

// The index's figures for the distinct terms of `query`, tokenized as the
// scorer tokenizes it; a term the index does not hold has frequency 0.
Bm25Statistics bm25_statistics(const InvertedIndex& index, std::string_view query);

// bm25_search scoring with `statistics` in place of the index's own figures
// (same f32 operations in the same order, so equal figures give equal bits).
// ErrorKind::InvalidInput when the figures cannot describe a document set
// holding this index's documents: fewer documents or total length than the
// index has, or a query term the index holds whose frequency is missing,
// below the index's own, or above the document count.
Result<std::vector<std::pair<std::uint32_t, float>>> bm25_search(const InvertedIndex& index, std::string_view query,
                                                                 std::uint64_t k, const Bm25Statistics& statistics);
Result<std::vector<std::pair<std::uint32_t, float>>> bm25_search(const InvertedIndex& index, std::string_view query,
                                                                 std::uint64_t k, const Bm25Statistics& statistics,
                                                                 FunctionRef<bool(std::uint32_t)> admit);

}  // namespace karvalith
