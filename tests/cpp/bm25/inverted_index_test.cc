#include "core/bm25/inverted_index.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/bm25/tokenizer.h"
#include "test_strings.h"

namespace karvalith {
namespace {

using test::numbered;

// The postings as an ordered map of (doc_id, tf) lists, for comparisons.
using Flat = std::map<std::string, std::vector<std::pair<std::uint32_t, std::uint32_t>>>;

Flat flatten(const InvertedIndex& index) {
  Flat out;
  for (const auto& [term, list] : index.postings()) {
    auto& dst = out[term];
    for (const Posting& p : list) dst.emplace_back(p.doc_id, p.term_frequency);
  }
  return out;
}

TEST(InvertedIndex, RemovingManyAtOnceEqualsRemovingEachInTurn) {
  std::mt19937 random(5);
  for (int round = 0; round < 20; ++round) {
    InvertedIndex one_by_one;
    InvertedIndex at_once;
    const std::uint32_t documents = 1 + random() % 60;
    for (std::uint32_t id = 0; id < documents; ++id) {
      std::string text;
      for (std::uint32_t w = random() % 6; w > 0; --w) text.append(numbered("w", random() % 15)).push_back(' ');
      one_by_one.add_document(id, text);
      at_once.add_document(id, text);
    }
    // Some ids twice, some never added, some without terms.
    std::vector<std::uint32_t> removed;
    for (std::uint32_t k = random() % 40; k > 0; --k) removed.push_back(random() % (documents + 5));
    for (std::uint32_t id : removed) one_by_one.remove_document(id);
    at_once.remove_documents(removed);
    EXPECT_EQ(flatten(at_once), flatten(one_by_one)) << round;
    EXPECT_EQ(at_once.doc_lengths(), one_by_one.doc_lengths()) << round;
    EXPECT_EQ(at_once.doc_count(), one_by_one.doc_count()) << round;
    EXPECT_EQ(at_once.total_length(), one_by_one.total_length()) << round;
  }
}

TEST(InvertedIndex, AddDocumentCountsTermsPerDocument) {
  InvertedIndex index;
  index.add_document(0, "cat dog cat");
  index.add_document(1, "Dog bird");
  EXPECT_EQ(flatten(index), (Flat{{"bird", {{1, 1}}}, {"cat", {{0, 2}}}, {"dog", {{0, 1}, {1, 1}}}}));
  EXPECT_EQ(index.doc_lengths(), (std::vector<std::uint32_t>{3, 2}));
  EXPECT_EQ(index.doc_count(), 2u);
  EXPECT_EQ(index.total_length(), 5u);

  // A later id leaves zero lengths for the gap; a text without terms counts.
  index.add_document(4, "a b, the");
  EXPECT_EQ(index.doc_lengths(), (std::vector<std::uint32_t>{3, 2, 0, 0, 0}));
  EXPECT_EQ(index.doc_count(), 3u);
  EXPECT_EQ(index.total_length(), 5u);
  EXPECT_EQ(index.postings().size(), 3u);
}

TEST(InvertedIndex, RemoveDocumentBookkeeping) {
  InvertedIndex index;
  index.add_document(0, "cat dog cat");
  index.add_document(1, "dog bird");
  index.add_document(2, "");
  index.add_document(3, "dog cat");

  index.remove_document(1);
  EXPECT_EQ(flatten(index), (Flat{{"cat", {{0, 2}, {3, 1}}}, {"dog", {{0, 1}, {3, 1}}}}));
  EXPECT_FALSE(index.postings().contains("bird"));  // its only posting was doc 1
  EXPECT_EQ(index.doc_lengths(), (std::vector<std::uint32_t>{3, 0, 0, 2}));
  EXPECT_EQ(index.doc_count(), 3u);
  EXPECT_EQ(index.total_length(), 5u);

  const Flat before = flatten(index);
  index.remove_document(1);    // second removal
  index.remove_document(2);    // no terms: stays counted
  index.remove_document(999);  // beyond doc_lengths
  EXPECT_EQ(flatten(index), before);
  EXPECT_EQ(index.doc_count(), 3u);
  EXPECT_EQ(index.total_length(), 5u);

  index.remove_document(0);
  index.remove_document(3);
  EXPECT_TRUE(index.postings().empty());
  EXPECT_EQ(index.doc_count(), 1u);  // the empty document
  EXPECT_EQ(index.total_length(), 0u);
}

TEST(InvertedIndex, RemoveKeepsOrderWhenIdsWereAddedOutOfOrder) {
  InvertedIndex index;
  index.add_document(5, "cat");
  index.add_document(2, "cat dog");
  index.add_document(9, "cat");
  index.add_document(7, "dog");
  index.remove_document(2);
  EXPECT_EQ(flatten(index), (Flat{{"cat", {{5, 1}, {9, 1}}}, {"dog", {{7, 1}}}}));

  // The same holds for an index loaded from parts with unordered lists.
  PostingsMap postings;
  postings["cat"] = {{8, 1}, {3, 2}, {6, 1}};
  InvertedIndex loaded = InvertedIndex::from_parts(std::move(postings), std::vector<std::uint32_t>{0, 0, 0, 2, 0, 0, 1, 0, 1}, 3, 4);
  loaded.remove_document(3);
  EXPECT_EQ(flatten(loaded), (Flat{{"cat", {{8, 1}, {6, 1}}}}));
  EXPECT_EQ(loaded.doc_count(), 2u);
  EXPECT_EQ(loaded.total_length(), 2u);
}

TEST(InvertedIndex, FromPartsKeepsTheFourFields) {
  InvertedIndex index;
  index.add_document(0, "alpha beta");
  index.add_document(1, "beta gamma gamma");
  PostingsMap copy = index.postings();
  InvertedIndex loaded = InvertedIndex::from_parts(std::move(copy), index.doc_lengths().to_vector(),
                                                   index.doc_count(), index.total_length());
  EXPECT_EQ(flatten(loaded), flatten(index));
  EXPECT_EQ(loaded.doc_lengths(), index.doc_lengths());
  EXPECT_EQ(loaded.doc_count(), 2u);
  EXPECT_EQ(loaded.total_length(), 5u);
}

TEST(InvertedIndex, MemoryEstimate) {
  InvertedIndex index;
  EXPECT_EQ(index.estimate_memory_bytes(), 0u);
  index.add_document(0, "cat dog cat");
  index.add_document(1, "dog bird");
  // cat: 48 + 3 + 8; dog: 48 + 3 + 16; bird: 48 + 4 + 8; lengths: 2 x 2.
  EXPECT_EQ(index.estimate_memory_bytes(), 59u + 67u + 60u + 4u);
  // An empty document past the others takes no length entry; the next
  // document with terms stores the zeros before it.
  index.add_document(3, "");
  EXPECT_EQ(index.estimate_memory_bytes(), 59u + 67u + 60u + 4u);
  index.add_document(4, "cat");
  EXPECT_EQ(index.estimate_memory_bytes(), 59u + 8u + 67u + 60u + 10u);
}

// Removing documents must leave exactly the index that adding only the
// survivors would have built.
TEST(InvertedIndex, RandomRemovalsMatchRebuildingFromSurvivors) {
  std::mt19937 rng(7);
  std::vector<std::string> texts;
  for (int d = 0; d < 300; ++d) {
    std::string text;
    int words = static_cast<int>(rng() % 12);
    for (int w = 0; w < words; ++w) text += numbered("w", rng() % 400) + " ";
    texts.push_back(text);
  }
  InvertedIndex index;
  for (std::uint32_t d = 0; d < texts.size(); ++d) index.add_document(d, texts[d]);
  std::vector<bool> removed(texts.size(), false);
  for (int r = 0; r < 200; ++r) {
    std::uint32_t d = rng() % texts.size();
    index.remove_document(d);
    removed[d] = true;
  }
  InvertedIndex expected;
  std::uint32_t empty_removed = 0;
  for (std::uint32_t d = 0; d < texts.size(); ++d) {
    if (!removed[d]) {
      expected.add_document(d, texts[d]);
    } else if (tokenize(texts[d]).empty()) {
      ++empty_removed;
    }
  }
  EXPECT_EQ(flatten(index), flatten(expected));
  EXPECT_EQ(index.doc_count(), expected.doc_count() + empty_removed);
  EXPECT_EQ(index.total_length(), expected.total_length());
  for (const auto& [term, list] : index.postings()) {
    EXPECT_FALSE(list.empty()) << term;
    EXPECT_EQ(index.find(term), &list);
  }
}

}  // namespace
}  // namespace karvalith
