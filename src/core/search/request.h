// One search as the caller asks for it: an embedding, a text or both, how
// many results, the thresholds and weights, an optional metadata filter and
// an optional per-query search breadth. The engine's single search entry
// (engine/collection_search.h) answers it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bm25/scorer.h"
#include "core/common/result.h"
#include "core/search/filter_types.h"

namespace karvalith {

enum class FusionMethod : std::uint8_t { ReciprocalRank, Linear };

// Exactly "linear" selects linear fusion; any other text, "rrf" included,
// selects reciprocal-rank fusion. No text is refused.
constexpr FusionMethod fusion_method_from_text(std::string_view text) {
  return text == "linear" ? FusionMethod::Linear : FusionMethod::ReciprocalRank;
}

inline constexpr std::uint64_t DEFAULT_K = 10;
inline constexpr float DEFAULT_ALPHA = 0.7f;  // the f32 nearest 0.7

struct SearchRequest {
  std::optional<std::vector<float>> embedding;  // vector side, when given
  std::optional<std::string> text;              // keyword side, when given
  std::uint64_t k = DEFAULT_K;
  std::optional<float> min_similarity;  // drops results scoring below it
  float alpha = DEFAULT_ALPHA;          // linear fusion's weight of the vector side
  FusionMethod fusion = FusionMethod::ReciprocalRank;
  std::optional<MetadataFilter> filter;
  // Search breadth of this query; the collection's ef_search when absent.
  // The breadth used is max(ef, k).
  std::optional<std::uint64_t> ef;
  // Keyword figures of a larger document set this collection is part of
  // (summed keyword_statistics of its parts); BM25 then scores with them.
  // Requires a text.
  std::optional<Bm25Statistics> bm25_statistics;
  // With a filter: when fewer than this many documents pass it, every one
  // of them is scored instead of walking the graph. The engine's default
  // when absent; 0 always walks.
  std::optional<std::uint64_t> exact_threshold;
};

// ErrorKind::InvalidInput "at least one of query_embedding or query_text is
// required" unless at least one side is given.
Status require_query(bool has_embedding, bool has_text);

}  // namespace karvalith
