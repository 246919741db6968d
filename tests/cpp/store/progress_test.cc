// Long store calls stopped through their Progress: what each keeps, in
// memory and on disk, and the events the store reports.
#include <fstream>
#include <set>
#include <variant>

#include "core/snapshot/snapshot_file.h"
#include "engine/stop_after_progress.h"
#include "store/durable_test_util.h"

namespace karvalith {
namespace {

using namespace durable_testing;
using testing::reports_are_monotone;
using testing::StopAfter;

class ProgressTest : public DataDirTest {
 protected:
  static std::vector<NewDocument> batch(std::uint32_t first, std::uint32_t count) {
    std::vector<NewDocument> documents;
    for (std::uint32_t n = first; n < first + count; ++n) {
      Document document = doc(n);
      documents.push_back(NewDocument{document.id, document.text, {}, vec(n)});
    }
    return documents;
  }
  std::set<std::string> files() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.insert(entry.path().filename().string());
    return names;
  }
};

TEST_F(ProgressTest, ABatchStoppedBeforeItIsLoggedLeavesNothing) {
  auto db = open();
  ASSERT_TRUE(create(*db, "c"));
  const std::vector<std::uint8_t> log_before = wal_bytes();
  StopAfter progress(0);
  auto inserted = db->batch_insert("c", batch(0, 300), 2, &progress);
  ASSERT_FALSE(inserted.has_value());
  EXPECT_EQ(inserted.error().kind, ErrorKind::Cancelled);
  EXPECT_NE(inserted.error().message.find("none of the 300 documents"), std::string::npos);
  EXPECT_EQ(wal_bytes(), log_before);
  EXPECT_EQ(contents(db->database())["c"].size(), 0u);
  db.reset();
  EXPECT_EQ(contents(open()->database())["c"].size(), 0u);
}

TEST_F(ProgressTest, ABatchStoppedWhileLinkingIsRolledBackInMemoryAndInTheLog) {
  for (unsigned threads : {1u, 2u}) {
    // Past the check before the log: at once, or after one chunk (or document).
    for (std::size_t stop : {1u, 2u}) {
      auto db = open();
      ASSERT_TRUE(create(*db, "c"));
      ASSERT_TRUE(insert(*db, "c", 1000));
      const std::uint64_t records = db->log_records();
      StopAfter progress(stop);
      auto inserted = db->batch_insert("c", batch(0, 300), threads, &progress);
      ASSERT_FALSE(inserted.has_value()) << threads << " " << stop;
      EXPECT_EQ(inserted.error().kind, ErrorKind::Cancelled);
      EXPECT_NE(inserted.error().message.find("rolled back: none of its 300 documents was kept"), std::string::npos)
          << inserted.error().message;
      const std::uint64_t linked = progress.reports.back().first;
      EXPECT_EQ(linked, stop == 1 ? 0u : threads == 1 ? 1u : Collection::PARALLEL_BATCH);
      EXPECT_NE(inserted.error().message.find("after linking " + std::to_string(linked) + " of 300"),
                std::string::npos);
      // Only the document from before is live; the linked ones left deleted slots.
      const Contents live = contents(db->database());
      EXPECT_EQ(live.at("c").size(), 1u);
      EXPECT_EQ(db->collection_info("c")->deleted_slots, linked);
      EXPECT_EQ(db->log_records(), records + 600);  // the batch and its removal
      db.reset();

      // The reopened log agrees, without linking the batch again.
      db = open();
      EXPECT_EQ(contents(db->database()), live);
      EXPECT_EQ(db->collection_info("c")->deleted_slots, 0u);
      // The same batch may be inserted again.
      ASSERT_TRUE(db->batch_insert("c", batch(0, 300), threads).has_value());
      EXPECT_EQ(contents(db->database()).at("c").size(), 301u);
      db.reset();
      fs::remove_all(dir_);
    }
  }
}

TEST_F(ProgressTest, ABatchWhoseRollbackCannotBeLoggedIsFinished) {
  auto db = open();
  ASSERT_TRUE(create(*db, "c"));
  (void)db->take_events();
  StopAfter progress(2);
  Result<std::vector<Uuid>> inserted;
  {
    // The batch's record is written; the removal's write fails.
    ScopedFileFault fault(files_, {.op = FileOp::Write, .error = ENOSPC, .succeed_first = 1, .fail_count = 0});
    inserted = db->batch_insert("c", batch(0, 300), 2, &progress);
  }
  ASSERT_TRUE(inserted.has_value()) << inserted.error().message;
  EXPECT_EQ(inserted->size(), 300u);
  const Contents live = contents(db->database());
  EXPECT_EQ(live.at("c").size(), 300u);
  std::vector<StoreEvent> events = db->take_events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(std::get<ProblemEvent>(events[0]).message.find("could not be rolled back"), std::string::npos);
  db.reset();
  EXPECT_EQ(contents(open()->database()), live);
}

TEST_F(ProgressTest, AnEphemeralBatchIsRolledBackToo) {
  auto db = Store::ephemeral();
  ASSERT_TRUE(create(*db, "c"));
  StopAfter progress(2);
  auto inserted = db->batch_insert("c", batch(0, 300), 2, &progress);
  ASSERT_FALSE(inserted.has_value());
  EXPECT_EQ(inserted.error().kind, ErrorKind::Cancelled);
  EXPECT_EQ(db->collection_info("c")->document_count, 0u);
}

TEST_F(ProgressTest, ReplaySkipsOnlyABatchRolledBackByTheNextRecordOfItsCollection) {
  Contents live;
  {
    auto db = open();
    ASSERT_TRUE(create(*db, "c"));
    ASSERT_TRUE(create(*db, "other"));
    // Rolled back: the batch and its removal, with another collection's record between.
    ASSERT_TRUE(db->batch_insert("c", batch(0, 100)).has_value());
    ASSERT_TRUE(insert(*db, "other", 1));
    std::vector<Uuid> ids;
    for (std::uint32_t n = 0; n < 100; ++n) ids.push_back(numbered_uuid(n));
    ASSERT_TRUE(db->delete_documents("c", ids).has_value());
    // Not a rollback: a delete of the same ids that follows another change.
    ASSERT_TRUE(db->batch_insert("c", batch(100, 50)).has_value());
    ASSERT_TRUE(insert(*db, "c", 500));
    ids.clear();
    for (std::uint32_t n = 100; n < 150; ++n) ids.push_back(numbered_uuid(n));
    ASSERT_TRUE(db->delete_documents("c", ids).has_value());
    live = contents(db->database());
    EXPECT_EQ(live.at("c").size(), 1u);
    EXPECT_EQ(db->collection_info("c")->deleted_slots, 150u);
  }
  auto db = open();
  EXPECT_EQ(contents(db->database()), live);
  EXPECT_EQ(db->collection_info("c")->deleted_slots, 50u);  // the first batch was never linked
}

TEST_F(ProgressTest, AStoppedCompactKeepsTheLogAndLosesNothing) {
  auto db = open();
  for (const char* name : {"a", "b", "c"}) {
    ASSERT_TRUE(create(*db, name));
    ASSERT_TRUE(db->batch_insert(name, batch(0, 50)).has_value());
  }
  const Contents live = contents(db->database());
  const std::uint64_t records = db->log_records();
  for (std::size_t stop : {0u, 1u, 2u, 3u}) {
    StopAfter progress(stop);
    Status compacted = db->compact(&progress);
    ASSERT_FALSE(compacted.has_value()) << stop;
    EXPECT_EQ(compacted.error().kind, ErrorKind::Cancelled);
    EXPECT_NE(compacted.error().message.find("the log was kept"), std::string::npos);
    EXPECT_EQ(db->log_records(), records);
    for (const std::string& name : files()) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
  }
  db.reset();
  EXPECT_EQ(contents(open()->database()), live);
}

TEST_F(ProgressTest, AStoppedSaveLeavesTheOldSnapshot) {
  auto db = open();
  ASSERT_TRUE(create(*db, "c"));
  ASSERT_TRUE(db->batch_insert("c", batch(0, 100)).has_value());
  ASSERT_TRUE(db->compact());
  const fs::path snapshot = fs::path(dir_) / "c.kvl";
  const std::vector<std::uint8_t> before = read_file(snapshot).value();
  ASSERT_TRUE(db->batch_insert("c", batch(100, 100)).has_value());
  for (std::size_t stop : {0u, 1u}) {
    StopAfter progress(stop);
    Status saved = db->save("c", std::nullopt, nullptr, &progress);
    ASSERT_FALSE(saved.has_value());
    EXPECT_EQ(saved.error().kind, ErrorKind::Cancelled);
    EXPECT_EQ(read_file(snapshot).value(), before);
    EXPECT_FALSE(fs::exists(fs::path(dir_) / "c.kvl.tmp"));
    EXPECT_EQ(db->log_records(), 100u);
  }
  StopAfter full;
  ASSERT_TRUE(db->save("c", std::nullopt, nullptr, &full));
  EXPECT_TRUE(reports_are_monotone(full.reports));
  EXPECT_EQ(full.reports.back().first, fs::file_size(snapshot));
  EXPECT_EQ(db->log_records(), 0u);
}

TEST_F(ProgressTest, AStoppedLoadChangesNothingAndLeavesNoStagedFile) {
  auto db = open();
  ASSERT_TRUE(create(*db, "c"));
  ASSERT_TRUE(db->batch_insert("c", batch(0, 100)).has_value());
  const std::string elsewhere = (root_ / "elsewhere").string();
  ASSERT_TRUE(db->save("c", elsewhere, nullptr));
  ASSERT_TRUE(db->batch_insert("c", batch(100, 10)).has_value());
  const Contents live = contents(db->database());
  const std::vector<std::uint8_t> log_before = wal_bytes();
  // Five reading steps, then staging, then the check before the log.
  for (std::size_t stop = 0; stop <= LOAD_STEPS + 1; ++stop) {
    StopAfter progress(stop);
    Status loaded = db->load("c", elsewhere, nullptr, &progress);
    ASSERT_FALSE(loaded.has_value()) << stop;
    EXPECT_EQ(loaded.error().kind, ErrorKind::Cancelled);
    EXPECT_EQ(contents(db->database()), live);
    EXPECT_EQ(wal_bytes(), log_before);
    for (const std::string& name : files()) EXPECT_EQ(name.find(".loading"), std::string::npos) << name;
  }
  StopAfter full;
  ASSERT_TRUE(db->load("c", elsewhere, nullptr, &full));
  EXPECT_EQ(full.reports.back(), std::make_pair(LOAD_STEPS + 1, LOAD_STEPS + 1));
  EXPECT_EQ(contents(db->database())["c"].size(), 100u);
}

TEST_F(ProgressTest, AStoppedOpenLosesNothingAndFreesTheDirectory) {
  Contents live;
  {
    auto db = open();
    ASSERT_TRUE(create(*db, "c"));
    ASSERT_TRUE(db->compact());
    ASSERT_TRUE(db->batch_insert("c", batch(0, 200), 2).has_value());
    for (std::uint32_t n = 200; n < 210; ++n) ASSERT_TRUE(insert(*db, "c", n));
    live = contents(db->database());
  }
  // Stopped while loading the snapshot, reading the log, replaying it.
  for (std::size_t stop : {0u, 3u, 6u, 8u, 12u}) {
    StopAfter progress(stop);
    auto opened = Store::open(dir_, nullptr, {}, &progress);
    ASSERT_FALSE(opened.has_value()) << stop;
    EXPECT_EQ(opened.error().kind, ErrorKind::Cancelled);
    EXPECT_NE(opened.error().message.find("nothing in the directory was lost"), std::string::npos);
  }
  StopAfter full;
  auto opened = Store::open(dir_, nullptr, {}, &full);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(contents((*opened)->database()), live);
  EXPECT_TRUE(reports_are_monotone(full.reports));
  EXPECT_EQ(full.reports.back(), std::make_pair(std::uint64_t{210}, std::uint64_t{210}));
}

TEST_F(ProgressTest, EventsTellOpensRecoveriesAndCheckpoints) {
  {
    auto db = open();
    std::vector<StoreEvent> events = db->take_events();
    ASSERT_EQ(events.size(), 1u);  // a fresh directory: nothing to recover
    const auto* opened = std::get_if<OpenedEvent>(&events[0]);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->data_dir, dir_);
    EXPECT_EQ(opened->collections, 0u);
    EXPECT_TRUE(db->take_events().empty());

    ASSERT_TRUE(create(*db, "a"));
    ASSERT_TRUE(create(*db, "b"));
    ASSERT_TRUE(db->batch_insert("a", batch(0, 30)).has_value());
    ASSERT_TRUE(insert(*db, "b", 100));
    std::map<std::string, std::uint64_t> expected = {{"a", 31}, {"b", 2}};  // creations count one
    EXPECT_EQ(db->log_records_by_collection(), expected);
    EXPECT_TRUE(db->take_events().empty());
  }
  {
    auto db = open();
    std::vector<StoreEvent> events = db->take_events();
    ASSERT_EQ(events.size(), 2u);
    const auto* opened = std::get_if<OpenedEvent>(&events[0]);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->collections, 2u);
    EXPECT_EQ(opened->documents, 31u);
    const auto* recovered = std::get_if<RecoveredEvent>(&events[1]);
    ASSERT_NE(recovered, nullptr);
    EXPECT_EQ(recovered->log_records, 4u);
    EXPECT_EQ(recovered->log_documents, 33u);
    EXPECT_EQ(recovered->unapplied, 0u);

    ASSERT_TRUE(db->compact());
    events = db->take_events();
    ASSERT_EQ(events.size(), 1u);
    const auto* checkpoint = std::get_if<CheckpointEvent>(&events[0]);
    ASSERT_NE(checkpoint, nullptr);
    EXPECT_EQ(checkpoint->trigger, CheckpointEvent::Trigger::Compact);
    EXPECT_EQ(checkpoint->snapshots, 2u);
    EXPECT_EQ(checkpoint->bytes, fs::file_size(fs::path(dir_) / "a.kvl") + fs::file_size(fs::path(dir_) / "b.kvl"));
    EXPECT_TRUE(checkpoint->log_emptied);
    EXPECT_GT(checkpoint->log_bytes, 0u);
    EXPECT_TRUE(db->log_records_by_collection().empty());
  }
  {
    // A torn tail is reported as recovered and as a problem.
    std::ofstream(wal_path(), std::ios::app | std::ios::binary) << "torn";
    auto opened = Store::open(dir_, nullptr, CheckpointPolicy{0, 20});
    ASSERT_TRUE(opened.has_value());
    std::vector<StoreEvent> events = (*opened)->take_events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(std::get<RecoveredEvent>(events[1]).torn_bytes, 4u);
    EXPECT_NE(std::get<ProblemEvent>(events[2]).message.find("torn tail"), std::string::npos);

    // Past the policy's 20 records, the change checkpoints by itself.
    ASSERT_TRUE((*opened)->batch_insert("a", batch(200, 25)).has_value());
    events = (*opened)->take_events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(std::get<CheckpointEvent>(events[0]).trigger, CheckpointEvent::Trigger::Automatic);
    EXPECT_EQ((*opened)->log_records(), 0u);
  }
}

}  // namespace
}  // namespace karvalith
