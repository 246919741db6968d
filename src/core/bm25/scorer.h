// BM25 ranking over an InvertedIndex. Runs under the collection's shared lock;
// any number of searches may run at once (scratch buffers are per thread).
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bm25/inverted_index.h"
#include "core/common/function_ref.h"

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

}  // namespace karvalith
