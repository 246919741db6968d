// The filter planner: both of its paths against an exact reference, and the
// metadata index kept in step by every change a collection goes through.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <utility>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/common/progress.h"
#include "core/engine/collection_search.h"
#include "core/hnsw/distance.h"
#include "core/hnsw/level_generator.h"
#include "core/hnsw/query_scorer.h"
#include "core/hnsw/thread_context.h"
#include "core/hnsw/total_order.h"
#include "engine/collection_test_util.h"

namespace karvalith {
namespace {

using testing::clause;
using testing::expect_index_agrees;
using testing::filter_of;
using testing::make_document;

constexpr std::uint64_t ALWAYS_EXACT = std::uint64_t{1} << 40;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

Metadata random_metadata(std::mt19937_64& rng) {
  Metadata metadata;
  const auto r = static_cast<std::int64_t>(rng() % 100);
  metadata.insert_or_assign("r", r);
  if (rng() % 4 != 0) metadata.insert_or_assign("tag", std::string(1, static_cast<char>('a' + rng() % 5)));
  if (rng() % 2 == 0) metadata.insert_or_assign("flag", rng() % 3 == 0);
  metadata.insert_or_assign("x", static_cast<double>(rng() % 1000) / 999.0);
  // Infinite and NaN values beside finite ones, for the infinite operands;
  // derived from r, so the generator's sequence (and every vector) stays.
  const std::int64_t pick = r % 8;
  metadata.insert_or_assign("v", pick == 0   ? MetadataValue(INF)
                                 : pick == 1 ? MetadataValue(-INF)
                                 : pick == 2 ? MetadataValue(NaN)
                                 : pick == 3 ? MetadataValue(r / 8)
                                             : MetadataValue(static_cast<double>(r) / 4.0));
  return metadata;
}

MetadataFilter with_node(FilterNode node) {
  MetadataFilter filter;
  filter.all_of.push_back(std::move(node));
  return filter;
}

// Filters from about 60% of the documents down to a handful, and none.
std::vector<MetadataFilter> planner_filters() {
  return {
      filter_of({clause("r", FilterOp::Lt, std::int64_t{60})}),
      filter_of({clause("tag", FilterOp::Eq, std::string("a"))}, {clause("flag", FilterOp::Eq, true)}),
      filter_of({clause("r", FilterOp::Gte, std::int64_t{90}), clause("x", FilterOp::Lte, 0.5)}),
      filter_of({clause("r", FilterOp::Eq, 7.0)}),
      filter_of({clause("tag", FilterOp::Ne, std::string("b")), clause("r", FilterOp::Gt, std::int64_t{97})}),
      filter_of({}, {clause("r", FilterOp::Lt, std::int64_t{95})}),
      filter_of({clause("r", FilterOp::Eq, std::string("7"))}),
      // Unions and complements: many pass, few pass, a negated group.
      with_node(FilterNode::any({FilterNode::leaf(clause("r", FilterOp::Lt, std::int64_t{30})),
                                 FilterNode::leaf(clause("tag", FilterOp::Eq, std::string("c")))})),
      with_node(FilterNode::any({FilterNode::leaf(clause("r", FilterOp::Eq, std::int64_t{3})),
                                 FilterNode::all({FilterNode::leaf(clause("r", FilterOp::Gt, std::int64_t{95})),
                                                  FilterNode::leaf(clause("flag", FilterOp::Eq, true))})})),
      with_node(FilterNode::negate(FilterNode::any({FilterNode::leaf(clause("r", FilterOp::Lt, std::int64_t{50})),
                                                    FilterNode::leaf(clause("tag", FilterOp::Ne, std::string("a")))}))),
      filter_of({clause("v", FilterOp::Lt, INF)}),
      filter_of({clause("v", FilterOp::Gte, -INF), clause("r", FilterOp::Lt, std::int64_t{30})}),
      filter_of({clause("v", FilterOp::Eq, INF)}, {clause("v", FilterOp::Lt, INF)}),
      filter_of({clause("v", FilterOp::Lte, -INF)}),
      filter_of({clause("v", FilterOp::Gt, INF)}),
      filter_of({clause("v", FilterOp::Lte, INF)}, {clause("v", FilterOp::Ne, -INF)}),
      filter_of({FilterCondition{"v", FilterOp::In, std::nullopt, std::vector<JsonValue>{INF, -INF}}}),
  };
}

// The nodes a walk can reach: layer-0 links followed from the entry point.
// HNSW pruning may leave a node without in-links; only the scan finds those.
std::vector<bool> reachable(const HnswIndex& index) {
  std::vector<bool> seen(index.node_count(), false);
  if (!index.entry_point()) return seen;
  std::vector<std::uint32_t> stack{*index.entry_point()};
  seen[stack.back()] = true;
  while (!stack.empty()) {
    const std::uint32_t node = stack.back();
    stack.pop_back();
    for (const std::uint32_t next : index.neighbors(node, 0)) {
      if (!seen[next]) {
        seen[next] = true;
        stack.push_back(next);
      }
    }
  }
  return seen;
}

// (slot, distance) of the k passing nodes (among `among`, when given)
// closest by the collection's own scorer, in total order and then slot order.
std::vector<Candidate> reference(const CollectionState& state, const std::vector<float>& query,
                                 const MetadataFilter& filter, std::size_t k, const std::vector<bool>* among) {
  const QueryScorer score(state.hnsw, query, squared_norm(query));
  std::vector<Candidate> all;
  for (std::uint32_t slot = 0; slot < state.hnsw.node_count(); ++slot) {
    if (among != nullptr && !(*among)[slot]) continue;
    if (!state.hnsw.is_deleted(slot) && testing::slot_passes(state, filter, slot)) {
      all.push_back({score(slot), slot});
    }
  }
  std::sort(all.begin(), all.end(), [](const Candidate& a, const Candidate& b) {
    const auto ka = total_order_key(a.distance);
    const auto kb = total_order_key(b.distance);
    return ka != kb ? ka < kb : a.id < b.id;
  });
  all.resize(std::min(all.size(), k));
  return all;
}

// Hits in rank order against the reference: same slots, scores 1 - distance.
void expect_same(const CollectionState& state, const std::vector<ScoredDocument>& got,
                 const std::vector<Candidate>& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(state.slot_of(got[i].document->id), want[i].id) << what << " rank " << i;
    EXPECT_EQ(got[i].score, 1.0f - want[i].distance) << what << " rank " << i;
  }
}

class FilterPlanner : public ::testing::TestWithParam<std::tuple<DistanceMetric, bool>> {};

TEST_P(FilterPlanner, BothPathsGiveTheExactTopKOfThePassingDocuments) {
  const auto [metric, raw] = GetParam();
  HnswConfig config;
  config.distance_metric = metric;
  config.store_raw_vectors = raw;
  Collection collection("docs", 12, config);
  seed_level_generator(5);
  std::mt19937_64 rng(31);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  auto vector = [&] {
    std::vector<float> v(12);
    for (float& x : v) x = gauss(rng);
    return v;
  };
  std::vector<Uuid> ids;
  for (int i = 0; i < 1200; ++i) {
    auto id = collection.insert_document(make_document("doc", random_metadata(rng)), vector());
    ASSERT_TRUE(id.has_value());
    ids.push_back(*id);
  }
  // Deleted and replaced documents must not come back on either path.
  for (int i = 0; i < 1200; i += 9) ASSERT_TRUE(collection.delete_document(ids[i]));
  for (int i = 4; i < 1200; i += 11) {
    EXPECT_EQ(collection.update_metadata(ids[i], random_metadata(rng)), i % 9 != 0);
  }

  const std::vector<MetadataFilter> filters = planner_filters();
  const std::vector<bool> linked = reachable(collection.state().read()->hnsw);
  for (int q = 0; q < 8; ++q) {
    const std::vector<float> query = vector();
    for (std::size_t f = 0; f < filters.size(); ++f) {
      for (const std::uint64_t k : {std::uint64_t{1}, std::uint64_t{10}, std::uint64_t{2000}}) {
        SearchRequest request;
        request.embedding = query;
        request.k = k;
        request.filter = filters[f];
        request.exact_threshold = ALWAYS_EXACT;
        const auto exact = search(collection, request);
        // A beam as wide as the collection reaches every passing node.
        request.exact_threshold = 0;
        request.ef = 1200;
        const auto walked = search(collection, request);
        ASSERT_TRUE(exact.has_value() && walked.has_value());

        auto state = collection.state().read();
        const std::string what = "query " + std::to_string(q) + " filter " + std::to_string(f) + " k " +
                                 std::to_string(k);
        expect_same(*state, *exact, reference(*state, query, filters[f], k, nullptr), "exact " + what);
        expect_same(*state, *walked, reference(*state, query, filters[f], k, &linked), "walk " + what);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(MetricsAndStorage, FilterPlanner,
                         ::testing::Combine(::testing::Values(DistanceMetric::Cosine, DistanceMetric::Euclidean,
                                                              DistanceMetric::DotProduct),
                                            ::testing::Bool()));

TEST(FilterPlannerThreshold, PicksThePathByThePassingCount) {
  // With min_similarity above every score nothing is returned, so only the
  // path can tell: the walk borrows the thread's search marks, the scan not.
  Collection collection("docs", 2, HnswConfig{});
  Metadata tagged;
  tagged.insert_or_assign("t", true);
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(collection.insert_document(make_document("x", tagged), {1.0f, static_cast<float>(i)}).has_value());
  }
  SearchRequest request;
  request.embedding = std::vector<float>{1.0f, 0.0f};
  request.filter = filter_of({clause("t", FilterOp::Eq, true)});
  auto lease = borrow_search_context();
  ASSERT_TRUE(lease.has_value());
  for (const auto& [threshold, walks] : {std::pair{5u, true}, std::pair{6u, false}, std::pair{0u, true}}) {
    request.exact_threshold = threshold;
    const auto hits = search(collection, request);
    EXPECT_EQ(!hits.has_value(), walks) << "threshold " << threshold;
  }
}

TEST(FilterPlannerThreshold, TheWalksBeamFollowsThePassingShare) {
  struct Case {
    std::uint64_t ef, k, passing, live, beam;
  };
  const std::uint64_t huge = std::uint64_t{1} << 62;
  for (const Case& c : {
           Case{100, 10, 500, 1000, 50},   // half pass: half the beam
           Case{100, 10, 333, 1000, 34},   // rounded up
           Case{100, 10, 1000, 1000, 100}, // all pass: ef
           Case{100, 10, 10, 1000, 20},    // few pass: 2k
           Case{100, 60, 10, 1000, 100},   // 2k above ef: ef
           Case{7, 3, 1, 1000, 6},         // odd ef: min(ef, 2k) without rounding
           Case{7, 4, 1, 1000, 7},
           Case{64, 1, 1, huge, 2},
           Case{10, huge, 5, 10, 10},      // a huge k does not overflow the floor
       }) {
    EXPECT_EQ(filtered_walk_beam(c.ef, c.k, c.passing, c.live), c.beam)
        << "ef " << c.ef << " k " << c.k << " passing " << c.passing << " of " << c.live;
  }
}

TEST(MetadataIndexMaintenance, FollowsInsertDeleteUpsertUpdateAndRebuild) {
  Collection collection("docs", 4, HnswConfig{});
  std::mt19937_64 rng(77);
  std::vector<Uuid> ids;
  auto embedding = [&] {
    return std::vector<float>{static_cast<float>(rng() % 7), 1.0f, static_cast<float>(rng() % 5), 0.5f};
  };
  for (int i = 0; i < 200; ++i) {
    ids.push_back(*collection.insert_document(make_document("d", random_metadata(rng)), embedding()));
  }
  const std::vector<MetadataFilter> filters = planner_filters();
  expect_index_agrees(collection, filters);
  // A batch large enough to be linked from two threads.
  std::vector<PendingDocument> batch;
  for (std::size_t i = 0; i < Collection::PARALLEL_BATCH + 10; ++i) {
    batch.push_back(PendingDocument{make_document("b", random_metadata(rng)), embedding()});
  }
  ASSERT_TRUE(collection.insert_batch(batch, 2).has_value());
  expect_index_agrees(collection, filters);

  for (int i = 0; i < 200; i += 5) ASSERT_TRUE(collection.delete_document(ids[i]));
  expect_index_agrees(collection, filters);
  for (int i = 1; i < 200; i += 7) EXPECT_EQ(collection.update_metadata(ids[i], random_metadata(rng)), i % 5 != 0);
  expect_index_agrees(collection, filters);
  for (int i = 2; i < 200; i += 6) {  // live and deleted ids alike
    Document replacement = make_document("u", random_metadata(rng));
    replacement.id = ids[i];
    ASSERT_TRUE(collection.upsert_document(std::move(replacement), embedding()).has_value());
  }
  expect_index_agrees(collection, filters);
  for (int i = 0; i < 200; i += 10) {  // a deleted id inserted again takes a new slot
    Document again = make_document("again", random_metadata(rng));
    again.id = ids[i];
    ASSERT_TRUE(collection.insert_document(std::move(again), embedding()).has_value());
  }
  expect_index_agrees(collection, filters);
  ASSERT_TRUE(collection.rebuild().has_value());
  expect_index_agrees(collection, filters);
  // Metadata removed altogether leaves the document in no set but the live one.
  ASSERT_TRUE(collection.update_metadata(ids[3], Metadata{}));
  expect_index_agrees(collection, filters);
  // A restored state gets its index from its documents.
  CollectionState copy("copy", 4, HnswConfig{});
  {
    auto state = collection.state().read();
    copy.hnsw = state->hnsw;
    copy.inverted_index = state->inverted_index;
    copy.internal_to_uuid = state->internal_to_uuid;
    copy.uuid_to_internal = state->uuid_to_internal;
    copy.documents = state->documents;
  }
  const Collection restored(std::move(copy));
  expect_index_agrees(restored, filters);
}

// Runs `change` once, at the first stop point it hears: inside a rebuild,
// that is while the new indexes are built with no lock held.
class ChangeOnFirstReport final : public Progress {
 public:
  explicit ChangeOnFirstReport(std::function<void()> change) : change_(std::move(change)) {}
  bool report(std::uint64_t, std::uint64_t) override { return poll(); }
  bool poll() override {
    if (change_) std::exchange(change_, nullptr)();
    return true;
  }

 private:
  std::function<void()> change_;
};

TEST(MetadataIndexMaintenance, ChangesDuringARebuildAndThreadedBatchesReachTheIndex) {
  Collection collection("docs", 4, HnswConfig{});
  std::mt19937_64 rng(78);
  auto embedding = [&] {
    return std::vector<float>{static_cast<float>(rng() % 7), 1.0f, static_cast<float>(rng() % 5), 0.5f};
  };
  auto batch_of = [&](std::size_t count) {
    std::vector<PendingDocument> batch;
    for (std::size_t i = 0; i < count; ++i) {
      batch.push_back(PendingDocument{make_document("b", random_metadata(rng)), embedding()});
    }
    return batch;
  };
  // More than one chunk, linked from two threads.
  std::vector<PendingDocument> first = batch_of(Collection::PARALLEL_CHUNK + 17);
  std::vector<Uuid> ids;
  for (const PendingDocument& pending : first) ids.push_back(pending.document.id);
  ASSERT_TRUE(collection.insert_batch(first, 2).has_value());
  const std::vector<MetadataFilter> filters = planner_filters();
  expect_index_agrees(collection, filters);

  // Every kind of change, made while the rebuild builds its indexes.
  ChangeOnFirstReport during([&] {
    ASSERT_TRUE(collection.delete_document(ids[0]));
    ASSERT_TRUE(collection.update_metadata(ids[1], random_metadata(rng)));
    Document replacement = make_document("u", random_metadata(rng));
    replacement.id = ids[2];
    ASSERT_TRUE(collection.upsert_document(std::move(replacement), embedding()).has_value());
    ASSERT_TRUE(collection.insert_document(make_document("new", random_metadata(rng)), embedding()).has_value());
    std::vector<PendingDocument> late = batch_of(Collection::PARALLEL_BATCH + 5);
    ASSERT_TRUE(collection.insert_batch(late, 2).has_value());
    ASSERT_TRUE(collection.update_metadata(ids[3], Metadata{}));
  });
  ASSERT_TRUE(collection.rebuild(2, &during).has_value());
  expect_index_agrees(collection, filters);
  EXPECT_EQ(collection.state().read()->documents.size(), ids.size() - 1 + 1 + Collection::PARALLEL_BATCH + 5);
}

}  // namespace
}  // namespace karvalith
