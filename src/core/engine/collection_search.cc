#include "core/engine/collection_search.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "core/bm25/scorer.h"
#include "core/common/thread_scratch.h"
#include "core/engine/passing_set.h"
#include "core/engine/slot_set.h"
#include "core/hnsw/scan.h"
#include "core/hnsw/search.h"
#include "core/search/filter.h"
#include "core/search/hybrid.h"

namespace karvalith {

namespace {

// Graph hits of the calling thread's current search; reused so that the
// candidate list costs no allocation once it has grown. Never held across
// two searches.
std::vector<Candidate>& candidate_buffer() {
  struct Hits;
  return thread_scratch<std::vector<Candidate>, Hits>();
}

Status check_embedding(const CollectionState& state, std::span<const float> query) {
  if (!state.keeps_vectors()) {
    return make_error(ErrorKind::InvalidInput, "collection '" + state.name +
                                                   "' has dimension 0 and keeps no vectors: search it by "
                                                   "query_text alone");
  }
  if (query.size() != state.dimension) {
    return make_error(ErrorKind::InvalidInput, "query_embedding has " + std::to_string(query.size()) +
                                                   " values but collection '" + state.name + "' has dimension " +
                                                   std::to_string(state.dimension));
  }
  // An exponent of all ones is an infinity or a NaN: one pass of integer
  // operations that vectorizes, and the index looked for only on failure.
  std::uint32_t special = 0;
  for (const float x : query) special |= ~std::bit_cast<std::uint32_t>(x) & 0x7F800000u ? 0u : 1u;
  if (special == 0) return {};
  for (std::size_t i = 0; i < query.size(); ++i) {
    if (!std::isfinite(query[i])) {
      return make_error(ErrorKind::InvalidInput,
                        "query_embedding has a non-finite value at index " + std::to_string(i));
    }
  }
  return {};
}

// The live document behind slot `id`, decoded, or null when the slot is out
// of range or its document is gone.
DocumentPtr resolve(const CollectionState& state, std::uint32_t id) {
  if (id >= state.internal_to_uuid.size() || !state.documents.contains(id)) return nullptr;
  return std::make_shared<const Document>(state.documents.document(id, state.internal_to_uuid[id]));
}

// Requests the memory resolve() reads for each of `slots` (see
// DocumentStore::prefetch_offset): a result list's documents lie scattered
// over the arena, and decoded one by one each waits on its own misses.
template <class Slots, class SlotOf>
void prefetch_documents(const CollectionState& state, const Slots& hits, SlotOf slot_of) {
  for (const auto& hit : hits) {
    const std::uint32_t slot = slot_of(hit);
    state.documents.prefetch_offset(slot);
    if (slot < state.internal_to_uuid.size()) __builtin_prefetch(state.internal_to_uuid.data() + slot);
  }
  for (const auto& hit : hits) state.documents.prefetch_record(slot_of(hit));
}

bool below_threshold(std::optional<float> min_similarity, float score) {
  return min_similarity && *min_similarity > score;  // a NaN score is never below
}

// Slots of an exact scan; reused like the candidate buffer.
std::vector<std::uint32_t>& slot_buffer() {
  struct ScannedSlots;
  return thread_scratch<std::vector<std::uint32_t>, ScannedSlots>();
}

// Scores every passing graph node (scan_nearest) and keeps the k closest,
// ascending.
void exact_nearest(const HnswIndex& index, std::span<const float> query, std::uint64_t k, const PassingSet& passing,
                   std::vector<Candidate>& out) {
  out.clear();
  if (k == 0 || passing.count == 0) return;
  std::vector<std::uint32_t>& slots = slot_buffer();
  list_slots(passing.words, index.deleted_words(), index.node_count(), passing.count, slots);
  scan_nearest(index, query, k, slots, out);
}

// The k nearest admitted nodes of the request's embedding, into the thread's
// candidate buffer. With a filter, few passing documents are all scored;
// many are found by walking the graph with the passing set as admission.
Result<std::span<const Candidate>> nearest(const CollectionState& state, const SearchRequest& request,
                                           const PassingSet* passing) {
  const HnswIndex& index = state.hnsw;
  const std::uint64_t ef = request.ef.value_or(index.config().ef_search);
  std::vector<Candidate>& hits = candidate_buffer();
  Status walked;
  if (passing == nullptr) {
    walked = knn_search(index, *request.embedding, request.k, ef, AdmitAll{}, hits);
  } else if (passing->count <
             request.exact_threshold.value_or(default_exact_threshold(state.metadata_index.live_count()))) {
    exact_nearest(index, *request.embedding, request.k, *passing, hits);
  } else {
    const std::uint64_t beam = filtered_walk_beam(ef, request.k, passing->count, state.metadata_index.live_count());
    walked = knn_search(index, *request.embedding, request.k, beam, *passing, hits);
  }
  if (!walked) return std::unexpected(std::move(walked.error()));
  return std::span<const Candidate>(hits);
}

// The k best BM25 hits as (slot, score); with a filter, the k best among the
// documents that pass it; with supplied figures, scored with those.
Result<std::vector<std::pair<std::uint32_t, float>>> keyword_hits(const CollectionState& state,
                                                                  const SearchRequest& request,
                                                                  const PassingSet* passing) {
  const InvertedIndex& index = state.inverted_index;
  const std::string& text = *request.text;
  if (passing == nullptr) {
    if (request.bm25_statistics) return bm25_search(index, text, request.k, *request.bm25_statistics);
    return bm25_search(index, text, request.k);
  }
  if (request.bm25_statistics) return bm25_search(index, text, request.k, *request.bm25_statistics, *passing);
  return bm25_search(index, text, request.k, *passing);
}

Result<std::vector<ScoredId>> keyword_list(const CollectionState& state, const SearchRequest& request,
                                           const PassingSet* passing) {
  auto hits = keyword_hits(state, request, passing);
  if (!hits) return std::unexpected(std::move(hits.error()));
  std::vector<ScoredId> out;
  out.reserve(hits->size());
  for (const auto& [id, score] : *hits) out.push_back({id, score});
  return out;
}

std::vector<ScoredDocument> vector_results(const CollectionState& state, std::span<const Candidate> hits,
                                           std::optional<float> min_similarity) {
  std::vector<ScoredDocument> out;
  out.reserve(hits.size());
  prefetch_documents(state, hits, [](const Candidate& hit) { return hit.id; });
  for (const Candidate& hit : hits) {
    const float score = 1.0f - hit.distance;
    if (below_threshold(min_similarity, score)) continue;
    if (DocumentPtr document = resolve(state, hit.id)) out.push_back({std::move(document), score});
  }
  return out;
}

Result<std::vector<ScoredDocument>> keyword_results(const CollectionState& state, const SearchRequest& request,
                                                    const PassingSet* passing) {
  // No threshold applies to BM25 scores.
  auto hits = keyword_hits(state, request, passing);
  if (!hits) return std::unexpected(std::move(hits.error()));
  std::vector<ScoredDocument> out;
  out.reserve(hits->size());
  prefetch_documents(state, *hits, [](const auto& hit) { return hit.first; });
  for (const auto& [id, score] : *hits) {
    if (DocumentPtr document = resolve(state, id)) out.push_back({std::move(document), score});
  }
  return out;
}

Result<std::vector<ScoredDocument>> hybrid_results(const CollectionState& state, const SearchRequest& request,
                                                   const PassingSet* passing) {
  auto hits = nearest(state, request, passing);
  if (!hits) return std::unexpected(std::move(hits.error()));
  std::vector<ScoredId> vector_list;
  vector_list.reserve(hits->size());
  for (const Candidate& hit : *hits) vector_list.push_back({hit.id, 1.0f - hit.distance});
  auto keywords = keyword_list(state, request, passing);
  if (!keywords) return std::unexpected(std::move(keywords.error()));
  const std::vector<ScoredId> fused = request.fusion == FusionMethod::Linear
                                          ? linear_fusion(vector_list, *keywords, request.k, request.alpha)
                                          : rrf_fusion(vector_list, *keywords, request.k);
  std::vector<ScoredDocument> out;
  out.reserve(fused.size());
  prefetch_documents(state, fused, [](const ScoredId& hit) { return hit.id; });
  for (const ScoredId& hit : fused) {
    if (below_threshold(request.min_similarity, hit.score)) continue;
    if (DocumentPtr document = resolve(state, hit.id)) out.push_back({std::move(document), hit.score});
  }
  return out;
}

}  // namespace

Status check_query_embedding(const Collection& collection, std::span<const float> query) {
  return check_embedding(*collection.state().read(), query);
}

std::uint64_t default_exact_threshold(std::uint64_t live_documents) {
  return static_cast<std::uint64_t>(EXACT_THRESHOLD_FACTOR * std::sqrt(static_cast<double>(live_documents)));
}

std::uint64_t filtered_walk_beam(std::uint64_t ef, std::uint64_t k, std::uint64_t passing, std::uint64_t live) {
  // The beam counts admitted nodes: scaled by the passing share, the walk
  // covers about the neighbourhood an unfiltered walk of breadth ef covers.
  std::uint64_t scaled = ef;
  if (passing < live) {
    const double share = static_cast<double>(passing) / static_cast<double>(live);
    const double beam = std::ceil(static_cast<double>(ef) * share);
    if (beam < static_cast<double>(ef)) scaled = static_cast<std::uint64_t>(beam);
  }
  // The floor min(ef, 2k) keeps the beam wide enough to find k when few pass.
  const std::uint64_t floor = k > ef / 2 ? ef : 2 * k;
  return std::max(scaled, floor);
}

Result<std::vector<ScoredDocument>> search(const Collection& collection, const SearchRequest& request) {
  if (Status asked = require_query(request.embedding.has_value(), request.text.has_value()); !asked) {
    return std::unexpected(std::move(asked.error()));
  }
  if (request.bm25_statistics && !request.text) {
    return make_error(ErrorKind::InvalidInput, "bm25_statistics requires query_text");
  }
  if (request.filter) {
    if (Status valid = check_filter(*request.filter); !valid) return std::unexpected(std::move(valid.error()));
  }
  auto state = collection.state().read();
  if (request.embedding) {
    if (Status valid = check_embedding(*state, *request.embedding); !valid) {
      return std::unexpected(std::move(valid.error()));
    }
  }
  std::optional<PassingSet> passing;
  if (request.filter) passing = passing_set(*state, *request.filter);
  const PassingSet* admitted = passing ? &*passing : nullptr;
  if (request.embedding && request.text) return hybrid_results(*state, request, admitted);
  if (request.text) return keyword_results(*state, request, admitted);
  auto hits = nearest(*state, request, admitted);
  if (!hits) return std::unexpected(std::move(hits.error()));
  return vector_results(*state, *hits, request.min_similarity);
}

Bm25Statistics keyword_statistics(const Collection& collection, std::string_view text) {
  auto state = collection.state().read();
  return bm25_statistics(state->inverted_index, text);
}

}  // namespace karvalith
