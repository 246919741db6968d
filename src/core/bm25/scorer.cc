#include "core/bm25/scorer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "core/bm25/tokenizer.h"
#include "core/common/score_map.h"
#include "core/common/thread_scratch.h"

namespace karvalith {
namespace {

// (score, doc_id) as one integer whose unsigned order is score order, then
// id order: the float's bits are mapped to a total order (NaNs included,
// so selection stays well defined on any input).
std::uint64_t rank_key(float score, std::uint32_t doc) {
  std::uint32_t bits = std::bit_cast<std::uint32_t>(score);
  bits = (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
  return (static_cast<std::uint64_t>(bits) << 32) | doc;
}

float key_score(std::uint64_t key) {
  auto bits = static_cast<std::uint32_t>(key >> 32);
  bits = (bits & 0x80000000u) ? (bits & 0x7FFFFFFFu) : ~bits;
  return std::bit_cast<float>(bits);
}

constexpr std::size_t PREFETCH_AHEAD = 16;
constexpr std::size_t KEPT_SCRATCH_BYTES = std::size_t{1} << 20;

struct SearchScratch {
  Tokens tokens;
  ScoreMap scores;
  std::vector<std::uint64_t> heap;
};

// The figures a score reads, either the index's own or supplied ones.
struct CorpusFigures {
  float n;      // document count
  float avgdl;  // total length / document count
};

CorpusFigures own_figures(const InvertedIndex& index) {
  const float n = static_cast<float>(index.doc_count());
  return {n, static_cast<float>(index.total_length()) / n};
}

// Integer to f32 conversion rounds the same way from any integer type, so
// supplied figures equal to an index's own give the same floats.
CorpusFigures supplied_figures(const Bm25Statistics& statistics) {
  const float n = static_cast<float>(statistics.doc_count);
  return {n, static_cast<float>(statistics.total_length) / n};
}

std::uint64_t supplied_frequency(const Bm25Statistics& statistics, std::string_view term) {
  const auto found = statistics.document_frequencies.find(term);
  return found == statistics.document_frequencies.end() ? 0 : found->second;
}

// Adds every query term occurrence's BM25 part to the documents of its
// postings, in query order. Every operation is f32 and in this fixed order,
// so scores are reproducible bit for bit. `frequency(term, postings)` gives
// the document frequency the idf uses.
template <class Frequency>
void accumulate_scores(const InvertedIndex& index, const Tokens& tokens, CorpusFigures figures,
                       Frequency&& frequency, ScoreMap& scores) {
  const float n = figures.n;
  const float avgdl = figures.avgdl;
  const DocLengths& lengths = index.doc_lengths();
  const DocLengths::Packed* length_data = lengths.packed();
  const std::size_t length_count = lengths.packed_size();
  scores.reset(std::min<std::size_t>(index.doc_count(), 256));

  for (std::size_t t = 0; t < tokens.size(); ++t) {
    const PostingList* list = index.find(tokens.term(t));
    if (list == nullptr) continue;
    const float df = static_cast<float>(frequency(tokens.term(t), *list));
    const float idf = std::log((n - df + 0.5f) / (df + 0.5f) + 1.0f);
    const Posting* postings = list->data();
    const std::size_t count = list->size();
    for (std::size_t i = 0; i < count; ++i) {
      // Lengths are read at random positions: fetch a few postings ahead.
      if (i + PREFETCH_AHEAD < count) {
        const std::uint32_t ahead = postings[i + PREFETCH_AHEAD].doc_id;
        if (ahead < length_count) __builtin_prefetch(length_data + ahead);
      }
      const Posting& p = postings[i];
      // A length of 0xFFFF or more is in the side table (rare and predictable);
      // the same u32 either way, so the same float as an unpacked length.
      std::uint32_t length = 0;
      if (p.doc_id < length_count) {
        length = length_data[p.doc_id];
        if (length == DocLengths::OVERFLOW_MARK) [[unlikely]] length = lengths.overflow_length(p.doc_id);
      }
      const float dl = static_cast<float>(length);
      const float tf = static_cast<float>(p.term_frequency);
      const float part = (tf * 2.2f) / (((dl * 0.75f) / avgdl + 0.25f) * 1.2f + tf) * idf;
      scores.add(p.doc_id, part);
    }
  }
}

// Refuses figures that cannot cover this index's documents.
Status check_statistics(const InvertedIndex& index, const Tokens& tokens, const Bm25Statistics& statistics) {
  auto refuse = [](std::string why) {
    return make_error(ErrorKind::InvalidInput, "bm25_statistics do not cover this collection: " + why);
  };
  if (statistics.doc_count < index.doc_count()) {
    return refuse("document_count " + std::to_string(statistics.doc_count) + " is below the collection's " +
                  std::to_string(index.doc_count()));
  }
  if (statistics.total_length < index.total_length()) {
    return refuse("total_length " + std::to_string(statistics.total_length) + " is below the collection's " +
                  std::to_string(index.total_length()));
  }
  for (std::size_t t = 0; t < tokens.size(); ++t) {
    const std::string_view term = tokens.term(t);
    const PostingList* list = index.find(term);
    if (list == nullptr || list->empty()) continue;
    const auto found = statistics.document_frequencies.find(term);
    if (found == statistics.document_frequencies.end()) {
      return refuse("no document frequency for the term '" + std::string(term) + "'");
    }
    if (found->second < list->size() || found->second > statistics.doc_count) {
      return refuse("document frequency " + std::to_string(found->second) + " of the term '" + std::string(term) +
                    "' is outside [" + std::to_string(list->size()) + ", document_count]");
    }
  }
  return {};
}

// The `kept` (>= 1) largest rank keys, largest first, through a min-heap of
// at most `kept` entries: a key below the minimum is dropped at once,
// otherwise it replaces the minimum. These are the survivors of pushing
// every key and evicting the minimum past k; keys are distinct, so ties in
// score fall to the smaller ids.
template <class Admit>
void select_top(const ScoreMap& scores, std::size_t kept, std::vector<std::uint64_t>& heap, Admit&& admit) {
  auto min_on_top = [](std::uint64_t a, std::uint64_t b) { return a > b; };
  heap.clear();
  heap.reserve(kept + 1);
  for (std::size_t i = 0; i < scores.ids().size(); ++i) {
    if (!admit(scores.ids()[i])) continue;
    const std::uint64_t key = rank_key(scores.scores()[i], scores.ids()[i]);
    if (heap.size() < kept) {
      heap.push_back(key);
      std::push_heap(heap.begin(), heap.end(), min_on_top);
    } else if (key > heap.front()) {
      std::pop_heap(heap.begin(), heap.end(), min_on_top);
      heap.back() = key;
      std::push_heap(heap.begin(), heap.end(), min_on_top);
    }
  }
  std::sort_heap(heap.begin(), heap.end(), min_on_top);  // descending
}

using Hits = std::vector<std::pair<std::uint32_t, float>>;

// The best k of the scores accumulated in `scratch`, among those admitted.
template <class Admit>
Hits best_of(SearchScratch& scratch, std::uint64_t k, Admit&& admit) {
  Hits hits;
  // Bounded by the documents scored, never by k alone (k may be 2^64 - 1).
  const std::size_t scored = scratch.scores.ids().size();
  if (scored == 0) return hits;
  const auto kept = static_cast<std::size_t>(std::min<std::uint64_t>(k, scored));
  select_top(scratch.scores, kept, scratch.heap, admit);
  hits.reserve(scratch.heap.size());
  for (std::uint64_t key : scratch.heap) hits.emplace_back(static_cast<std::uint32_t>(key), key_score(key));
  return hits;
}

void release_large_tokens(SearchScratch& scratch) {
  if (scratch.tokens.lowered.capacity() > KEPT_SCRATCH_BYTES) scratch.tokens = Tokens();
}

template <class Admit>
Hits ranked(const InvertedIndex& index, std::string_view query, std::uint64_t k, Admit&& admit) {
  if (k == 0 || index.doc_count() == 0) return {};
  SearchScratch& scratch = thread_scratch<SearchScratch>();
  tokenize_into(query, scratch.tokens);
  accumulate_scores(index, scratch.tokens, own_figures(index),
                    [](std::string_view, const PostingList& list) { return list.size(); }, scratch.scores);
  release_large_tokens(scratch);
  return best_of(scratch, k, admit);
}

template <class Admit>
Result<Hits> ranked_with(const InvertedIndex& index, std::string_view query, std::uint64_t k,
                         const Bm25Statistics& statistics, Admit&& admit) {
  SearchScratch& scratch = thread_scratch<SearchScratch>();
  tokenize_into(query, scratch.tokens);
  if (Status valid = check_statistics(index, scratch.tokens, statistics); !valid) {
    release_large_tokens(scratch);
    return std::unexpected(std::move(valid.error()));
  }
  if (k == 0 || index.doc_count() == 0) {
    release_large_tokens(scratch);
    return Hits{};
  }
  accumulate_scores(
      index, scratch.tokens, supplied_figures(statistics),
      [&](std::string_view term, const PostingList&) { return supplied_frequency(statistics, term); },
      scratch.scores);
  release_large_tokens(scratch);
  return best_of(scratch, k, admit);
}

}  // namespace

std::vector<std::pair<std::uint32_t, float>> bm25_search(const InvertedIndex& index, std::string_view query,
                                                         std::uint64_t k) {
  return ranked(index, query, k, [](std::uint32_t) { return true; });
}

std::vector<std::pair<std::uint32_t, float>> bm25_search(const InvertedIndex& index, std::string_view query,
                                                         std::uint64_t k, FunctionRef<bool(std::uint32_t)> admit) {
  return ranked(index, query, k, admit);
}

Bm25Statistics bm25_statistics(const InvertedIndex& index, std::string_view query) {
  Bm25Statistics statistics;
  statistics.doc_count = index.doc_count();
  statistics.total_length = index.total_length();
  const Tokens tokens = tokenize(query);
  for (std::size_t t = 0; t < tokens.size(); ++t) {
    const PostingList* list = index.find(tokens.term(t));
    statistics.document_frequencies.emplace(std::string(tokens.term(t)), list == nullptr ? 0 : list->size());
  }
  return statistics;
}

Result<std::vector<std::pair<std::uint32_t, float>>> bm25_search(const InvertedIndex& index, std::string_view query,
                                                                 std::uint64_t k, const Bm25Statistics& statistics) {
  return ranked_with(index, query, k, statistics, [](std::uint32_t) { return true; });
}

Result<std::vector<std::pair<std::uint32_t, float>>> bm25_search(const InvertedIndex& index, std::string_view query,
                                                                 std::uint64_t k, const Bm25Statistics& statistics,
                                                                 FunctionRef<bool(std::uint32_t)> admit) {
  return ranked_with(index, query, k, statistics, admit);
}

}  // namespace karvalith
