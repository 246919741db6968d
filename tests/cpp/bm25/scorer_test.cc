#include "core/bm25/scorer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <queue>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/bm25/tokenizer.h"
#include "test_strings.h"

namespace karvalith {
namespace {

using test::numbered;

using Hits = std::vector<std::pair<std::uint32_t, float>>;

std::vector<std::uint32_t> ids(const Hits& hits) {
  std::vector<std::uint32_t> out;
  for (const auto& hit : hits) out.push_back(hit.first);
  return out;
}

TEST(Bm25Search, OneDocumentHandComputation) {
  InvertedIndex index;
  index.add_document(0, "cat");
  Hits hits = bm25_search(index, "cat", 10);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].first, 0u);
  // N = df = 1, dl = avgdl = 1: the length factor is 2.2 / 2.2 and the score
  // is the idf ln((1 - 1 + 0.5) / (1 + 0.5) + 1) = ln(4/3).
  EXPECT_FLOAT_EQ(hits[0].second, static_cast<float>(std::log(4.0 / 3.0)));
}

TEST(Bm25Search, TwoDocumentsHandComputation) {
  InvertedIndex index;
  index.add_document(0, "cat dog");
  index.add_document(1, "cat bird fish");
  // N = 2, avgdl = 2.5. cat: df = 2, idf = ln(0.5 / 2.5 + 1) = ln 1.2.
  // dog: df = 1, idf = ln(1.5 / 1.5 + 1) = ln 2.
  auto part = [](double tf, double dl, double idf) {
    return tf * 2.2 / ((dl * 0.75 / 2.5 + 0.25) * 1.2 + tf) * idf;
  };
  Hits hits = bm25_search(index, "dog cat", 10);
  ASSERT_EQ(ids(hits), (std::vector<std::uint32_t>{0, 1}));
  EXPECT_NEAR(hits[0].second, part(1, 2, std::log(2.0)) + part(1, 2, std::log(1.2)), 1e-6);
  EXPECT_NEAR(hits[1].second, part(1, 3, std::log(1.2)), 1e-6);
  EXPECT_GT(hits[1].second, 0.0f);  // a term in every document still scores
}

TEST(Bm25Search, RepeatedQueryTermCountsTwice) {
  InvertedIndex index;
  index.add_document(0, "cat and dog");
  index.add_document(1, "the cat cat sat");
  index.add_document(2, "dog only");
  Hits once = bm25_search(index, "cat", 10);
  Hits twice = bm25_search(index, "cat CAT", 10);
  ASSERT_EQ(once.size(), 2u);
  ASSERT_EQ(ids(twice), ids(once));
  for (std::size_t i = 0; i < once.size(); ++i) EXPECT_EQ(twice[i].second, 2.0f * once[i].second);
}

TEST(Bm25Search, TopKKeepsTheBestAndLargerIdsOnTies) {
  InvertedIndex index;
  index.add_document(0, "cat dog bird fish");  // longer: lower score for cat
  index.add_document(1, "cat");
  index.add_document(2, "cat");
  Hits hits = bm25_search(index, "cat", 2);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].second, hits[1].second);
  EXPECT_EQ(std::min(hits[0].first, hits[1].first), 1u);
  EXPECT_EQ(std::max(hits[0].first, hits[1].first), 2u);

  Hits one = bm25_search(index, "cat", 1);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].first, 2u);  // equal scores: the larger id survives

  InvertedIndex ties;
  ties.add_document(0, "cat");
  ties.add_document(1, "cat");
  ties.add_document(2, "cat");
  EXPECT_EQ(ids(bm25_search(ties, "cat", 1)), (std::vector<std::uint32_t>{2}));
  Hits two = bm25_search(ties, "cat", 2);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_NE(two[0].first, 0u);
  EXPECT_NE(two[1].first, 0u);
}

TEST(Bm25Search, AdmissionPicksTheBestKAmongAdmittedWithUnchangedScores) {
  InvertedIndex index;
  for (std::uint32_t d = 0; d < 12; ++d) index.add_document(d, d % 3 == 0 ? "tax" : "tax tax tax report");
  const Hits all = bm25_search(index, "tax", 100);
  const Hits top = bm25_search(index, "tax", 2);
  auto every_third = [](std::uint32_t d) { return d % 3 == 0; };
  const Hits admitted = bm25_search(index, "tax", 2, every_third);
  for (const auto& hit : top) EXPECT_FALSE(every_third(hit.first));
  ASSERT_EQ(admitted.size(), 2u);
  // The admitted documents in the order and with the scores of the full ranking.
  Hits expected;
  for (const auto& hit : all) {
    if (every_third(hit.first) && expected.size() < 2) expected.push_back(hit);
  }
  EXPECT_EQ(admitted, expected);
  EXPECT_TRUE(bm25_search(index, "tax", 5, [](std::uint32_t) { return false; }).empty());
}

TEST(Bm25Search, EmptyResults) {
  InvertedIndex index;
  EXPECT_TRUE(bm25_search(index, "cat", 10).empty());  // no documents
  index.add_document(0, "cat dog");
  EXPECT_TRUE(bm25_search(index, "cat", 0).empty());
  EXPECT_TRUE(bm25_search(index, "", 10).empty());
  EXPECT_TRUE(bm25_search(index, "the a, x", 10).empty());
  EXPECT_TRUE(bm25_search(index, "unicorn", 10).empty());
}

TEST(Bm25Search, HugeKIsBoundedByTheMatches) {
  InvertedIndex index;
  for (std::uint32_t d = 0; d < 5; ++d) index.add_document(d, numbered("cat number", d));
  Hits hits = bm25_search(index, "cat", std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(hits.size(), 5u);
}

TEST(Bm25Search, RemovedDocumentsNeverAppear) {
  InvertedIndex index;
  index.add_document(0, "cat");
  index.add_document(1, "cat dog");
  index.add_document(2, "cat");
  index.remove_document(2);
  EXPECT_EQ(ids(bm25_search(index, "cat", 10)), (std::vector<std::uint32_t>{0, 1}));
}

TEST(Bm25Search, InconsistentLoadedIndexStaysSafe) {
  // Lengths shorter than the ids and a zero total: scores may be NaN, but
  // every matching document is still returned once.
  PostingsMap postings;
  postings["cat"] = {{0, 1}, {7, 2}, {3, 1}};
  InvertedIndex index = InvertedIndex::from_parts(std::move(postings), {1}, 3, 0);
  EXPECT_EQ(bm25_search(index, "cat", 10).size(), 3u);
}

// The ranking written out plainly: a map of scores, a min-heap on
// (score, id) that evicts its minimum past k, then a descending sort.
Hits reference_search(const InvertedIndex& index, std::string_view query, std::uint64_t k) {
  Tokens tokens = tokenize(query);
  if (tokens.empty() || index.doc_count() == 0 || k == 0) return {};
  const float n = static_cast<float>(index.doc_count());
  const float avgdl = static_cast<float>(index.total_length()) / n;
  std::unordered_map<std::uint32_t, float> scores;
  for (std::size_t t = 0; t < tokens.size(); ++t) {
    const PostingList* list = index.postings().find(tokens.term(t));
    if (list == nullptr) continue;
    const float df = static_cast<float>(list->size());
    const float idf = logf((n - df + 0.5f) / (df + 0.5f) + 1.0f);
    for (const Posting& p : *list) {
      const float dl = static_cast<float>(index.doc_lengths()[p.doc_id]);
      const float tf = static_cast<float>(p.term_frequency);
      scores[p.doc_id] = (tf * 2.2f) / (((dl * 0.75f) / avgdl + 0.25f) * 1.2f + tf) * idf +
                         scores[p.doc_id];
    }
  }
  using Entry = std::pair<float, std::uint32_t>;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> heap;
  for (const auto& [doc, score] : scores) {
    heap.emplace(score, doc);
    if (heap.size() > k) heap.pop();
  }
  Hits out;
  while (!heap.empty()) {
    out.emplace_back(heap.top().second, heap.top().first);
    heap.pop();
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first > b.first;
  });
  return out;
}

TEST(Bm25Search, MatchesTheLiteralAlgorithmOnRandomIndexes) {
  std::mt19937 rng(3);
  for (int round = 0; round < 20; ++round) {
    InvertedIndex index;
    for (std::uint32_t d = 0; d < 400; ++d) {
      std::string text;
      int words = static_cast<int>(rng() % 15);
      for (int w = 0; w < words; ++w) text += numbered("t", rng() % 60) + " ";
      index.add_document(d, text);
      if (rng() % 10 == 0) index.remove_document(rng() % (d + 1));
    }
    for (int q = 0; q < 20; ++q) {
      std::string query;
      for (int w = 0; w < 1 + q % 4; ++w) query += numbered("t", rng() % 70) + " ";
      std::uint64_t k = 1 + rng() % 40;
      Hits got = bm25_search(index, query, k);
      Hits want = reference_search(index, query, k);
      ASSERT_EQ(got.size(), want.size()) << query;
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].second, want[i].second) << query;
        EXPECT_EQ(got[i].first, want[i].first) << query;
      }
    }
  }
}

}  // namespace
}  // namespace karvalith
