// Stopping a batch insert and a rebuild through their Progress.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/engine/collection.h"
#include "engine/collection_test_util.h"
#include "engine/stop_after_progress.h"

namespace karvalith {
namespace {

using testing::make_document;
using testing::nearest_slot;
using testing::reports_are_monotone;
using testing::StopAfter;

constexpr std::uint64_t DIM = 16;

// Random directions, far enough apart that each is its own nearest neighbour.
std::vector<float> vector_of(std::size_t n) {
  std::mt19937 random(static_cast<std::uint32_t>(n + 1));
  std::normal_distribution<float> normal;
  std::vector<float> v(DIM);
  for (float& x : v) x = normal(random);
  return v;
}

std::vector<PendingDocument> batch(std::size_t count) {
  std::vector<PendingDocument> documents;
  for (std::size_t n = 0; n < count; ++n) {
    documents.push_back(PendingDocument{make_document("word" + std::to_string(n)), vector_of(n)});
  }
  return documents;
}

// Every third document is its own nearest neighbour, through the graph.
void expect_each_finds_itself(const Collection& collection, const std::vector<PendingDocument>& documents,
                              std::size_t count) {
  for (std::size_t n = 0; n < count; n += 3) {
    const long long slot = nearest_slot(collection, vector_of(n));
    ASSERT_GE(slot, 0);
    auto state = collection.state().read();
    EXPECT_EQ(state->internal_to_uuid[static_cast<std::size_t>(slot)], documents[n].document.id) << n;
  }
}

TEST(BatchProgress, AnUnstoppedBatchReportsUpToItsSize) {
  for (unsigned threads : {1u, 2u}) {
    Collection collection("c", DIM, HnswConfig{});
    std::vector<PendingDocument> documents = batch(300);
    StopAfter progress;
    ASSERT_TRUE(collection.insert_batch(documents, threads, &progress).has_value());
    ASSERT_FALSE(progress.reports.empty());
    EXPECT_TRUE(reports_are_monotone(progress.reports)) << threads;
    EXPECT_EQ(progress.reports.front(), std::make_pair(std::uint64_t{0}, std::uint64_t{300}));
    EXPECT_EQ(progress.reports.back(), std::make_pair(std::uint64_t{300}, std::uint64_t{300}));
    EXPECT_EQ(collection.live_ids().size(), 300u);
  }
}

TEST(BatchProgress, AStopKeepsAPrefixPlacedAndLeavesTheRestUntouched) {
  // One thread reports per document. With two, 2000 documents take at
  // least four chunks (a chunk grows at most four times, to 1024), so every
  // stop below comes before the last.
  for (unsigned threads : {1u, 2u}) {
    const std::size_t count = threads == 1 ? 200 : 2000;
    for (std::size_t stop : {0u, 1u, 3u}) {
      Collection collection("c", DIM, HnswConfig{});
      std::vector<PendingDocument> documents = batch(count);
      const std::vector<PendingDocument> copy = documents;
      StopAfter progress(stop);
      Status inserted = collection.insert_batch(documents, threads, &progress);
      ASSERT_FALSE(inserted.has_value()) << threads << " " << stop;
      EXPECT_EQ(inserted.error().kind, ErrorKind::Cancelled);
      EXPECT_TRUE(reports_are_monotone(progress.reports));
      const std::size_t placed = collection.live_ids().size();
      // The last report was the stop, made before the chunk it names.
      EXPECT_EQ(placed, progress.reports.back().first) << threads << " " << stop;
      if (threads == 1) {
        EXPECT_EQ(placed, stop);
      }
      EXPECT_LT(placed, count);
      const std::vector<Uuid> live = collection.live_ids();
      for (std::size_t n = 0; n < placed; ++n) EXPECT_EQ(live[n], copy[n].document.id);
      for (std::size_t n = placed; n < documents.size(); ++n) {
        EXPECT_EQ(documents[n].embedding, copy[n].embedding) << n;  // not consumed
        EXPECT_EQ(documents[n].document.text, copy[n].document.text) << n;
      }
      expect_each_finds_itself(collection, copy, placed);

      // The rest goes in afterwards as if nothing had happened.
      if (stop != 1) continue;
      ASSERT_TRUE(collection.insert_batch(std::span(documents).subspan(placed), threads).has_value());
      EXPECT_EQ(collection.live_ids().size(), count);
      expect_each_finds_itself(collection, copy, count);
    }
  }
}

// What a rebuild must leave alone when stopped: the graph, the slots and
// the deleted nodes.
struct Fingerprint {
  std::uint32_t nodes;
  std::vector<Uuid> slots;
  std::uint64_t deleted;
  std::vector<long long> nearest;
  bool operator==(const Fingerprint&) const = default;
};

Fingerprint fingerprint(const Collection& collection, std::size_t count) {
  Fingerprint print;
  {
    auto state = collection.state().read();
    print.nodes = state->hnsw.node_count();
    print.slots.assign(state->internal_to_uuid.begin(), state->internal_to_uuid.end());
  }
  print.deleted = summarize(collection).deleted_slots;
  for (std::size_t n = 0; n < count; ++n) print.nearest.push_back(nearest_slot(collection, vector_of(n)));
  return print;
}

// 400 documents, every third deleted.
void fill(Collection& collection) {
  std::vector<PendingDocument> documents = batch(400);
  std::vector<Uuid> ids;
  for (const PendingDocument& pending : documents) ids.push_back(pending.document.id);
  ASSERT_TRUE(collection.insert_batch(documents, 2).has_value());
  for (std::size_t n = 0; n < ids.size(); n += 3) ASSERT_TRUE(collection.delete_document(ids[n]));
}

TEST(RebuildProgress, AStoppedRebuildKeepsTheOldIndexesAtEveryStopPoint) {
  const HnswConfig config;
  // Stops while the keyword index is built, before linking, after the
  // first chunk; at the last report, before the swap.
  struct Stop {
    std::size_t calls;
    bool on_complete;
  };
  std::vector<Stop> stops = {{0, false}, {1, false}, {2, false}, {SIZE_MAX, true}};
  for (const Stop& stop : stops) {
    Collection collection("c", DIM, config);
    fill(collection);
    const Fingerprint before = fingerprint(collection, 400);
    EXPECT_GT(before.deleted, 0u);
    StopAfter progress(stop.calls);
    progress.stop_on_complete = stop.on_complete;
    Result<std::uint64_t> rebuilt = collection.rebuild(2, &progress);
    ASSERT_FALSE(rebuilt.has_value()) << "stop " << stop.calls;
    EXPECT_EQ(rebuilt.error().kind, ErrorKind::Cancelled);
    EXPECT_NE(rebuilt.error().message.find("keeps its old indexes"), std::string::npos);
    EXPECT_TRUE(fingerprint(collection, 400) == before) << "stop " << stop.calls;
    EXPECT_TRUE(reports_are_monotone(progress.reports));

    // A rebuild afterwards still works, and reports up to its size.
    StopAfter full;
    Result<std::uint64_t> again = collection.rebuild(2, &full);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(summarize(collection).deleted_slots, 0u);
    EXPECT_TRUE(reports_are_monotone(full.reports));
    EXPECT_EQ(full.reports.back(), std::make_pair(*again, *again));
  }
}

}  // namespace
}  // namespace karvalith
