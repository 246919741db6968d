// Collection-level searches: vector (plain and filtered), keyword, hybrid.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/collection_test_util.h"
#include "core/hnsw/distance.h"
#include "core/hnsw/level_generator.h"
#include "core/hnsw/thread_context.h"
#include "core/engine/collection_search.h"
#include "core/hnsw/search.h"
#include "core/search/filter.h"

namespace karvalith {
namespace {

// The searches by path, each as one request to the engine's search entry.
SearchRequest vector_request(std::span<const float> query, std::uint64_t k, std::optional<float> min_similarity) {
  SearchRequest request;
  request.embedding.emplace(query.begin(), query.end());
  request.k = k;
  request.min_similarity = min_similarity;
  return request;
}

Result<std::vector<ScoredDocument>> vector_search(const Collection& collection, std::span<const float> query,
                                                  std::uint64_t k, std::optional<float> min_similarity) {
  return search(collection, vector_request(query, k, min_similarity));
}

// Without `exact_threshold` the planner chooses the path; 0 forces the walk.
Result<std::vector<ScoredDocument>> vector_search_filtered(const Collection& collection,
                                                           std::span<const float> query, std::uint64_t k,
                                                           std::optional<float> min_similarity,
                                                           const MetadataFilter& filter,
                                                           std::optional<std::uint64_t> exact_threshold = {}) {
  SearchRequest request = vector_request(query, k, min_similarity);
  request.filter = filter;
  request.exact_threshold = exact_threshold;
  return search(collection, request);
}

std::vector<ScoredDocument> keyword_search(const Collection& collection, std::string_view text, std::uint64_t k) {
  SearchRequest request;
  request.text = std::string(text);
  request.k = k;
  auto hits = search(collection, request);
  EXPECT_TRUE(hits.has_value());
  return hits.value_or(std::vector<ScoredDocument>{});
}

Result<std::vector<ScoredDocument>> hybrid_search(const Collection& collection, std::span<const float> query,
                                                  std::string_view text, std::uint64_t k,
                                                  std::optional<float> min_similarity, float alpha,
                                                  std::string_view fusion_method, const MetadataFilter* filter) {
  SearchRequest request = vector_request(query, k, min_similarity);
  request.text = std::string(text);
  request.alpha = alpha;
  request.fusion = fusion_method_from_text(fusion_method);
  if (filter != nullptr) request.filter = *filter;
  return search(collection, request);
}

// The query checks alone: a request that asks for nothing.
Status validate_query(const Collection& collection, std::vector<float> query) {
  auto checked = search(collection, vector_request(query, 0, std::nullopt));
  if (!checked) return std::unexpected(checked.error());
  return {};
}

// The vector side of a filtered hybrid search: (node, 1 - distance) of the
// k nearest nodes passing the filter.
Result<std::vector<ScoredId>> filtered_candidate_list(const CollectionState& state, std::span<const float> query,
                                                      std::uint64_t k, const MetadataFilter& filter) {
  std::vector<Candidate> hits;
  Status walked = knn_search(state.hnsw, query, k, state.hnsw.config().ef_search,
                             [&](std::uint32_t node) {
                               return testing::slot_passes(state, filter, node);
                             },
                             hits);
  if (!walked) return std::unexpected(walked.error());
  std::vector<ScoredId> out;
  for (const Candidate& hit : hits) out.push_back({hit.id, 1.0f - hit.distance});
  return out;
}

using testing::make_document;

constexpr std::uint64_t ALL = std::numeric_limits<std::uint64_t>::max();

HnswConfig config_for(DistanceMetric metric, bool raw = false) {
  HnswConfig config;
  config.distance_metric = metric;
  config.store_raw_vectors = raw;
  return config;
}

std::unique_ptr<Collection> make_collection(std::uint64_t dimension, const HnswConfig& config = {}) {
  return std::make_unique<Collection>("docs", dimension, config);
}

Uuid add(Collection& collection, std::string text, std::vector<float> embedding, Metadata metadata = {}) {
  Result<Uuid> id =
      collection.insert_document(make_document(std::move(text), std::move(metadata)), std::move(embedding));
  EXPECT_TRUE(id.has_value()) << (id ? "" : id.error().message);
  return id.value_or(Uuid{});
}

Metadata bucket(std::int64_t value) {
  Metadata metadata;
  metadata.insert_or_assign("bucket", value);
  return metadata;
}

MetadataFilter must_eq(std::string field, JsonValue value) {
  MetadataFilter filter;
  filter.must.push_back(FilterCondition{std::move(field), FilterOp::Eq, std::move(value), std::nullopt});
  return filter;
}

// A filter no document passes (the key exists nowhere).
MetadataFilter nothing_passes() { return must_eq("no_such_key", std::int64_t{1}); }

std::vector<Uuid> ids_of(const std::vector<ScoredDocument>& hits) {
  std::vector<Uuid> ids;
  for (const auto& hit : hits) ids.push_back(hit.document->id);
  return ids;
}

bool contains(const std::vector<ScoredDocument>& hits, const Uuid& id) {
  const auto ids = ids_of(hits);
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// count x dim floats around `clusters` random centres.
std::vector<float> clustered(std::size_t count, std::size_t dim, std::uint64_t seed, std::size_t clusters = 30) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> centre(0.0f, 1.0f);
  std::normal_distribution<float> noise(0.0f, 0.35f);
  std::vector<float> centres(clusters * dim);
  for (auto& x : centres) x = centre(rng);
  std::uniform_int_distribution<std::size_t> pick(0, clusters - 1);
  std::vector<float> data(count * dim);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t c = pick(rng);
    for (std::size_t j = 0; j < dim; ++j) data[i * dim + j] = centres[c * dim + j] + noise(rng);
  }
  return data;
}

std::vector<float> row(const std::vector<float>& data, std::size_t dim, std::size_t i) {
  const auto first = data.begin() + static_cast<std::ptrdiff_t>(i * dim);
  return {first, first + static_cast<std::ptrdiff_t>(dim)};
}

// A collection of `count` clustered vectors; document i has bucket i % 10.
struct Corpus {
  std::size_t dim;
  std::vector<float> data;
  std::vector<Uuid> ids;
  std::unique_ptr<Collection> collection;

  // With rare_every = r, every r-th document also has "rare": true.
  Corpus(std::size_t count, std::size_t dimension, const HnswConfig& config, std::uint64_t seed = 11,
         std::size_t rare_every = 0)
      : dim(dimension), data(clustered(count, dimension, seed)), collection(make_collection(dimension, config)) {
    seed_level_generator(seed);  // reproducible graphs
    for (std::size_t i = 0; i < count; ++i) {
      Metadata metadata = bucket(static_cast<std::int64_t>(i % 10));
      if (rare_every != 0 && i % rare_every == 0) metadata.insert_or_assign("rare", true);
      ids.push_back(add(*collection, "doc " + std::to_string(i), row(data, dim, i), std::move(metadata)));
    }
  }

  // Ids of the k nearest documents by exact distance among those `keep` accepts.
  template <class Keep>
  std::vector<Uuid> brute_force(const std::vector<float>& query, std::size_t k, Keep keep) const {
    const DistanceMetric metric = collection->state().read()->hnsw.config().distance_metric;
    std::vector<std::pair<float, std::size_t>> all;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (keep(i)) all.emplace_back(distance_exact(metric, query, row(data, dim, i)), i);
    }
    const std::size_t n = std::min(k, all.size());
    std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n), all.end());
    std::vector<Uuid> out;
    for (std::size_t i = 0; i < n; ++i) out.push_back(ids[all[i].second]);
    return out;
  }
};

std::size_t overlap(const std::vector<Uuid>& found, const std::vector<Uuid>& truth) {
  std::size_t hits = 0;
  for (const Uuid& id : truth) hits += std::count(found.begin(), found.end(), id);
  return hits;
}

// Layer walks run by `search`, counted through the epoch of the thread's marks.
template <class Search>
unsigned walks_during(Search&& search) {
  VisitedSet& visited = search_visited_set_for_testing();
  visited.set_epoch_for_testing(1);
  search();
  return visited.epoch() - 1u;
}

// --- empty inputs ---------------------------------------------------------

TEST(CollectionSearch, EmptyCollectionAndZeroKGiveNothingOnEveryPath) {
  auto empty = make_collection(2);
  const std::vector<float> query{1.0f, 0.0f};
  const MetadataFilter none;
  EXPECT_TRUE(vector_search(*empty, query, 10, std::nullopt)->empty());
  EXPECT_TRUE(vector_search_filtered(*empty, query, 10, std::nullopt, none)->empty());
  EXPECT_TRUE(keyword_search(*empty, "apple", 10).empty());
  EXPECT_TRUE(hybrid_search(*empty, query, "apple", 10, std::nullopt, 0.7f, "rrf", nullptr)->empty());
  EXPECT_TRUE(hybrid_search(*empty, query, "apple", 10, std::nullopt, 0.7f, "rrf", &none)->empty());

  auto full = make_collection(2);
  add(*full, "apple pie", {1.0f, 0.0f});
  add(*full, "apple tart", {0.0f, 1.0f});
  EXPECT_TRUE(vector_search(*full, query, 0, std::nullopt)->empty());
  EXPECT_TRUE(vector_search_filtered(*full, query, 0, std::nullopt, none)->empty());
  EXPECT_TRUE(keyword_search(*full, "apple", 0).empty());
  EXPECT_TRUE(hybrid_search(*full, query, "apple", 0, std::nullopt, 0.7f, "rrf", nullptr)->empty());
  EXPECT_TRUE(hybrid_search(*full, query, "apple", 0, std::nullopt, 0.7f, "linear", &none)->empty());
  auto state = full->state().read();
  EXPECT_TRUE(filtered_candidate_list(*state, query, 0, none)->empty());
}

TEST(CollectionSearch, HugeKReturnsEveryLiveDocumentWithoutOverflow) {
  auto collection = make_collection(2);
  for (int i = 0; i < 5; ++i) add(*collection, "apple " + std::to_string(i), {float(i), 1.0f});
  const std::vector<float> query{0.0f, 1.0f};
  const MetadataFilter none;
  EXPECT_EQ(vector_search(*collection, query, ALL, std::nullopt)->size(), 5u);
  EXPECT_EQ(vector_search_filtered(*collection, query, ALL, std::nullopt, none)->size(), 5u);
  EXPECT_EQ(keyword_search(*collection, "apple", ALL).size(), 5u);
  EXPECT_EQ(hybrid_search(*collection, query, "apple", ALL, std::nullopt, 0.7f, "rrf", nullptr)->size(), 5u);
  EXPECT_EQ(hybrid_search(*collection, query, "apple", ALL, std::nullopt, 0.7f, "linear", &none)->size(), 5u);
}

// --- query validation -----------------------------------------------------

TEST(CollectionSearch, ValidateQueryRefusesWrongLengthAndNonFiniteValues) {
  auto collection = make_collection(4);
  EXPECT_TRUE(validate_query(*collection, std::vector<float>{1, 2, 3, 4}).has_value());

  Status short_query = validate_query(*collection, std::vector<float>{1, 2, 3});
  ASSERT_FALSE(short_query.has_value());
  EXPECT_EQ(short_query.error().kind, ErrorKind::InvalidInput);
  EXPECT_EQ(short_query.error().message, "query_embedding has 3 values but collection 'docs' has dimension 4");

  for (float bad : {std::nanf(""), std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()}) {
    Status refused = validate_query(*collection, std::vector<float>{1, 2, bad, 4});
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind, ErrorKind::InvalidInput);
    EXPECT_NE(refused.error().message.find("index 2"), std::string::npos) << refused.error().message;
  }
}

// --- scores and thresholds ------------------------------------------------

TEST(CollectionSearch, EmbeddingsUpToTheFloatLimitScoreAlikeOnEveryPath) {
  const std::size_t dim = 8;
  const std::vector<float> limit{3e38f, -2e38f, 1e38f, 3.3e38f, -3.4e38f, 0.5e38f, 2e38f, -1e38f};
  const std::vector<float> data = clustered(60, dim, 5);
  // Every document passes: -inf is below every number.
  MetadataFilter everything;
  everything.must.push_back(FilterCondition{"bucket", FilterOp::Gte, -std::numeric_limits<double>::infinity(),
                                            std::nullopt});
  for (const DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    for (const bool raw : {false, true}) {
      const std::string what = std::string(distance_metric_name(metric)) + (raw ? " raw" : "");
      auto collection = make_collection(dim, config_for(metric, raw));
      seed_level_generator(3);
      for (std::size_t i = 0; i < 60; ++i) {
        std::vector<float> v = row(data, dim, i);
        // A third of the documents scaled to about 1e36.
        if (i % 3 == 0) {
          for (float& x : v) x = std::ldexp(x, 120);
        }
        add(*collection, "doc", v, bucket(static_cast<std::int64_t>(i % 10)));
      }
      const Uuid at_limit = add(*collection, "limit", limit, bucket(3));

      // The embedding comes back finite, within half a quantization step.
      const std::optional<std::vector<float>> stored = collection->embedding_of(at_limit);
      ASSERT_TRUE(stored.has_value());
      for (std::size_t i = 0; i < dim; ++i) {
        ASSERT_TRUE(std::isfinite((*stored)[i])) << what;
        EXPECT_NEAR((*stored)[i], limit[i], 6.8e38 / 510.0 * 1.0001) << what << " component " << i;
      }

      for (int round = 0; round < 2; ++round) {
        const auto plain = vector_search(*collection, limit, 61, std::nullopt);
        const auto scanned = vector_search_filtered(*collection, limit, 61, std::nullopt, everything, ALL);
        const auto walked = vector_search_filtered(*collection, limit, 61, std::nullopt, everything, 0);
        ASSERT_TRUE(plain.has_value() && scanned.has_value() && walked.has_value()) << what;
        ASSERT_EQ(plain->size(), 61u) << what;
        // The same scores on every path (ties at +-inf may come in any order).
        auto scores = [](const std::vector<ScoredDocument>& hits) {
          std::vector<float> out;
          for (const ScoredDocument& hit : hits) out.push_back(hit.score);
          return out;
        };
        EXPECT_EQ(scores(*plain), scores(*scanned)) << what;
        EXPECT_EQ(scores(*plain), scores(*walked)) << what;
        for (const ScoredDocument& hit : *plain) ASSERT_FALSE(std::isnan(hit.score)) << what;
        if (metric == DistanceMetric::Cosine) {
          // Its own vector finds it with similarity 1.
          EXPECT_EQ(plain->front().document->id, at_limit) << what;
          EXPECT_NEAR(plain->front().score, 1.0f, 1e-4f) << what;
        }
        if (metric == DistanceMetric::DotProduct) {
          // |limit|^2 is beyond the float range: the top score rounds to +inf.
          EXPECT_EQ(plain->front().score, std::numeric_limits<float>::infinity()) << what;
        }
        // A rebuild re-quantizes the stored embeddings: the same again.
        ASSERT_TRUE(collection->rebuild().has_value()) << what;
      }
    }
  }
}

TEST(CollectionSearch, RawVectorScoresAreExactOnBothVectorPaths) {
  const MetadataFilter none;
  auto euclidean = make_collection(2, config_for(DistanceMetric::Euclidean, true));
  add(*euclidean, "a", {3.0f, 4.0f});
  const std::vector<float> origin{0.0f, 0.0f};
  EXPECT_EQ(vector_search(*euclidean, origin, 1, std::nullopt)->at(0).score, -24.0f);
  EXPECT_EQ(vector_search_filtered(*euclidean, origin, 1, std::nullopt, none)->at(0).score, -24.0f);

  auto dot = make_collection(2, config_for(DistanceMetric::DotProduct, true));
  add(*dot, "a", {1.0f, 2.0f});
  const std::vector<float> query{3.0f, 4.0f};
  EXPECT_EQ(vector_search(*dot, query, 1, std::nullopt)->at(0).score, 12.0f);
  EXPECT_EQ(vector_search_filtered(*dot, query, 1, std::nullopt, none)->at(0).score, 12.0f);
  // The threshold compares against these values as they are.
  EXPECT_EQ(vector_search(*dot, query, 1, 12.0f)->size(), 1u);
  EXPECT_TRUE(vector_search(*dot, query, 1, 12.5f)->empty());
}

TEST(CollectionSearch, MinSimilarityAppliesAfterTheCutAndKeepsEqualScores) {
  // Exact squared distances from the origin: 0, 0.0625, 0.25, 0.5625.
  auto collection = make_collection(2, config_for(DistanceMetric::Euclidean, true));
  std::vector<Uuid> ids;
  for (float x : {0.0f, 0.25f, 0.5f, 0.75f}) ids.push_back(add(*collection, "d", {x, 0.0f}));
  const std::vector<float> origin{0.0f, 0.0f};
  const MetadataFilter none;

  for (bool filtered : {false, true}) {
    auto search = [&](std::uint64_t k, std::optional<float> min) {
      return filtered ? *vector_search_filtered(*collection, origin, k, min, none)
                      : *vector_search(*collection, origin, k, min);
    };
    // Every document passes -1, yet only the first k come back.
    EXPECT_EQ(ids_of(search(2, -1.0f)), (std::vector<Uuid>{ids[0], ids[1]}));
    // 0.75 is exactly the third score: kept; the next float up drops it.
    const auto equal = search(4, 0.75f);
    EXPECT_EQ(ids_of(equal), (std::vector<Uuid>{ids[0], ids[1], ids[2]}));
    EXPECT_EQ(equal.back().score, 0.75f);
    EXPECT_EQ(search(4, std::nextafter(0.75f, 1.0f)).size(), 2u);
    // Fewer than k results when the threshold cuts inside the first k.
    EXPECT_EQ(search(3, 0.9f).size(), 2u);
  }
}

// --- deletion and lifetime ------------------------------------------------

TEST(CollectionSearch, DeletedDocumentsAreNeverReturned) {
  auto collection = make_collection(2, config_for(DistanceMetric::Euclidean, true));
  const Uuid gone = add(*collection, "apple apple", {0.0f, 0.0f}, bucket(1));
  const Uuid kept = add(*collection, "apple", {1.0f, 0.0f}, bucket(1));
  ASSERT_TRUE(collection->delete_document(gone));
  const std::vector<float> origin{0.0f, 0.0f};
  const MetadataFilter any;

  const auto plain = *vector_search(*collection, origin, 10, std::nullopt);
  const auto filtered = *vector_search_filtered(*collection, origin, 10, std::nullopt, any);
  const auto keyword = keyword_search(*collection, "apple", 10);
  const auto hybrid = *hybrid_search(*collection, origin, "apple", 10, std::nullopt, 0.7f, "rrf", nullptr);
  const auto hybrid_filtered = *hybrid_search(*collection, origin, "apple", 10, std::nullopt, 0.7f, "rrf", &any);
  for (const auto* hits : {&plain, &filtered, &keyword, &hybrid, &hybrid_filtered}) {
    EXPECT_EQ(ids_of(*hits), std::vector<Uuid>{kept});
  }
  // The survivor now heads both hybrid lists.
  EXPECT_EQ(hybrid[0].score, 1.0f / 61.0f + 1.0f / 61.0f);
}

TEST(CollectionSearch, ResultsOutliveTheDeletionOfTheirDocuments) {
  auto collection = make_collection(2);
  Metadata metadata;
  metadata.insert_or_assign("lang", std::string("en"));
  const Uuid id = add(*collection, "kept text", {1.0f, 0.0f}, metadata);
  const std::vector<float> query{1.0f, 0.0f};
  const auto vector_hits = *vector_search(*collection, query, 1, std::nullopt);
  const auto keyword_hits = keyword_search(*collection, "kept", 1);
  ASSERT_TRUE(collection->delete_document(id));
  EXPECT_EQ(collection->get_document(id), nullptr);
  for (const auto* hits : {&vector_hits, &keyword_hits}) {
    ASSERT_EQ(hits->size(), 1u);
    EXPECT_EQ((*hits)[0].document->id, id);
    EXPECT_EQ((*hits)[0].document->text, "kept text");
    ASSERT_NE((*hits)[0].document->metadata.find("lang"), nullptr);
  }
}

// --- filtered walk --------------------------------------------------------

TEST(CollectionSearch, FilterPassingNothingWidensUpToTheCapThenReturnsEmpty) {
  // ef_search 50, k 10, 1000 nodes (the walk forced: the planner alone would
  // score the empty set). Everything passes: beam 50, one pass. Nothing
  // passes: the beam scaled to the passing share is its floor 2k = 20, cap
  // 80, so passes at 20, 40, 80.
  Corpus corpus(1000, 8, config_for(DistanceMetric::Euclidean));
  const std::vector<float> query = row(corpus.data, 8, 3);
  const MetadataFilter everything;
  const MetadataFilter nothing = nothing_passes();
  std::size_t found = 0;
  auto search = [&](const Corpus& c, const std::vector<float>& q, const MetadataFilter& filter) {
    return walks_during([&] { found = vector_search_filtered(*c.collection, q, 10, std::nullopt, filter, 0)->size(); });
  };
  const unsigned one_pass = search(corpus, query, everything);
  EXPECT_EQ(found, 10u);
  const unsigned widened = search(corpus, query, nothing);
  EXPECT_EQ(found, 0u);
  EXPECT_EQ(widened - one_pass, 2u);

  // With fewer nodes than ef the cap is the node count: everything passing
  // takes a single pass, nothing passing one more (20, then the cap 30).
  Corpus small(30, 8, config_for(DistanceMetric::Euclidean));
  const std::vector<float> small_query = row(small.data, 8, 0);
  const unsigned small_all = search(small, small_query, everything);
  const unsigned small_none = search(small, small_query, nothing);
  EXPECT_EQ(found, 0u);
  EXPECT_EQ(small_none - small_all, 1u);
}

TEST(CollectionSearch, SelectiveFilterStillFindsItsFewMatches) {
  // Ten documents in a thousand carry the tag; all are found, nearest first.
  Corpus corpus(1000, 8, config_for(DistanceMetric::Cosine), 11, 100);
  const MetadataFilter rare = must_eq("rare", true);
  const std::vector<float> query = row(corpus.data, 8, 555);
  const auto hits = *vector_search_filtered(*corpus.collection, query, 10, std::nullopt, rare);
  std::vector<Uuid> truth;
  for (std::size_t i = 0; i < 1000; i += 100) truth.push_back(corpus.ids[i]);
  EXPECT_EQ(overlap(ids_of(hits), truth), 10u);
  for (std::size_t i = 1; i < hits.size(); ++i) EXPECT_GE(hits[i - 1].score, hits[i].score);
}

TEST(CollectionSearch, BorrowedSearchMarksAreAnInternalFaultNotACrash) {
  auto collection = make_collection(2);
  add(*collection, "apple", {1.0f, 0.0f});
  const std::vector<float> query{1.0f, 0.0f};
  const MetadataFilter any;
  auto lease = borrow_search_context();
  ASSERT_TRUE(lease.has_value());
  for (const auto& result : {vector_search(*collection, query, 1, std::nullopt),
                             vector_search_filtered(*collection, query, 1, std::nullopt, any, 0),
                             hybrid_search(*collection, query, "apple", 1, std::nullopt, 0.7f, "rrf", nullptr)}) {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, ErrorKind::Internal);
  }
  // Scoring the passing documents exactly needs no marks.
  const auto exact = hybrid_search(*collection, query, "apple", 1, std::nullopt, 0.7f, "rrf", &any);
  ASSERT_TRUE(exact.has_value());
  EXPECT_EQ(exact->size(), 1u);
}

// --- recall ---------------------------------------------------------------

class SearchRecall : public ::testing::TestWithParam<DistanceMetric> {};

TEST_P(SearchRecall, PlainAndFilteredRecallAtTenAgainstBruteForce) {
  const std::size_t dim = 24;
  Corpus corpus(3000, dim, config_for(GetParam()));
  const std::size_t queries = 60;
  std::mt19937_64 rng(99);
  std::normal_distribution<float> jitter(0.0f, 0.1f);
  std::size_t plain_hits = 0;
  std::size_t filtered_hits = 0;
  const MetadataFilter bucket3 = must_eq("bucket", std::int64_t{3});
  for (std::size_t q = 0; q < queries; ++q) {
    std::vector<float> query = row(corpus.data, dim, (q * 53) % 3000);
    for (float& x : query) x += jitter(rng);

    const auto plain = *vector_search(*corpus.collection, query, 10, std::nullopt);
    ASSERT_EQ(plain.size(), 10u);
    plain_hits += overlap(ids_of(plain), corpus.brute_force(query, 10, [](std::size_t) { return true; }));

    const auto filtered = *vector_search_filtered(*corpus.collection, query, 10, std::nullopt, bucket3);
    ASSERT_EQ(filtered.size(), 10u);
    for (const auto& hit : filtered) {
      EXPECT_EQ(std::get<std::int64_t>(*hit.document->metadata.find("bucket")), 3);
    }
    const auto in_bucket3 = [](std::size_t i) { return i % 10 == 3; };
    filtered_hits += overlap(ids_of(filtered), corpus.brute_force(query, 10, in_bucket3));
  }
  const double plain_recall = double(plain_hits) / double(queries * 10);
  const double filtered_recall = double(filtered_hits) / double(queries * 10);
  // Deterministic (seeded data and levels, one thread). Here: plain 0.993,
  // 0.987, 0.992 and filtered 0.998, 1.000, 0.997 for cosine, euclidean and
  // dot product.
  EXPECT_GE(plain_recall, 0.95);
  EXPECT_GE(filtered_recall, 0.95);
  RecordProperty("plain_recall", std::to_string(plain_recall));
  RecordProperty("filtered_recall", std::to_string(filtered_recall));
}

INSTANTIATE_TEST_SUITE_P(Metrics, SearchRecall,
                         ::testing::Values(DistanceMetric::Cosine, DistanceMetric::Euclidean,
                                           DistanceMetric::DotProduct));

// --- hybrid and keyword ---------------------------------------------------

// Two documents ranked oppositely by the two sides: "near" is nearest to the
// query vector, "wordy" has the better BM25 score for "apple".
struct Opposed {
  std::unique_ptr<Collection> collection = make_collection(2, config_for(DistanceMetric::Euclidean, true));
  Uuid near = add(*collection, "apple pear pear pear", {0.0f, 0.0f}, bucket(1));
  Uuid wordy = add(*collection, "apple apple", {1.0f, 0.0f}, bucket(2));
  std::vector<float> query{0.0f, 0.0f};
};

TEST(HybridSearch, RrfScoresTwoOverSixtyOneForTheTopOfBothLists) {
  auto collection = make_collection(2, config_for(DistanceMetric::Euclidean, true));
  const Uuid top = add(*collection, "apple banana", {0.0f, 0.0f});
  add(*collection, "cherry", {2.0f, 0.0f});
  const Uuid keyword_only = add(*collection, "banana split", {5.0f, 0.0f});
  const std::vector<float> origin{0.0f, 0.0f};
  const auto hits = *hybrid_search(*collection, origin, "apple banana", 3, std::nullopt, 0.7f, "rrf", nullptr);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].document->id, top);
  EXPECT_EQ(hits[0].score, 1.0f / 61.0f + 1.0f / 61.0f);
  // keyword_only: keyword rank 1 and vector rank 2.
  EXPECT_EQ(hits[1].document->id, keyword_only);
  EXPECT_EQ(hits[1].score, 1.0f / 63.0f + 1.0f / 62.0f);
  // Fused scores are at most 2/61, so a 0.1 threshold leaves nothing.
  EXPECT_TRUE(hybrid_search(*collection, origin, "apple banana", 3, 0.1f, 0.7f, "rrf", nullptr)->empty());
}

TEST(HybridSearch, LinearFusionWeighsTheVectorSideByAlpha) {
  Opposed o;
  const auto hits = *hybrid_search(*o.collection, o.query, "apple", 2, std::nullopt, 0.7f, "linear", nullptr);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].document->id, o.near);
  EXPECT_EQ(hits[0].score, 0.7f);
  EXPECT_EQ(hits[1].document->id, o.wordy);
  EXPECT_EQ(hits[1].score, 1.0f - 0.7f);

  const auto keyword_heavy = *hybrid_search(*o.collection, o.query, "apple", 2, std::nullopt, 0.2f, "linear", nullptr);
  EXPECT_EQ(ids_of(keyword_heavy), (std::vector<Uuid>{o.wordy, o.near}));

  // One vector hit and no keyword hits scores exactly alpha.
  const auto vector_only = *hybrid_search(*o.collection, o.query, "zebra", 1, std::nullopt, 0.7f, "linear", nullptr);
  ASSERT_EQ(vector_only.size(), 1u);
  EXPECT_EQ(vector_only[0].score, 0.7f);
}

TEST(HybridSearch, AnyMethodOtherThanExactlyLinearIsReciprocalRank) {
  Opposed o;
  for (const char* method : {"rrf", "LINEAR", "Linear", "", "linear "}) {
    const auto hits = *hybrid_search(*o.collection, o.query, "apple", 2, std::nullopt, 0.7f, method, nullptr);
    ASSERT_EQ(hits.size(), 2u) << method;
    for (const auto& hit : hits) EXPECT_EQ(hit.score, 1.0f / 61.0f + 1.0f / 62.0f) << method;
  }
}

TEST(HybridSearch, FilterAppliesToBothListsBeforeRanksAreCounted) {
  auto collection = make_collection(2, config_for(DistanceMetric::Euclidean, true));
  Metadata it;
  it.insert_or_assign("lang", std::string("it"));
  Metadata en;
  en.insert_or_assign("lang", std::string("en"));
  const Uuid best_it = add(*collection, "apple apple apple", {0.0f, 0.0f}, it);   // first in both lists
  const Uuid second_en = add(*collection, "apple apple", {1.0f, 0.0f}, en);       // second in both
  const Uuid keyword_it = add(*collection, "apple", {9.0f, 9.0f}, it);
  const Uuid vector_en = add(*collection, "pear", {2.0f, 0.0f}, en);
  const std::vector<float> origin{0.0f, 0.0f};
  const MetadataFilter english = must_eq("lang", std::string("en"));

  const auto hits = *hybrid_search(*collection, origin, "apple", 2, std::nullopt, 0.7f, "rrf", &english);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].document->id, second_en);
  EXPECT_EQ(hits[0].score, 1.0f / 61.0f + 1.0f / 61.0f);
  EXPECT_EQ(hits[1].document->id, vector_en);
  EXPECT_FALSE(contains(hits, best_it));
  EXPECT_FALSE(contains(hits, keyword_it));

  // The filtered candidate list is the vector side alone.
  auto state = collection->state().read();
  const auto candidates = *filtered_candidate_list(*state, origin, 10, english);
  ASSERT_EQ(candidates.size(), 2u);
  EXPECT_EQ(candidates[0].score, 0.0f);   // 1 - 1
  EXPECT_EQ(candidates[1].score, -3.0f);  // 1 - 4
}

TEST(KeywordSearch, ReturnsBm25ScoresIgnoringFilterAndDeletedDocuments) {
  Opposed o;
  const auto both = keyword_search(*o.collection, "apple", 10);
  ASSERT_EQ(ids_of(both), (std::vector<Uuid>{o.wordy, o.near}));
  EXPECT_GT(both[0].score, both[1].score);
  EXPECT_GT(both[1].score, 0.0f);
  ASSERT_TRUE(o.collection->delete_document(o.wordy));
  EXPECT_EQ(ids_of(keyword_search(*o.collection, "apple", 10)), std::vector<Uuid>{o.near});
  EXPECT_TRUE(keyword_search(*o.collection, "pineapple", 10).empty());
}

}  // namespace
}  // namespace karvalith
