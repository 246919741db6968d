#include "core/bm25/inverted_index.h"

#include <algorithm>
#include <utility>

#include "core/bm25/tokenizer.h"
#include "core/common/thread_scratch.h"

namespace karvalith {
namespace {

bool strictly_ascending(const PostingList& list) {
  for (std::size_t i = 1; i < list.size(); ++i) {
    if (list[i - 1].doc_id >= list[i].doc_id) return false;
  }
  return true;
}

// Per-thread tokenizer buffers for indexing; a huge text's buffers are
// released afterwards rather than kept for the life of the thread.
constexpr std::size_t KEPT_SCRATCH_BYTES = std::size_t{1} << 20;

}  // namespace

InvertedIndex InvertedIndex::from_parts(PostingsMap postings, std::span<const std::uint32_t> doc_lengths,
                                        std::uint32_t doc_count, std::uint64_t total_length) {
  InvertedIndex index;
  index.postings_ = std::move(postings);
  index.doc_lengths_.assign(doc_lengths);
  index.doc_count_ = doc_count;
  index.total_length_ = total_length;
  index.ascending_ids_ = std::all_of(index.postings_.begin(), index.postings_.end(),
                                     [](const auto& entry) { return strictly_ascending(entry.second); });
  return index;
}

void InvertedIndex::add_document(std::uint32_t doc_id, std::string_view text) {
  struct DocumentTokens;
  Tokens& tokens = thread_scratch<Tokens, DocumentTokens>();
  tokenize_into(text, tokens);
  const auto length = static_cast<std::uint32_t>(tokens.size());

  doc_lengths_.set(doc_id, length);
  doc_count_ += 1;
  total_length_ += length;

  // The id is new to the index, so a list whose last posting already names
  // it got that posting from an earlier occurrence in this same text: the
  // occurrence is counted there. This counts per distinct term without a
  // temporary map and gives the same lists as counting first.
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    PostingList& list = *postings_.try_emplace(tokens.term(i)).first;
    if (!list.empty() && list.back().doc_id == doc_id) {
      ++list.back().term_frequency;
      continue;
    }
    if (!list.empty() && list.back().doc_id > doc_id) ascending_ids_ = false;
    list.push_back(Posting{doc_id, 1});
  }

  if (tokens.lowered.capacity() > KEPT_SCRATCH_BYTES) tokens = Tokens();
}

void InvertedIndex::remove_documents(std::span<const std::uint32_t> doc_ids) {
  if (doc_ids.size() == 1) return remove_document(doc_ids.front());
  std::vector<bool> removed(doc_lengths_.size(), false);
  std::size_t count = 0;
  for (std::uint32_t doc_id : doc_ids) {
    if (doc_id >= doc_lengths_.size() || doc_lengths_[doc_id] == 0) continue;
    const std::uint32_t length = doc_lengths_[doc_id];
    doc_lengths_.set(doc_id, 0);
    if (doc_count_ > 0) doc_count_ -= 1;
    total_length_ -= std::min<std::uint64_t>(total_length_, length);
    removed[doc_id] = true;
    ++count;
  }
  if (count == 0) return;
  // From the back, as in remove_document; erase_if keeps each list's order.
  for (std::size_t i = postings_.size(); i-- > 0;) {
    PostingList& list = postings_.value_at(i);
    std::erase_if(list, [&](const Posting& p) { return p.doc_id < removed.size() && removed[p.doc_id]; });
    if (list.empty()) postings_.erase_at(i);
  }
}

void InvertedIndex::remove_document(std::uint32_t doc_id) {
  if (doc_id >= doc_lengths_.size() || doc_lengths_[doc_id] == 0) return;
  const std::uint32_t length = doc_lengths_[doc_id];
  doc_lengths_.set(doc_id, 0);
  if (doc_count_ > 0) doc_count_ -= 1;
  total_length_ -= std::min<std::uint64_t>(total_length_, length);

  // Walk from the back: erase_at moves the last entry (already visited) into
  // the freed position. The entries are one dense array but each list is its
  // own allocation, so the lists a few steps ahead are prefetched: the walk
  // is bound by those cache misses, not by the comparisons.
  constexpr std::size_t PREFETCH_AHEAD = 16;
  for (std::size_t i = postings_.size(); i-- > 0;) {
    if (i >= PREFETCH_AHEAD) {
      const PostingList& ahead = postings_.value_at(i - PREFETCH_AHEAD);
      if (!ahead.empty()) __builtin_prefetch(&ahead.back());
    }
    PostingList& list = postings_.value_at(i);
    if (ascending_ids_) {
      if (list.empty() || list.front().doc_id > doc_id || list.back().doc_id < doc_id) continue;
      auto it = std::lower_bound(list.begin(), list.end(), doc_id,
                                 [](const Posting& p, std::uint32_t id) { return p.doc_id < id; });
      if (it == list.end() || it->doc_id != doc_id) continue;
      list.erase(it);
    } else {
      std::erase_if(list, [doc_id](const Posting& p) { return p.doc_id == doc_id; });
    }
    if (list.empty()) postings_.erase_at(i);
  }
}

std::uint64_t InvertedIndex::estimate_memory_bytes() const {
  std::uint64_t bytes = doc_lengths_.memory_bytes();
  for (const auto& [term, list] : postings_) {
    bytes += 48 + term.size() + 8 * static_cast<std::uint64_t>(list.size());
  }
  return bytes;
}

}  // namespace karvalith
