#include "core/engine/collection_search.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "core/bm25/scorer.h"
#include "core/hnsw/candidate.h"
#include "core/search/filter.h"
#include "core/search/hybrid.h"
#include "core/engine/filtered_walk.h"

namespace karvalith {

namespace {

// Graph hits of the calling thread's current search; reused so that the
// candidate list costs no allocation once it has grown. Never held across
// two searches.
std::vector<Candidate>& candidate_buffer() {
  thread_local std::vector<Candidate> buffer;
  return buffer;
}

// The live document behind slot `id`, or null when the slot is out of range
// or its document is gone.
const DocumentPtr* resolve(const CollectionState& state, std::uint32_t id) {
  if (id >= state.internal_to_uuid.size() || state.documents.empty()) return nullptr;
  auto found = state.documents.find(state.internal_to_uuid[id]);
  return found == state.documents.end() ? nullptr : &found->second;
}

bool below_threshold(std::optional<float> min_similarity, float score) {
  return min_similarity && *min_similarity > score;  // a NaN score is never below
}

// Vector hits as documents scored 1 - distance, threshold applied.
std::vector<ScoredDocument> documents_of(const CollectionState& state, std::span<const Candidate> hits,
                                         std::optional<float> min_similarity) {
  std::vector<ScoredDocument> out;
  out.reserve(hits.size());
  for (const Candidate& hit : hits) {
    const float score = 1.0f - hit.distance;
    if (below_threshold(min_similarity, score)) continue;
    if (const DocumentPtr* document = resolve(state, hit.id)) out.push_back({*document, score});
  }
  return out;
}

std::vector<ScoredId> fuse(std::span<const ScoredId> vector_list, std::span<const ScoredId> keyword_list,
                           std::uint64_t k, float alpha, std::string_view fusion_method) {
  if (fusion_method == "linear") return linear_fusion(vector_list, keyword_list, k, alpha);
  return rrf_fusion(vector_list, keyword_list, k);
}

// Fused hits as documents, threshold applied to the fused score.
std::vector<ScoredDocument> documents_of(const CollectionState& state, std::span<const ScoredId> fused,
                                         std::optional<float> min_similarity) {
  std::vector<ScoredDocument> out;
  out.reserve(fused.size());
  for (const ScoredId& hit : fused) {
    if (below_threshold(min_similarity, hit.score)) continue;
    if (const DocumentPtr* document = resolve(state, hit.id)) out.push_back({*document, hit.score});
  }
  return out;
}

// BM25 hits as (slot, score), keeping only those `keep` accepts.
template <class Keep>
std::vector<ScoredId> keyword_list(const CollectionState& state, std::string_view text, std::uint64_t k,
                                   Keep&& keep) {
  const auto hits = bm25_search(state.inverted_index, text, k);
  std::vector<ScoredId> out;
  out.reserve(hits.size());
  for (const auto& [id, score] : hits) {
    if (keep(id)) out.push_back({id, score});
  }
  return out;
}

}  // namespace

Status validate_query(const Collection& collection, std::span<const float> query) {
  auto state = collection.state().read();
  if (query.size() != state->dimension) {
    return make_error(ErrorKind::InvalidInput, "query_embedding has " + std::to_string(query.size()) +
                                                   " values but collection '" + state->name + "' has dimension " +
                                                   std::to_string(state->dimension));
  }
  for (std::size_t i = 0; i < query.size(); ++i) {
    if (!std::isfinite(query[i])) {
      return make_error(ErrorKind::InvalidInput,
                        "query_embedding has a non-finite value at index " + std::to_string(i));
    }
  }
  return {};
}

Result<std::vector<ScoredDocument>> vector_search(const Collection& collection, std::span<const float> query,
                                                  std::uint64_t k, std::optional<float> min_similarity) {
  auto state = collection.state().read();
  std::vector<Candidate>& hits = candidate_buffer();
  Status searched = state->hnsw.knn_search_into(query, k, hits);
  if (!searched) return std::unexpected(std::move(searched.error()));
  return documents_of(*state, hits, min_similarity);
}

Result<std::vector<ScoredDocument>> vector_search_filtered(const Collection& collection,
                                                           std::span<const float> query, std::uint64_t k,
                                                           std::optional<float> min_similarity,
                                                           const MetadataFilter& filter) {
  auto state = collection.state().read();
  std::vector<Candidate>& hits = candidate_buffer();
  Status walked = filtered_walk(*state, query, k, filter, hits);
  if (!walked) return std::unexpected(std::move(walked.error()));
  return documents_of(*state, hits, min_similarity);
}

Result<std::vector<ScoredId>> filtered_candidate_list(const CollectionState& state, std::span<const float> query,
                                                      std::uint64_t k, const MetadataFilter& filter) {
  std::vector<Candidate>& hits = candidate_buffer();
  Status walked = filtered_walk(state, query, k, filter, hits);
  if (!walked) return std::unexpected(std::move(walked.error()));
  std::vector<ScoredId> out;
  out.reserve(hits.size());
  for (const Candidate& hit : hits) out.push_back({hit.id, 1.0f - hit.distance});
  return out;
}

std::vector<ScoredDocument> keyword_search(const Collection& collection, std::string_view text, std::uint64_t k) {
  auto state = collection.state().read();
  const auto hits = bm25_search(state->inverted_index, text, k);
  std::vector<ScoredDocument> out;
  out.reserve(hits.size());
  for (const auto& [id, score] : hits) {
    if (const DocumentPtr* document = resolve(*state, id)) out.push_back({*document, score});
  }
  return out;
}

Result<std::vector<ScoredDocument>> hybrid_search(const Collection& collection, std::span<const float> query,
                                                  std::string_view text, std::uint64_t k,
                                                  std::optional<float> min_similarity, float alpha,
                                                  std::string_view fusion_method, const MetadataFilter* filter) {
  if (filter != nullptr) {
    return hybrid_search_filtered(collection, query, text, k, min_similarity, alpha, fusion_method, *filter);
  }
  auto state = collection.state().read();
  std::vector<Candidate>& hits = candidate_buffer();
  Status searched = state->hnsw.knn_search_into(query, k, hits);
  if (!searched) return std::unexpected(std::move(searched.error()));
  std::vector<ScoredId> vector_list;
  vector_list.reserve(hits.size());
  for (const Candidate& hit : hits) {
    if (!state->hnsw.is_deleted(hit.id)) vector_list.push_back({hit.id, 1.0f - hit.distance});
  }
  const std::vector<ScoredId> keywords = keyword_list(*state, text, k, [](std::uint32_t) { return true; });
  const std::vector<ScoredId> fused = fuse(vector_list, keywords, k, alpha, fusion_method);
  return documents_of(*state, fused, min_similarity);
}

Result<std::vector<ScoredDocument>> hybrid_search_filtered(const Collection& collection,
                                                           std::span<const float> query, std::string_view text,
                                                           std::uint64_t k, std::optional<float> min_similarity,
                                                           float alpha, std::string_view fusion_method,
                                                           const MetadataFilter& filter) {
  auto state = collection.state().read();
  Result<std::vector<ScoredId>> vector_list = filtered_candidate_list(*state, query, k, filter);
  if (!vector_list) return std::unexpected(std::move(vector_list.error()));
  const std::vector<ScoredId> keywords = keyword_list(*state, text, k, [&](std::uint32_t id) {
    return matches_filter(state->internal_to_uuid, state->documents, filter, id);
  });
  const std::vector<ScoredId> fused = fuse(*vector_list, keywords, k, alpha, fusion_method);
  return documents_of(*state, fused, min_similarity);
}

}  // namespace karvalith
