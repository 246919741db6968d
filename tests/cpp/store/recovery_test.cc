// Replay rules, torn tails, unreadable logs and the directory lock.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "core/store/replay.h"
#include "store/durable_test_util.h"

namespace karvalith {
namespace {

using namespace durable_testing;

WalEntry create_entry(const std::string& name, std::uint64_t dim) {
  return WalEntry{WalCreateCollection{name, dim, HnswConfig{}}};
}
WalEntry insert_entry(const std::string& name, std::uint32_t n, const std::string& text = "") {
  return WalEntry{WalInsertDocument{name, doc(n, text), vec(n)}};
}
WalEntry delete_entry(const std::string& name, std::uint32_t n) {
  return WalEntry{WalDeleteDocument{name, numbered_uuid(n)}};
}

// Replays copies of `entries` (record i at offset i); loads are not expected.
std::vector<RecoveryIssue> replay_wal(Database& database, std::span<const WalEntry> entries) {
  std::vector<LoggedChange> changes;
  for (std::size_t i = 0; i < entries.size(); ++i) changes.push_back(LoggedChange{entries[i], i});
  return *replay(database, std::move(changes), [](const WalLoadCollection&) {
    ADD_FAILURE() << "unexpected load";
    return ApplyOutcome{};
  });
}

TEST(ReplayWal, AppliesEachVariantByItsRule) {
  std::vector<WalEntry> entries;
  entries.push_back(create_entry("a", 4));
  entries.push_back(create_entry("a", 8));  // name taken: the first stays
  entries.push_back(insert_entry("a", 1, "first"));
  entries.push_back(insert_entry("a", 1, "second"));  // live id: skipped
  entries.push_back(insert_entry("missing", 2));      // no collection: nothing
  entries.push_back(WalEntry{WalBatchInsert{"a", {{doc(3, "three"), vec(3)}, {doc(3, "again"), vec(3)}, {doc(4), vec(4)}}}});
  entries.push_back(delete_entry("a", 4));
  entries.push_back(delete_entry("a", 99));  // absent id: nothing
  entries.push_back(WalEntry{WalUpdateDocument{"a", numbered_uuid(1), doc(1, "updated"), vec(1)}});
  entries.push_back(WalEntry{WalUpdateDocument{"a", numbered_uuid(5), doc(5, "upserted"), vec(5)}});
  entries.push_back(create_entry("gone", 4));
  entries.push_back(WalEntry{WalDeleteCollection{"gone"}});
  entries.push_back(WalEntry{WalDeleteCollection{"never"}});

  Database database;
  const std::vector<RecoveryIssue> issues = replay_wal(database, entries);
  const Contents got = contents(database);
  ASSERT_EQ(got.size(), 1u);
  // Records that could not be applied are reported, not dropped silently: the
  // create with another dimension, and the insert into a missing collection
  // (which means data is missing). Skipped live ids are no problem.
  ASSERT_EQ(issues.size(), 2u);
  EXPECT_EQ(issues[0].offset, 1u);
  EXPECT_FALSE(issues[0].data_missing);
  EXPECT_NE(issues[0].reason.find("another dimension"), std::string::npos) << issues[0].reason;
  EXPECT_EQ(issues[1].offset, 4u);
  EXPECT_EQ(issues[1].collection, "missing");
  EXPECT_TRUE(issues[1].data_missing);
  EXPECT_EQ(database.get_collection("a")->state().read()->dimension, 4u);
  const Contents want = {{"a",
                          {{numbered_uuid(1).to_string(), "updated"},
                           {numbered_uuid(3).to_string(), "three"},
                           {numbered_uuid(5).to_string(), "upserted"}}}};
  EXPECT_EQ(got, want);
}

TEST(ReplayWal, EveryPrefixAlreadyAppliedReplaysToTheSameState) {
  // A snapshot holds the effect of some prefix of the log; replaying the whole
  // log on top of it must land on the state of replaying it on nothing.
  std::vector<WalEntry> entries;
  entries.push_back(create_entry("a", 4));
  for (std::uint32_t n = 0; n < 6; ++n) entries.push_back(insert_entry("a", n));
  entries.push_back(delete_entry("a", 2));
  entries.push_back(delete_entry("a", 4));
  entries.push_back(create_entry("b", 4));
  entries.push_back(WalEntry{WalBatchInsert{"b", {{doc(7), vec(7)}, {doc(8), vec(8)}}}});
  entries.push_back(delete_entry("b", 7));
  // Upserts, a metadata update and a deleted id coming back.
  entries.push_back(WalEntry{WalUpdateDocument{"a", numbered_uuid(1), doc(1, "replaced"), vec(11)}});
  entries.push_back(WalEntry{WalUpdateDocument{"a", numbered_uuid(9), doc(9, "upserted"), vec(9)}});
  Metadata metadata;
  metadata.insert_or_assign("k", std::string("v"));
  entries.push_back(WalEntry{WalUpdateMetadata{"a", numbered_uuid(1), metadata}});
  entries.push_back(insert_entry("b", 7, "back"));
  entries.push_back(WalEntry{WalUpdateDocument{"a", numbered_uuid(1), doc(1, "replaced twice"), vec(12)}});
  // An update whose document carries another id: the named one goes, the
  // document is stored under its own id.
  entries.push_back(WalEntry{WalUpdateDocument{"a", numbered_uuid(3), doc(13, "renamed"), vec(13)}});

  Database reference;
  EXPECT_TRUE(replay_wal(reference, entries).empty());
  const Contents want = contents(reference);
  EXPECT_EQ(want.at("a").count(numbered_uuid(3).to_string()), 0u);
  EXPECT_EQ(want.at("a").at(numbered_uuid(13).to_string()), "renamed");
  EXPECT_EQ(want.at("a").at(numbered_uuid(1).to_string()), "replaced twice");
  for (std::size_t prefix = 0; prefix <= entries.size(); ++prefix) {
    Database database;
    replay_wal(database, std::span(entries).first(prefix));
    EXPECT_TRUE(replay_wal(database, entries).empty()) << "prefix " << prefix;
    EXPECT_EQ(contents(database), want) << "prefix " << prefix;
    for (const std::string& name : database.list_collections()) {
      auto state = database.get_collection(name)->state().read();
      EXPECT_EQ(state->uuid_to_internal.size(), state->internal_to_uuid.size()) << "an id holds two slots";
    }
  }
}

TEST(ReplayWal, ReinsertOfADeletedIdTakesANewSlotWithoutARebuild) {
  // insert, delete, insert the same id again (no rebuild in between).
  std::vector<WalEntry> entries = {create_entry("a", 4), insert_entry("a", 1, "old"), delete_entry("a", 1),
                                   insert_entry("a", 1, "new")};
  Database database;
  replay_wal(database, entries);
  CollectionPtr a = database.get_collection("a");
  ASSERT_NE(a->get_document(numbered_uuid(1)), nullptr);
  EXPECT_EQ(a->get_document(numbered_uuid(1))->text, "new");
  auto state = a->state().read();
  EXPECT_EQ(state->uuid_to_internal.size(), state->internal_to_uuid.size());
  EXPECT_EQ(state->internal_to_uuid.size(), 2u) << "the old slot is kept, not rebuilt away";
  EXPECT_EQ(state->slot_of(numbered_uuid(1)), 1u);
}

class RecoveryTest : public DataDirTest {};

TEST_F(RecoveryTest, MissingDirectoryIsCreatedWithAnEmptyLogAndChangesComeBackFromIt) {
  {
    auto db = open();
    ASSERT_TRUE(db);
    EXPECT_TRUE(fs::is_directory(dir_));
    EXPECT_EQ(fs::file_size(wal_path()), 0u);
    EXPECT_EQ(fs::status(wal_path()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(create(*db, "a"));
    ASSERT_TRUE(insert(*db, "a", 1));
    ASSERT_TRUE(insert(*db, "a", 2));
    ASSERT_TRUE(remove(*db, "a", 1));
  }
  auto db = open();
  ASSERT_TRUE(db);
  const Contents want = {{"a", {{numbered_uuid(2).to_string(), "text number 2"}}}};
  EXPECT_EQ(contents(db->database()), want);
}

TEST_F(RecoveryTest, TornTailsAreCutBackAndLaterRecordsStayVisible) {
  {
    auto db = open();
    ASSERT_TRUE(create(*db, "a"));
    ASSERT_TRUE(insert(*db, "a", 1));
  }
  const std::uintmax_t good = fs::file_size(wal_path());
  const std::vector<std::vector<std::uint8_t>> tails = {
      {0x00, 0x00, 0x01},                                // partial header
      {0x00, 0x00, 0x00, 0x64, 0x12, 0x34, 0x56, 0x78, 1, 2, 3},  // payload shorter than its length
  };
  std::uint32_t next = 2;
  for (const auto& tail : tails) {
    {
      std::ofstream out(wal_path(), std::ios::binary | std::ios::app);
      out.write(reinterpret_cast<const char*>(tail.data()), static_cast<std::streamsize>(tail.size()));
    }
    const std::uintmax_t before = fs::file_size(wal_path());
    {
      auto db = open();
      ASSERT_TRUE(db);
      EXPECT_TRUE(db->read_only_reason().empty());
      EXPECT_EQ(fs::file_size(wal_path()), before - tail.size());
      ASSERT_TRUE(insert(*db, "a", next++));
    }
    auto db = open();
    EXPECT_EQ(contents(db->database()).at("a").size(), next - 1) << "a record behind the torn tail was lost";
  }
  EXPECT_GT(fs::file_size(wal_path()), good);
}

TEST_F(RecoveryTest, UnreadableRecordOpensReadOnlyAndLeavesTheLogAlone) {
  {
    auto db = open();
    ASSERT_TRUE(create(*db, "a"));
    ASSERT_TRUE(insert(*db, "a", 1));
    ASSERT_TRUE(insert(*db, "a", 2));
  }
  auto bytes = wal_bytes();
  bytes.back() ^= 0xFF;  // the last record's payload no longer matches its CRC
  {
    std::ofstream out(wal_path(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  auto db = open();
  ASSERT_TRUE(db);
  EXPECT_NE(db->read_only_reason().find("byte offset"), std::string::npos);
  EXPECT_EQ(contents(db->database()).at("a").size(), 1u);  // reads still work

  Status refused = insert(*db, "a", 3);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message.rfind("WAL write failed: ", 0), 0u);
  // The remedy offered keeps every readable record.
  EXPECT_NE(refused.error().message.find("salvage_log()"), std::string::npos);
  EXPECT_EQ(refused.error().message.find("move the file aside"), std::string::npos);
  EXPECT_EQ(contents(db->database()).at("a").size(), 1u);

  Status compacted = db->compact();
  ASSERT_FALSE(compacted);
  EXPECT_EQ(compacted.error().message.rfind("WAL truncate failed: ", 0), 0u);
  EXPECT_TRUE(db->save("a", std::nullopt, nullptr));  // snapshot written, log kept
  EXPECT_TRUE(fs::exists(fs::path(dir_) / "a.kvl"));
  EXPECT_EQ(wal_bytes(), bytes);

  // Salvage: the readable records stay in a new log, the damaged file beside
  // it, and the database takes changes again.
  auto damaged = db->salvage_log();
  ASSERT_TRUE(damaged) << damaged.error().message;
  EXPECT_EQ(*read_file(*damaged), bytes);
  EXPECT_TRUE(db->read_only_reason().empty());
  EXPECT_LT(wal_bytes().size(), bytes.size());
  ASSERT_TRUE(insert(*db, "a", 3));
  EXPECT_FALSE(db->salvage_log());  // nothing left to salvage
  db.reset();
  db = open();
  EXPECT_TRUE(db->read_only_reason().empty());
  EXPECT_EQ(contents(db->database()).at("a").size(), 2u);
}

TEST_F(RecoveryTest, SealedLogNeedsItsKey) {
  auto key = EncryptionKey::from_hex(std::string(64, 'a'));
  auto other = EncryptionKey::from_hex(std::string(64, 'b'));
  ASSERT_TRUE(key && other);
  {
    auto db = open(*key);
    ASSERT_TRUE(create(*db, "a"));
    ASSERT_TRUE(insert(*db, "a", 1));
  }
  const auto sealed = wal_bytes();
  EXPECT_EQ(sealed[4] & sealed[5] & sealed[6] & sealed[7], 0xFF);
  // A missing or wrong key is refused at open, never an empty database.
  auto without = Store::open(dir_, nullptr);
  ASSERT_FALSE(without);
  EXPECT_EQ(without.error().kind, ErrorKind::InvalidInput);
  EXPECT_NE(without.error().message.find("no encryption key was provided"), std::string::npos);
  auto wrong = Store::open(dir_, *other);
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().kind, ErrorKind::InvalidInput);
  EXPECT_NE(wrong.error().message.find("the encryption key does not open"), std::string::npos);
  EXPECT_EQ(wal_bytes(), sealed);
  auto db = open(*key);
  EXPECT_EQ(contents(db->database()).at("a").size(), 1u);
  EXPECT_TRUE(db->read_only_reason().empty());
}

TEST_F(RecoveryTest, DirectoryLockRefusesASecondHandleUntilTheFirstCloses) {
  auto first = open();
  ASSERT_TRUE(first);
  auto second = Store::open(dir_, nullptr);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().kind, ErrorKind::Busy);
  EXPECT_EQ(second.error().message.rfind("data directory '" + dir_ + "' is in use", 0), 0u);
  // Removing the lock file does not let a second writer in.
  fs::remove(fs::path(dir_) / "LOCK");
  EXPECT_FALSE(Store::open(dir_, nullptr));
  first.reset();
  EXPECT_TRUE(open());
}

TEST_F(RecoveryTest, OpenErrorsCarryTheirPrefixes) {
  const std::string file = (root_ / "plain-file").string();
  std::ofstream(file) << "x";
  auto on_file = Store::open(file, nullptr);
  ASSERT_FALSE(on_file);
  EXPECT_EQ(on_file.error().message.rfind("failed to load snapshots from '" + file + "': ", 0), 0u);

  auto under_file = Store::open(file + "/sub", nullptr);
  ASSERT_FALSE(under_file);
  EXPECT_EQ(under_file.error().message.rfind("failed to open WAL: ", 0), 0u);
}

TEST_F(RecoveryTest, SnapshotsLoadByStoredNameAndBadFilesAreSkipped) {
  {
    auto db = open();
    ASSERT_TRUE(create(*db, "a"));
    ASSERT_TRUE(insert(*db, "a", 1));
    ASSERT_TRUE(create(*db, "b"));
    ASSERT_TRUE(db->compact());
  }
  fs::rename(fs::path(dir_) / "b.kvl", fs::path(dir_) / "renamed.kvl");
  std::ofstream(fs::path(dir_) / "x.kvl") << "not a snapshot";
  std::ofstream(fs::path(dir_) / "a.kvl.tmp") << "half written";
  auto db = open();
  ASSERT_TRUE(db);
  auto names = db->database().list_collections();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(db->unloadable_snapshots(), (std::set<std::string>{"x.kvl"}));
}

}  // namespace
}  // namespace karvalith
