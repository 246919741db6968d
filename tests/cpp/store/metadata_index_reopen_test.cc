// The metadata index after a reopen: rebuilt by log replay, and from a
// snapshot after compact, it answers filters as the documents do.
#include <string>
#include <vector>

#include "core/engine/collection_search.h"
#include "engine/collection_test_util.h"
#include "store/durable_test_util.h"

namespace karvalith {
namespace {

using namespace durable_testing;
using testing::clause;
using testing::expect_index_agrees;
using testing::filter_of;

class MetadataIndexReopen : public DataDirTest {};

Metadata tagged(std::uint32_t n) {
  Metadata metadata;
  metadata.insert_or_assign("n", static_cast<std::int64_t>(n % 10));
  metadata.insert_or_assign("colour", std::string(n % 3 == 0 ? "red" : "blue"));
  return metadata;
}

std::vector<MetadataFilter> filters() {
  return {filter_of({clause("colour", FilterOp::Eq, std::string("red"))}),
          filter_of({clause("n", FilterOp::Gte, std::int64_t{5})}, {clause("colour", FilterOp::Eq, std::string("blue"))}),
          filter_of({clause("n", FilterOp::Ne, 2.0)}), filter_of({})};
}

// Ids of the filtered vector search, in rank order.
std::vector<Uuid> searched(const Store& db, const MetadataFilter& filter) {
  SearchRequest request;
  request.embedding = vec(3);
  request.k = 100;
  request.filter = filter;
  auto hits = db.search("c", request);
  EXPECT_TRUE(hits.has_value());
  std::vector<Uuid> ids;
  for (const auto& hit : hits.value_or(std::vector<ScoredDocument>{})) ids.push_back(hit.document->id);
  return ids;
}

TEST_F(MetadataIndexReopen, ReplayAndSnapshotRebuildTheSameIndex) {
  std::vector<std::vector<Uuid>> before;
  {
    auto db = open();
    ASSERT_TRUE(db);
    ASSERT_TRUE(create(*db, "c"));
    for (std::uint32_t n = 0; n < 60; ++n) {
      ASSERT_TRUE(db->insert("c", NewDocument{numbered_uuid(n), "t", tagged(n), vec(n)}).has_value());
    }
    for (std::uint32_t n = 0; n < 60; n += 4) ASSERT_TRUE(remove(*db, "c", n));
    for (std::uint32_t n = 1; n < 60; n += 5) ASSERT_TRUE(db->update_metadata("c", numbered_uuid(n), tagged(n + 1)));
    for (std::uint32_t n = 2; n < 60; n += 7) {
      ASSERT_TRUE(db->upsert("c", NewDocument{numbered_uuid(n), "u", tagged(n + 2), vec(n + 1)}).has_value());
    }
    for (const MetadataFilter& filter : filters()) before.push_back(searched(*db, filter));
  }
  for (const char* stage : {"replayed", "from snapshot"}) {
    SCOPED_TRACE(stage);
    auto db = open();
    ASSERT_TRUE(db);
    expect_index_agrees(*db->database().get_collection("c"), filters());
    for (std::size_t f = 0; f < filters().size(); ++f) EXPECT_EQ(searched(*db, filters()[f]), before[f]);
    ASSERT_TRUE(db->compact());
  }
}

}  // namespace
}  // namespace karvalith
