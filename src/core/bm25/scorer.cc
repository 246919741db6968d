#include "core/bm25/scorer.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "core/bm25/tokenizer.h"

namespace karvalith {
namespace {

// Accumulates one score per document: open addressing keyed by doc id over
// dense id/score arrays. Cleared by bumping an epoch, so a reused (per
// thread) map costs nothing to reset.
class ScoreMap {
 public:
  // Starts an empty map able to hold `expected` documents before it grows.
  void reset(std::size_t expected) {
    ids_.clear();
    scores_.clear();
    if (++epoch_ == 0) {  // wrapped: stale slots could look current
      for (Slot& s : slots_) s.epoch = 0;
      epoch_ = 1;
    }
    if (expected * 2 > slots_.size()) rehash(table_size_for(expected));
    ids_.reserve(expected);
    scores_.reserve(expected);
  }

  // scores[doc] = part + scores[doc], a missing score being 0.
  void add(std::uint32_t doc, float part) {
    std::size_t pos = home(doc);
    while (slots_[pos].epoch == epoch_) {
      if (slots_[pos].doc_id == doc) {
        float& score = scores_[slots_[pos].index];
        score = part + score;
        return;
      }
      pos = (pos + 1) & mask_;
    }
    slots_[pos] = Slot{epoch_, doc, static_cast<std::uint32_t>(ids_.size())};
    ids_.push_back(doc);
    scores_.push_back(part + 0.0f);
    if (ids_.size() * 2 > slots_.size()) rehash(slots_.size() * 2);
  }

  const std::vector<std::uint32_t>& ids() const { return ids_; }
  const std::vector<float>& scores() const { return scores_; }

 private:
  struct Slot {
    std::uint32_t epoch;  // the slot is in use when it equals the map's epoch
    std::uint32_t doc_id;
    std::uint32_t index;  // position in ids_ / scores_
  };

  static std::size_t table_size_for(std::size_t n) {
    std::size_t size = 16;
    while (size < n * 2) size *= 2;
    return size;
  }

  std::size_t home(std::uint32_t doc) const {
    return static_cast<std::size_t>((doc * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  void rehash(std::size_t table_size) {
    slots_.assign(table_size, Slot{0, 0, 0});
    epoch_ = 1;
    mask_ = table_size - 1;
    shift_ = 64 - std::countr_zero(table_size);
    for (std::size_t i = 0; i < ids_.size(); ++i) {
      std::size_t pos = home(ids_[i]);
      while (slots_[pos].epoch == epoch_) pos = (pos + 1) & mask_;
      slots_[pos] = Slot{epoch_, ids_[i], static_cast<std::uint32_t>(i)};
    }
  }

  std::vector<Slot> slots_;
  std::vector<std::uint32_t> ids_;
  std::vector<float> scores_;
  std::uint32_t epoch_ = 0;
  std::size_t mask_ = 0;
  int shift_ = 64;
};

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

// Adds every query term occurrence's BM25 part to the documents of its
// postings, in query order. Every operation is f32 and in this fixed order,
// so scores are reproducible bit for bit.
void accumulate_scores(const InvertedIndex& index, const Tokens& tokens, ScoreMap& scores) {
  const float n = static_cast<float>(index.doc_count());
  const float avgdl = static_cast<float>(index.total_length()) / n;
  const std::uint32_t* length_data = index.doc_lengths().data();
  const std::size_t length_count = index.doc_lengths().size();
  scores.reset(std::min<std::size_t>(index.doc_count(), 256));

  for (std::size_t t = 0; t < tokens.size(); ++t) {
    const PostingList* list = index.find(tokens.term(t));
    if (list == nullptr) continue;
    const float df = static_cast<float>(list->size());
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
      const float dl = p.doc_id < length_count ? static_cast<float>(length_data[p.doc_id]) : 0.0f;
      const float tf = static_cast<float>(p.term_frequency);
      const float part = (tf * 2.2f) / (((dl * 0.75f) / avgdl + 0.25f) * 1.2f + tf) * idf;
      scores.add(p.doc_id, part);
    }
  }
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

template <class Admit>
std::vector<std::pair<std::uint32_t, float>> ranked(const InvertedIndex& index, std::string_view query,
                                                    std::uint64_t k, Admit&& admit) {
  std::vector<std::pair<std::uint32_t, float>> hits;
  if (k == 0 || index.doc_count() == 0) return hits;
  thread_local SearchScratch scratch;
  tokenize_into(query, scratch.tokens);
  accumulate_scores(index, scratch.tokens, scratch.scores);
  if (scratch.tokens.lowered.capacity() > KEPT_SCRATCH_BYTES) scratch.tokens = Tokens();

  // Bounded by the documents scored, never by k alone (k may be 2^64 - 1).
  const std::size_t scored = scratch.scores.ids().size();
  if (scored == 0) return hits;
  const auto kept = static_cast<std::size_t>(std::min<std::uint64_t>(k, scored));
  select_top(scratch.scores, kept, scratch.heap, admit);
  hits.reserve(scratch.heap.size());
  for (std::uint64_t key : scratch.heap) hits.emplace_back(static_cast<std::uint32_t>(key), key_score(key));
  return hits;
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

}  // namespace karvalith
