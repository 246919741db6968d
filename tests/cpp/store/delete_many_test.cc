// Deleting many documents in one record (by ids and by filter), reading them
// back by id and filter, counting, and get-or-create of collections.
#include <fstream>
#include <set>

#include "store/durable_test_util.h"

namespace karvalith {
namespace {

using namespace durable_testing;

// Inserts documents 0..count-1 into "a", document n with metadata
// {"n": n, "parity": "even"|"odd"}.
void fill(Store& db, std::uint32_t count) {
  ASSERT_TRUE(create(db, "a"));
  std::vector<NewDocument> batch;
  for (std::uint32_t n = 0; n < count; ++n) {
    Metadata metadata;
    metadata.insert_or_assign("n", std::int64_t{n});
    metadata.insert_or_assign("parity", std::string(n % 2 == 0 ? "even" : "odd"));
    batch.push_back(NewDocument{numbered_uuid(n), "text " + std::to_string(n), std::move(metadata), vec(n)});
  }
  ASSERT_TRUE(db.batch_insert("a", std::move(batch)));
}

FilterCondition number(FilterOp op, std::int64_t value) { return FilterCondition{"n", op, value, std::nullopt}; }

std::set<std::string> live(const Store& db) {
  const Contents all = contents(db.database());
  std::set<std::string> ids;
  for (const auto& [id, text] : all.at("a")) ids.insert(id);
  return ids;
}

void write_file(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<WalEntry> logged_entries(const fs::path& wal) {
  auto records = read_records(wal, nullptr);
  EXPECT_TRUE(records.has_value());
  std::vector<WalEntry> entries;
  for (const auto& payload : records->payloads) {
    auto entry = decode_wal_entry(payload);
    EXPECT_TRUE(entry.has_value());
    if (entry) entries.push_back(std::move(*entry));
  }
  return entries;
}

class DeleteManyTest : public DataDirTest {};

TEST_F(DeleteManyTest, ManyIdsAreOneRecordOfTheLiveOnesAndReplayToTheSameState) {
  std::set<std::string> expected;
  {
    auto db = Store::open(dir_, nullptr, CheckpointPolicy{0, 0});
    ASSERT_TRUE(db);
    fill(**db, 10);
    const std::uint64_t before = (*db)->log_records();
    // Live ids, a repeated one, one never inserted: three documents go.
    const std::vector<Uuid> ids = {numbered_uuid(2), numbered_uuid(5), numbered_uuid(2), numbered_uuid(77),
                                   numbered_uuid(9)};
    auto deleted = (*db)->delete_documents("a", ids);
    ASSERT_TRUE(deleted) << deleted.error().message;
    EXPECT_EQ(*deleted, 3u);
    EXPECT_EQ((*db)->log_records(), before + 3);

    // Nothing live among them: nothing deleted, nothing logged.
    const std::uint64_t bytes = (*db)->log_bytes();
    auto again = (*db)->delete_documents("a", ids);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, 0u);
    EXPECT_EQ((*db)->log_bytes(), bytes);
    expected = live(**db);
    EXPECT_EQ(expected.size(), 7u);
  }
  const std::vector<WalEntry> entries = logged_entries(wal_path());
  ASSERT_EQ(entries.size(), 3u);  // create, batch, one deletion
  const auto* removal = std::get_if<WalDeleteDocuments>(&entries.back().value);
  ASSERT_NE(removal, nullptr);
  EXPECT_EQ(removal->ids, (std::vector<Uuid>{numbered_uuid(2), numbered_uuid(5), numbered_uuid(9)}));

  const std::vector<std::uint8_t> log = wal_bytes();
  {
    auto db = open();
    ASSERT_TRUE(db);
    EXPECT_EQ(live(*db), expected);
    EXPECT_TRUE(db->recovery_issues().empty());
    ASSERT_TRUE(db->save("a", std::nullopt, nullptr));  // snapshot, then an empty log
  }
  // A crash between a checkpoint's snapshot and its truncation replays the
  // record over a snapshot that holds it already: the same state, no issue.
  write_file(wal_path(), log);
  auto db = open();
  ASSERT_TRUE(db);
  EXPECT_EQ(live(*db), expected);
  EXPECT_TRUE(db->recovery_issues().empty());
}

TEST_F(DeleteManyTest, ATornDeletionRecordDeletesNothing) {
  std::uint64_t start = 0;
  {
    auto db = Store::open(dir_, nullptr, CheckpointPolicy{0, 0});
    ASSERT_TRUE(db);
    fill(**db, 6);
    start = (*db)->log_bytes();
    ASSERT_TRUE((*db)->delete_documents("a", std::vector<Uuid>{numbered_uuid(1), numbered_uuid(3)}));
  }
  const std::vector<std::uint8_t> log = wal_bytes();
  for (const std::uint64_t cut : {start + 5, start + (log.size() - start) / 2, std::uint64_t{log.size()} - 1}) {
    {
      // The log as a crash in the middle of the append leaves it.
      ASSERT_TRUE(cut_back(wal_path(), cut));
      auto db = open();
      ASSERT_TRUE(db);
      EXPECT_EQ(live(*db).size(), 6u) << "cut at " << cut;
      EXPECT_TRUE(db->read_only_reason().empty());
    }
    // The whole record back: both documents are gone again.
    write_file(wal_path(), log);
    auto db = open();
    ASSERT_TRUE(db);
    EXPECT_EQ(live(*db).size(), 4u);
  }
}

TEST_F(DeleteManyTest, DeleteWhereLogsTheIdsItFoundAndReplaysThem) {
  std::set<std::string> expected;
  {
    auto db = Store::open(dir_, nullptr, CheckpointPolicy{0, 0});
    ASSERT_TRUE(db);
    fill(**db, 20);
    // n < 4 or n >= 17, and not n == 2: 0, 1, 3, 17, 18, 19.
    MetadataFilter filter;
    filter.all_of.push_back(FilterNode::any(
        {FilterNode::leaf(number(FilterOp::Lt, 4)), FilterNode::leaf(number(FilterOp::Gte, 17))}));
    filter.must_not.push_back(number(FilterOp::Eq, 2));
    auto deleted = (*db)->delete_where("a", filter);
    ASSERT_TRUE(deleted) << deleted.error().message;
    EXPECT_EQ(*deleted, 6u);
    auto none = (*db)->delete_where("a", filter);
    ASSERT_TRUE(none);
    EXPECT_EQ(*none, 0u);
    auto counted = (*db)->count("a", nullptr);
    ASSERT_TRUE(counted);
    EXPECT_EQ(*counted, 14u);
    expected = live(**db);
  }
  const std::vector<WalEntry> entries = logged_entries(wal_path());
  ASSERT_EQ(entries.size(), 3u);
  const auto& removal = std::get<WalDeleteDocuments>(entries.back().value);
  EXPECT_EQ(removal.ids.size(), 6u);
  std::set<std::string> logged;
  for (const Uuid& id : removal.ids) logged.insert(id.to_string());
  std::set<std::string> passing;
  for (const std::uint32_t n : {0, 1, 3, 17, 18, 19}) passing.insert(numbered_uuid(n).to_string());
  EXPECT_EQ(logged, passing);
  auto db = open();
  ASSERT_TRUE(db);
  EXPECT_EQ(live(*db), expected);
}

TEST_F(DeleteManyTest, TooDeepFiltersAndMissingCollectionsAreRefusedWithNothingLogged) {
  auto db = Store::ephemeral();
  fill(*db, 3);
  FilterNode deep = FilterNode::leaf(number(FilterOp::Eq, 1));
  for (std::size_t i = 0; i < MAX_FILTER_DEPTH; ++i) deep = FilterNode::negate(std::move(deep));
  MetadataFilter filter;
  filter.all_of.push_back(std::move(deep));
  auto refused = db->delete_where("a", filter);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, ErrorKind::InvalidInput);
  EXPECT_EQ(refused.error().message, "filter nests deeper than 64 levels");
  EXPECT_FALSE(db->count("a", &filter));
  EXPECT_FALSE(db->get_documents("a", DocumentQuery{std::nullopt, filter, 0, std::nullopt}));

  MetadataFilter broken;
  broken.all_of.push_back(FilterNode{FilterNode::Kind::Not, {}, {}});
  EXPECT_EQ(db->count("a", &broken).error().message, "a filter's not needs exactly one operand");

  EXPECT_EQ(db->delete_documents("b", std::vector<Uuid>{numbered_uuid(1)}).error().kind, ErrorKind::NotFound);
  EXPECT_EQ(db->delete_where("b", MetadataFilter{}).error().kind, ErrorKind::NotFound);
  EXPECT_EQ(*db->count("a", nullptr), 3u);
}

std::vector<Uuid> ids_of(const std::vector<DocumentPtr>& documents) {
  std::vector<Uuid> ids;
  for (const DocumentPtr& document : documents) ids.push_back(document->id);
  return ids;
}

TEST_F(DeleteManyTest, GetDocumentsFollowsTheIdsOrSlotOrderThenOffsetAndLimit) {
  auto db = Store::ephemeral();
  fill(*db, 8);
  ASSERT_TRUE(db->delete_document("a", numbered_uuid(4)));
  MetadataFilter even;
  even.must.push_back(FilterCondition{"parity", FilterOp::Eq, std::string("even"), std::nullopt});

  auto all = db->get_documents("a", DocumentQuery{});
  ASSERT_TRUE(all);
  EXPECT_EQ(ids_of(*all), (std::vector<Uuid>{numbered_uuid(0), numbered_uuid(1), numbered_uuid(2), numbered_uuid(3),
                                             numbered_uuid(5), numbered_uuid(6), numbered_uuid(7)}));
  auto page = db->get_documents("a", DocumentQuery{std::nullopt, even, 1, 2});
  ASSERT_TRUE(page);
  EXPECT_EQ(ids_of(*page), (std::vector<Uuid>{numbered_uuid(2), numbered_uuid(6)}));
  EXPECT_EQ((*page)[0]->text, "text 2");

  // Given ids: their order, missing, deleted and repeated ones skipped; the
  // filter, offset and limit apply to what is left.
  const std::vector<Uuid> asked = {numbered_uuid(6), numbered_uuid(4), numbered_uuid(99), numbered_uuid(1),
                                   numbered_uuid(6), numbered_uuid(0), numbered_uuid(2)};
  EXPECT_EQ(ids_of(*db->get_documents("a", DocumentQuery{asked, std::nullopt, 0, std::nullopt})),
            (std::vector<Uuid>{numbered_uuid(6), numbered_uuid(1), numbered_uuid(0), numbered_uuid(2)}));
  EXPECT_EQ(ids_of(*db->get_documents("a", DocumentQuery{asked, even, 1, 1})),
            (std::vector<Uuid>{numbered_uuid(0)}));
  EXPECT_TRUE(db->get_documents("a", DocumentQuery{asked, even, 0, 0})->empty());
  EXPECT_TRUE(db->get_documents("a", DocumentQuery{std::nullopt, even, 50, std::nullopt})->empty());
  EXPECT_EQ(*db->count("a", &even), 3u);
}

TEST_F(DeleteManyTest, CreateWithExistOkReturnsAMatchingCollectionAndNamesEveryDifference) {
  auto db = open();
  ASSERT_TRUE(db);
  CollectionOptions options;
  options.m = 8;
  options.distance_metric = "euclidean";
  ASSERT_TRUE(db->create_collection("a", 4, options));
  ASSERT_TRUE(insert(*db, "a", 1));
  const std::uint64_t bytes = db->log_bytes();

  // The same definition, or one that leaves the tuning out: nothing happens.
  EXPECT_TRUE(db->create_collection("a", 4, options, true));
  CollectionOptions metric_only;
  metric_only.distance_metric = "euclidean";
  EXPECT_TRUE(db->create_collection("a", 4, metric_only, true));
  EXPECT_EQ(db->log_bytes(), bytes);
  EXPECT_EQ(*db->count("a", nullptr), 1u);

  // The metric is cosine when not given.
  Status other = db->create_collection("a", 5, CollectionOptions{}, true);
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().kind, ErrorKind::InvalidInput);
  EXPECT_EQ(other.error().message,
            "collection 'a' already exists with dimension 4 (asked 5), distance_metric 'euclidean' (asked 'cosine')");
  CollectionOptions tuned = metric_only;
  tuned.m = 16;
  tuned.store_raw_vectors = true;
  EXPECT_EQ(db->create_collection("a", 4, tuned, true).error().message,
            "collection 'a' already exists with m 8 (asked 16), store_raw_vectors False (asked True)");
  // Without exist_ok the old refusal; bad options are refused either way.
  EXPECT_EQ(db->create_collection("a", 4, options).error().message, "Collection 'a' already exists");
  CollectionOptions bad;
  bad.distance_metric = "manhattan";
  EXPECT_NE(db->create_collection("a", 4, bad, true).error().message.find("unknown distance metric"),
            std::string::npos);
  EXPECT_EQ(db->log_bytes(), bytes);

  // A new name with exist_ok is simply created.
  EXPECT_TRUE(db->create_collection("b", 3, CollectionOptions{}, true));
  EXPECT_EQ(db->list_collections().size(), 2u);
}

}  // namespace
}  // namespace karvalith
