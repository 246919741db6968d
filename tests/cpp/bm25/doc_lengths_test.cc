// Document lengths at and above 0xFFFF: stored in two bytes plus an overflow
// table, they must read back, round-trip and score exactly as u32 lengths.
#include "core/bm25/doc_lengths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "core/bm25/inverted_index.h"
#include "core/bm25/scorer.h"
#include "test_strings.h"

namespace karvalith {
namespace {

using test::numbered;
using Lengths = std::vector<std::uint32_t>;

constexpr std::uint32_t MARK = DocLengths::OVERFLOW_MARK;
constexpr std::uint32_t MAX = std::numeric_limits<std::uint32_t>::max();

TEST(DocLengths, PacksAndReadsBackLengthsAroundTheMark) {
  const Lengths values = {0, 1, MARK - 1, MARK, MARK + 1, 3, MAX, 70000, 12, 0x12345678};
  const DocLengths lengths(values);
  ASSERT_EQ(lengths.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(lengths[i], values[i]) << i;
    EXPECT_EQ(lengths.packed()[i], std::min(values[i], MARK)) << i;
  }
  EXPECT_EQ(lengths.overflow_count(), 5u);  // MARK itself is in the table too
  EXPECT_EQ(lengths.overflow_length(6), MAX);
  EXPECT_EQ(lengths.memory_bytes(), 2u * 10 + 8u * 5);
  EXPECT_EQ(lengths.to_vector(), values);
  EXPECT_EQ(lengths, values);

  // A block in the middle, as the snapshot writer reads them.
  Lengths block(6);
  lengths.copy_to(2, block);
  EXPECT_EQ(block, Lengths(values.begin() + 2, values.begin() + 8));

  // Set one by one, the last id first (the table grows out of order), the
  // representation is the same as assigning.
  DocLengths set_backwards;
  for (std::size_t i = values.size(); i-- > 0;) set_backwards.set(static_cast<std::uint32_t>(i), values[i]);
  EXPECT_EQ(set_backwards, lengths);
  Lengths changed = values;
  changed[7] = 70001;
  EXPECT_FALSE(lengths == changed);
  EXPECT_FALSE(lengths == DocLengths(changed));
}

TEST(DocLengths, SetMovesLengthsInAndOutOfTheOverflowTable) {
  DocLengths lengths;
  lengths.set(5, 0x20000);  // extends with zero lengths
  EXPECT_EQ(lengths, (Lengths{0, 0, 0, 0, 0, 0x20000}));
  lengths.set(5, 0x30000);  // replaces the table entry
  lengths.set(2, MARK);
  lengths.set(9, MARK + 1);
  EXPECT_EQ(lengths, (Lengths{0, 0, MARK, 0, 0, 0x30000, 0, 0, 0, MARK + 1}));
  EXPECT_EQ(lengths.overflow_count(), 3u);

  lengths.set(5, 7);  // back below the mark: the entry goes
  lengths.set(2, 0);
  EXPECT_EQ(lengths, (Lengths{0, 0, 0, 0, 0, 7, 0, 0, 0, MARK + 1}));
  EXPECT_EQ(lengths.overflow_count(), 1u);
  EXPECT_EQ(lengths.packed()[5], 7u);
  EXPECT_EQ(lengths.overflow_length(9), MARK + 1);
  lengths.set(3, MAX);
  EXPECT_EQ(lengths, (Lengths{0, 0, 0, MAX, 0, 7, 0, 0, 0, MARK + 1}));
  EXPECT_EQ(lengths, DocLengths(lengths.to_vector()));
  EXPECT_EQ(lengths.memory_bytes(), 2u * 10 + 8u * 2);
}

// `count` terms over 50 distinct words; "cat" once, at the start.
std::string long_text(std::uint32_t count) {
  std::string text = "cat";
  for (std::uint32_t i = 1; i < count; ++i) {
    text.push_back(' ');
    text += numbered("w", i % 50);
  }
  return text;
}

// Scores of the documents containing the query's single term, computed from
// the given u32 lengths with the scorer's f32 operations in its order.
std::vector<std::pair<std::uint32_t, float>> reference_scores(const InvertedIndex& index, const Lengths& lengths,
                                                              std::string_view term) {
  const float n = static_cast<float>(index.doc_count());
  const float avgdl = static_cast<float>(index.total_length()) / n;
  const PostingList* list = index.find(term);
  const float df = static_cast<float>(list->size());
  const float idf = std::log((n - df + 0.5f) / (df + 0.5f) + 1.0f);
  std::vector<std::pair<std::uint32_t, float>> out;
  for (const Posting& p : *list) {
    const float dl = static_cast<float>(lengths[p.doc_id]);
    const float tf = static_cast<float>(p.term_frequency);
    out.emplace_back(p.doc_id, (tf * 2.2f) / (((dl * 0.75f) / avgdl + 0.25f) * 1.2f + tf) * idf);
  }
  return out;
}

void expect_exact_scores(const InvertedIndex& index, const Lengths& lengths, std::string_view term) {
  const auto expected = reference_scores(index, lengths, term);
  const auto hits = bm25_search(index, term, 1000);
  ASSERT_EQ(hits.size(), expected.size());
  for (const auto& [doc, score] : expected) {
    const auto hit = std::find_if(hits.begin(), hits.end(), [&](const auto& h) { return h.first == doc; });
    ASSERT_NE(hit, hits.end()) << doc;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(hit->second), std::bit_cast<std::uint32_t>(score))
        << "doc " << doc << " length " << lengths[doc] << ": " << hit->second << " != " << score;
  }
}

TEST(InvertedIndex, LongDocumentsKeepExactLengthsThroughAddRemoveAndFromParts) {
  Lengths expected = {2, MARK - 1, MARK, 100000, MARK + 1, 1};
  InvertedIndex index;
  index.add_document(0, "cat dog");
  for (std::uint32_t id = 1; id <= 4; ++id) index.add_document(id, long_text(expected[id]));
  index.add_document(5, "dog");
  EXPECT_EQ(index.doc_lengths(), expected);
  EXPECT_EQ(index.doc_lengths().overflow_count(), 3u);
  EXPECT_EQ(index.total_length(), std::accumulate(expected.begin(), expected.end(), std::uint64_t{0}));
  expect_exact_scores(index, expected, "cat");

  // What the snapshot writer reads (the exact lengths, a block at a time),
  // loaded again, gives the same index.
  Lengths written(index.doc_lengths().size());
  for (std::size_t first = 0; first < written.size(); first += 4) {
    const std::size_t n = std::min<std::size_t>(4, written.size() - first);
    index.doc_lengths().copy_to(first, std::span<std::uint32_t>(written.data() + first, n));
  }
  EXPECT_EQ(written, expected);
  InvertedIndex loaded =
      InvertedIndex::from_parts(PostingsMap(index.postings()), written, index.doc_count(), index.total_length());
  EXPECT_EQ(loaded.doc_lengths(), index.doc_lengths());
  EXPECT_EQ(loaded.doc_lengths().overflow_count(), 3u);
  expect_exact_scores(loaded, expected, "cat");

  // Removing a long document takes its exact length off the total.
  for (InvertedIndex* each : {&index, &loaded}) {
    each->remove_document(3);
    EXPECT_EQ(each->total_length(), 2u + (MARK - 1) + MARK + (MARK + 1) + 1u);
    EXPECT_EQ(each->doc_lengths().overflow_count(), 2u);
    each->remove_documents(std::vector<std::uint32_t>{4, 0, 2});
    EXPECT_EQ(each->total_length(), (MARK - 1) + 1u);
    EXPECT_EQ(each->doc_lengths(), (Lengths{0, MARK - 1, 0, 0, 0, 1}));
    EXPECT_EQ(each->doc_lengths().overflow_count(), 0u);
    EXPECT_EQ(each->doc_count(), 2u);
  }
  EXPECT_EQ(loaded.doc_lengths(), index.doc_lengths());
}

TEST(Bm25Search, LoadedLongLengthsScoreExactlyAsTheirU32Values) {
  // Lengths chosen so that reading the mark (0xFFFF) instead of the exact
  // value changes the score.
  const Lengths lengths = {3, MARK - 1, MARK, MARK + 1, 0x1FFFF, 5000000, 12, 3u * MARK, 40, MAX / 4};
  PostingsMap postings;
  for (std::uint32_t id = 0; id < lengths.size(); ++id) postings["cat"].push_back(Posting{id, 1 + id % 3});
  for (std::uint32_t id = 0; id < lengths.size(); id += 2) postings["dog"].push_back(Posting{id, 2});
  const std::uint64_t total = std::accumulate(lengths.begin(), lengths.end(), std::uint64_t{0});
  InvertedIndex index =
      InvertedIndex::from_parts(std::move(postings), lengths, static_cast<std::uint32_t>(lengths.size()), total);
  EXPECT_EQ(index.estimate_memory_bytes(), (48u + 3 + 8 * 10) + (48u + 3 + 8 * 5) + 2u * 10 + 8u * 6);
  expect_exact_scores(index, lengths, "cat");
  expect_exact_scores(index, lengths, "dog");

}

// Zero lengths past the last nonzero one take no entries, yet every id added
// stays covered (the stored list keeps one length per id): in size(), reads,
// copies and equality with the same lengths assigned whole. A nonzero length
// after a run of zeros, and an overflowing one, land where they belong.
TEST(DocLengths, TrailingZeroLengthsTakeNoEntries) {
  DocLengths lengths;
  for (std::uint32_t id = 0; id < 5000; ++id) lengths.set(id, 0);
  EXPECT_EQ(lengths.size(), 5000u);
  EXPECT_EQ(lengths.packed_size(), 0u);
  EXPECT_EQ(lengths.memory_bytes(), 0u);
  EXPECT_EQ(lengths[4999], 0u);
  EXPECT_EQ(lengths, Lengths(5000, 0));
  EXPECT_EQ(lengths, DocLengths(Lengths(5000, 0)));
  EXPECT_EQ(DocLengths(Lengths(5000, 0)).packed_size(), 0u);

  lengths.set(6000, 7);
  lengths.set(6001, MARK + 3);
  lengths.set(6002, 0);
  Lengths expected(6003, 0);
  expected[6000] = 7;
  expected[6001] = MARK + 3;
  EXPECT_EQ(lengths.size(), 6003u);
  EXPECT_EQ(lengths.packed_size(), 6002u);
  EXPECT_EQ(lengths.to_vector(), expected);
  EXPECT_EQ(lengths, DocLengths(expected));
  Lengths tail(8, 99);  // ids 5995-6002: the last one past the entries
  lengths.copy_to(5995, tail);
  EXPECT_EQ(tail, (Lengths{0, 0, 0, 0, 0, 7, MARK + 3, 0}));
  EXPECT_FALSE(lengths == DocLengths(Lengths(6004, 0)));
}

}  // namespace
}  // namespace karvalith
