#include "core/bm25/scorer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <bit>
#include <functional>
#include <map>
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
  InvertedIndex index = InvertedIndex::from_parts(std::move(postings), std::vector<std::uint32_t>{1}, 3, 0);
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

// Figures summed over parts, as a client of split collections gathers them.
Bm25Statistics summed(const std::vector<InvertedIndex>& parts, const std::string& query) {
  Bm25Statistics total;
  for (const InvertedIndex& part : parts) {
    const Bm25Statistics own = bm25_statistics(part, query);
    total.doc_count += own.doc_count;
    total.total_length += own.total_length;
    for (const auto& [term, count] : own.document_frequencies) total.document_frequencies[term] += count;
  }
  return total;
}

TEST(Bm25Statistics, FiguresOfTheQueryTermsAsTheScorerTokenizesThem) {
  InvertedIndex index;
  index.add_document(0, "Cat dog");
  index.add_document(1, "cat bird fish");
  index.add_document(2, "fish");
  index.remove_document(2);
  const Bm25Statistics figures = bm25_statistics(index, "CAT the cat zebra, fish");
  EXPECT_EQ(figures.doc_count, 2u);
  EXPECT_EQ(figures.total_length, 5u);
  // Lower-cased, stop word dropped, repeats once, unknown terms at 0.
  const std::map<std::string, std::uint64_t, std::less<>> want{{"cat", 2}, {"fish", 1}, {"zebra", 0}};
  EXPECT_EQ(figures.document_frequencies, want);
}

// Documents split over parts, each part scoring with the summed figures:
// every document's score is bit-identical to one index holding them all,
// with a filter or without.
TEST(Bm25Statistics, SplitIndexesScoreExactlyAsOneWithSummedFigures) {
  std::mt19937 rng(11);
  for (int round = 0; round < 10; ++round) {
    const std::size_t part_count = 2 + round % 3;
    InvertedIndex whole;
    std::vector<InvertedIndex> parts(part_count);
    std::vector<std::uint32_t> next_local(part_count, 0);
    std::vector<std::pair<std::size_t, std::uint32_t>> where;  // whole id -> (part, local id)
    for (std::uint32_t d = 0; d < 300; ++d) {
      std::string text;
      const int words = static_cast<int>(rng() % 12);
      for (int w = 0; w < words; ++w) text += numbered("t", rng() % 40) + " ";
      const std::size_t part = rng() % part_count;
      whole.add_document(d, text);
      parts[part].add_document(next_local[part], text);
      where.emplace_back(part, next_local[part]++);
    }
    for (int q = 0; q < 15; ++q) {
      std::string query;
      for (int w = 0; w < 1 + q % 4; ++w) query += numbered("t", rng() % 45) + " ";
      const Bm25Statistics figures = summed(parts, query);
      const bool odd_only = q % 2 == 1;
      auto admit_whole = [&](std::uint32_t id) { return !odd_only || id % 2 == 1; };
      const Hits want = bm25_search(whole, query, 1000, admit_whole);
      std::map<std::uint32_t, float> want_score;
      for (const auto& [id, score] : want) want_score[id] = score;
      std::size_t seen = 0;
      for (std::size_t part = 0; part < part_count; ++part) {
        // The part's local id i is whole id of the i-th document routed to it.
        std::vector<std::uint32_t> whole_of;
        for (std::uint32_t d = 0; d < where.size(); ++d) {
          if (where[d].first == part) whole_of.push_back(d);
        }
        auto admit_part = [&](std::uint32_t local) { return admit_whole(whole_of[local]); };
        auto got = bm25_search(parts[part], query, 1000, figures, admit_part);
        ASSERT_TRUE(got.has_value()) << got.error().message;
        for (const auto& [local, score] : *got) {
          ASSERT_TRUE(want_score.contains(whole_of[local])) << query;
          EXPECT_EQ(std::bit_cast<std::uint32_t>(score), std::bit_cast<std::uint32_t>(want_score[whole_of[local]]))
              << query;
          ++seen;
        }
        // Without the summed figures the part's own scores differ.
        if (part == 0 && !got->empty()) {
          const Hits local = bm25_search(parts[part], query, 1000, admit_part);
          bool any_differs = false;
          for (std::size_t i = 0; i < local.size(); ++i) {
            const auto match = std::find_if(got->begin(), got->end(), [&](const auto& h) { return h.first == local[i].first; });
            any_differs = any_differs || match->second != local[i].second;
          }
          EXPECT_TRUE(any_differs) << query;
        }
      }
      EXPECT_EQ(seen, want.size()) << query;
    }
  }
}

TEST(Bm25Statistics, FiguresThatCannotCoverTheIndexAreRefused) {
  InvertedIndex index;
  index.add_document(0, "cat dog");
  index.add_document(1, "cat bird");
  const Bm25Statistics own = bm25_statistics(index, "cat dog");
  ASSERT_TRUE(bm25_search(index, "cat dog", 10, own).has_value());

  auto refused = [&](const Bm25Statistics& figures) {
    auto hits = bm25_search(index, "cat dog", 10, figures);
    return !hits.has_value() && hits.error().kind == ErrorKind::InvalidInput;
  };
  Bm25Statistics fewer = own;
  fewer.doc_count = 1;
  EXPECT_TRUE(refused(fewer));
  Bm25Statistics shorter = own;
  shorter.total_length = 3;
  EXPECT_TRUE(refused(shorter));
  Bm25Statistics missing = own;
  missing.document_frequencies.erase("dog");
  EXPECT_TRUE(refused(missing));
  Bm25Statistics below = own;
  below.document_frequencies["cat"] = 1;
  EXPECT_TRUE(refused(below));
  Bm25Statistics above = own;
  above.document_frequencies["cat"] = 3;
  EXPECT_TRUE(refused(above));
  // A term the index does not hold needs no figure; a larger set is fine.
  Bm25Statistics larger = own;
  larger.doc_count = 100;
  larger.total_length = 1000;
  larger.document_frequencies["cat"] = 50;
  EXPECT_TRUE(bm25_search(index, "cat dog zebra", 10, larger).has_value());
  EXPECT_TRUE(bm25_search(InvertedIndex(), "cat", 10, larger)->empty());
}

}  // namespace
}  // namespace karvalith
