// The keyword index of one collection: for every term, the documents that
// contain it and how often, plus per-document lengths and collection totals,
// which BM25 scoring (scorer.h) reads. Documents are keyed by the collection's
// dense internal id. The index has no lock: the collection's lock guards it
// (exclusive for add/remove, shared for searches).
#pragma once

#include <cstdint>
#include <string_view>
#include <span>
#include <vector>

#include "core/bm25/doc_lengths.h"
#include "core/bm25/term_map.h"

namespace karvalith {

inline constexpr float BM25_K1 = 1.2f;
inline constexpr float BM25_B = 0.75f;

struct Posting {
  std::uint32_t doc_id;
  std::uint32_t term_frequency;  // occurrences of the term in the document, >= 1
};

using PostingList = std::vector<Posting>;
using PostingsMap = TermMap<PostingList>;

class InvertedIndex {
 public:
  InvertedIndex() = default;

  // Rebuilds an index from its four stored fields (the snapshot loader's
  // entry point). The contents are taken as they are, unchecked; every
  // operation stays memory-safe on inconsistent contents.
  static InvertedIndex from_parts(PostingsMap postings, std::span<const std::uint32_t> doc_lengths,
                                  std::uint32_t doc_count, std::uint64_t total_length);

  // Indexes the text of a new document. `doc_id` must not have been added
  // before. A text without terms still counts as a document (length 0).
  void add_document(std::uint32_t doc_id, std::string_view text);

  // Removes a document's postings and its length from the totals. No-op for
  // an id never added, already removed, or whose text had no terms.
  void remove_document(std::uint32_t doc_id);
  // remove_document for each of `doc_ids`, in one pass over the terms (one
  // removal walks every term, so many of them at once cost a walk each).
  void remove_documents(std::span<const std::uint32_t> doc_ids);

  // For each term: 48 + its byte length + 8 per posting; plus 2 per entry of
  // doc_lengths and 8 per length above 0xFFFE (DocLengths::memory_bytes).
  // Allocator overhead and spare capacity are ignored.
  std::uint64_t estimate_memory_bytes() const;

  const PostingsMap& postings() const { return postings_; }
  // Exact u32 lengths by doc id, packed in two bytes each (doc_lengths.h).
  const DocLengths& doc_lengths() const { return doc_lengths_; }
  std::uint32_t doc_count() const { return doc_count_; }
  std::uint64_t total_length() const { return total_length_; }

  // The postings of `term`, or null when the term is not indexed.
  const PostingList* find(std::string_view term) const { return postings_.find(term); }

 private:
  PostingsMap postings_;
  DocLengths doc_lengths_;
  std::uint32_t doc_count_ = 0;
  std::uint64_t total_length_ = 0;
  // True while every posting list is strictly ascending by doc_id (always
  // the case when ids are added in increasing order, as collections do);
  // lets remove_document binary-search each list instead of scanning it.
  bool ascending_ids_ = true;
};

}  // namespace karvalith
