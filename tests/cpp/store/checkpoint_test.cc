// save / load / compact on a durable database, and faults injected through
// the file layer: after each one, reopening loses no acknowledged change.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "store/durable_test_util.h"

namespace karvalith {
namespace {

using namespace durable_testing;

class CheckpointTest : public DataDirTest {};

TEST_F(CheckpointTest, SaveEmptiesTheLogOnlyWhenTheSnapshotHoldsEveryLoggedChange) {
  auto db = open();
  ASSERT_TRUE(create(*db, "a"));
  ASSERT_TRUE(insert(*db, "a", 1));
  ASSERT_TRUE(create(*db, "b"));
  ASSERT_TRUE(insert(*db, "b", 2));

  ASSERT_TRUE(db->save("a", std::nullopt, nullptr));
  EXPECT_GT(fs::file_size(wal_path()), 0u) << "b's changes are only in the log";
  ASSERT_TRUE(db->compact());
  EXPECT_EQ(fs::file_size(wal_path()), 0u);

  ASSERT_TRUE(insert(*db, "a", 3));
  const std::string elsewhere = (root_ / "elsewhere").string();
  ASSERT_TRUE(db->save("a", elsewhere, nullptr));
  EXPECT_GT(fs::file_size(wal_path()), 0u) << "a snapshot outside data_dir empties nothing";
  ASSERT_TRUE(db->save("a", dir_, nullptr));
  EXPECT_EQ(fs::file_size(wal_path()), 0u);

  ASSERT_TRUE(remove(*db, "b", 2));
  ASSERT_TRUE(drop(*db, "b"));
  ASSERT_TRUE(db->save("a", std::nullopt, nullptr));
  EXPECT_GT(fs::file_size(wal_path()), 0u) << "the deletion of b is only in the log";

  const Contents before = contents(db->database());
  db.reset();
  EXPECT_EQ(contents(open()->database()), before);
}

TEST_F(CheckpointTest, CompactRemovesSnapshotsOfDeletedCollections) {
  {
    auto db = open();
    ASSERT_TRUE(create(*db, "keep"));
    ASSERT_TRUE(create(*db, "drop"));
    ASSERT_TRUE(insert(*db, "drop", 1));
    ASSERT_TRUE(db->compact());
    EXPECT_TRUE(fs::exists(fs::path(dir_) / "drop.kvl"));
  }
  {
    auto db = open();
    ASSERT_TRUE(drop(*db, "drop"));
    ASSERT_TRUE(db->compact());
    EXPECT_FALSE(fs::exists(fs::path(dir_) / "drop.kvl"));
  }
  EXPECT_EQ(open()->database().list_collections(), std::vector<std::string>{"keep"});
}

TEST_F(CheckpointTest, SnapshotFilesThatFailedToLoadAreNeverOverwrittenOrRemoved) {
  fs::create_directories(dir_);
  const fs::path bad = fs::path(dir_) / "c.kvl";
  std::ofstream(bad) << "unreadable";
  auto db = open();
  ASSERT_TRUE(create(*db, "c"));
  Status saved = db->save("c", std::nullopt, nullptr);
  ASSERT_FALSE(saved);
  EXPECT_NE(saved.error().message.find(bad.string()), std::string::npos);
  Status compacted = db->compact();
  ASSERT_FALSE(compacted);
  EXPECT_EQ(compacted.error().message.rfind("save 'c' failed: ", 0), 0u);
  EXPECT_GT(fs::file_size(wal_path()), 0u);
  // Once the collection is deleted nothing of it needs writing: compact
  // proceeds and leaves the file as it is.
  ASSERT_TRUE(drop(*db, "c"));
  EXPECT_TRUE(db->compact());
  EXPECT_EQ(read_file(bad).value_or(std::vector<std::uint8_t>{}).size(), 10u);
  EXPECT_EQ(fs::file_size(wal_path()), 0u);
}

TEST_F(CheckpointTest, LoggedChangesOfACollectionWhoseSnapshotDidNotLoadAreKept) {
  {
    auto db = open();
    ASSERT_TRUE(create(*db, "c"));
    ASSERT_TRUE(db->compact());  // c.kvl, empty log
  }
  {
    auto bytes = *read_file(fs::path(dir_) / "c.kvl");
    bytes.back() ^= 0x01;  // its CRC no longer matches
    auto out = FileHandle::open(fs::path(dir_) / "c.kvl", O_WRONLY | O_TRUNC);
    ASSERT_TRUE(out && out->write_all(bytes));
  }
  {
    // A plain record for c, which the next open cannot apply.
    auto log = SyncWriteAheadLog::open(wal_path(), nullptr);
    ASSERT_TRUE(log);
    ASSERT_TRUE((*log)->append_payload(encode_insert_document("c", doc(1), vec(1))));
  }
  {
    // c.kvl does not load; the record for c stays.
    auto db = open();
    ASSERT_TRUE(db->read_only_reason().empty());
    EXPECT_EQ(db->database().get_collection("c"), nullptr);
    ASSERT_TRUE(create(*db, "a"));
    EXPECT_TRUE(db->save("a", std::nullopt, nullptr));
    Status compacted = db->compact();
    ASSERT_FALSE(compacted);
    EXPECT_NE(compacted.error().message.find("c.kvl"), std::string::npos);
  }
  auto records = read_records(wal_path(), nullptr);
  ASSERT_TRUE(records);
  EXPECT_EQ(records->payloads.size(), 2u) << "the insert into c must stay in the log";
}

// Load stages the snapshot (temporary file renamed to the staged name),
// logs the load, then renames the staged file into place: each step that can
// fail leaves either no trace or a load the next open finishes.
TEST_F(CheckpointTest, LoadIsDurableAtEveryStep) {
  const std::string other = (root_ / "other").string();
  {
    auto db = open();
    ASSERT_TRUE(create(*db, "c"));
    ASSERT_TRUE(insert(*db, "c", 1, "loaded"));
    ASSERT_TRUE(db->save("c", other, nullptr));
    ASSERT_TRUE(remove(*db, "c", 1));
    ASSERT_TRUE(insert(*db, "c", 2, "before the load"));
  }
  const Contents loaded = {{"c", {{numbered_uuid(1).to_string(), "loaded"}}}};
  const Contents before = {{"c", {{numbered_uuid(2).to_string(), "before the load"}}}};
  {
    // Staging fails: nothing changes, in memory or after a reopen.
    auto db = open();
    ScopedFileFault fault(files_, {.op = FileOp::Rename, .error = EIO});
    EXPECT_FALSE(db->load("c", other, nullptr));
    EXPECT_EQ(contents(db->database()), before);
  }
  EXPECT_EQ(contents(open()->database()), before);
  {
    // Only the final move fails: the load is logged, so it stands, and the
    // next open moves the staged file into place.
    auto db = open();
    ScopedFileFault fault(files_, {.op = FileOp::Rename, .error = EIO, .succeed_first = 1});
    ASSERT_TRUE(db->load("c", other, nullptr));
    EXPECT_EQ(contents(db->database()), loaded);
  }
  bool staged_left = false;
  for (const auto& entry : fs::directory_iterator(dir_)) {
    staged_left |= entry.path().extension() == ".loading";
  }
  EXPECT_TRUE(staged_left);
  {
    auto db = open();
    EXPECT_EQ(contents(db->database()), loaded);
    EXPECT_TRUE(db->recovery_issues().empty());
    ASSERT_TRUE(insert(*db, "c", 3, "after"));
  }
  for (const auto& entry : fs::directory_iterator(dir_)) EXPECT_NE(entry.path().extension(), ".loading");
  EXPECT_EQ(contents(open()->database()).at("c").size(), 2u);
}

TEST_F(CheckpointTest, ALoggedLoadWhoseSnapshotIsGoneOpensReadOnly) {
  const std::string other = (root_ / "other").string();
  {
    auto db = open();
    ASSERT_TRUE(create(*db, "c"));
    ASSERT_TRUE(db->save("c", other, nullptr));
    ASSERT_TRUE(db->load("c", other, nullptr));
  }
  fs::remove(fs::path(dir_) / "c.kvl");
  auto db = open();
  ASSERT_EQ(db->recovery_issues().size(), 1u);
  EXPECT_TRUE(db->recovery_issues()[0].data_missing);
  EXPECT_NE(db->recovery_issues()[0].reason.find("load of collection 'c'"), std::string::npos);
  EXPECT_FALSE(db->read_only_reason().empty());
  EXPECT_FALSE(create(*db, "d"));
  EXPECT_FALSE(db->compact());
}

TEST_F(CheckpointTest, LoadRenamesReplacesAndLeavesTheRegistryAloneOnFailure) {
  const std::string other = (root_ / "other").string();
  auto db = open();
  ASSERT_TRUE(create(*db, "src"));
  ASSERT_TRUE(insert(*db, "src", 1, "from snapshot"));
  ASSERT_TRUE(db->save("src", other, nullptr));
  fs::rename(fs::path(other) / "src.kvl", fs::path(other) / "dst.kvl");
  ASSERT_TRUE(create(*db, "dst"));
  ASSERT_TRUE(insert(*db, "dst", 2));

  ASSERT_TRUE(db->load("dst", other, nullptr));
  const Contents got = contents(db->database());
  EXPECT_EQ(got.size(), 2u) << "no collection appears under the stored name";
  EXPECT_EQ(got.at("dst"), (std::map<std::string, std::string>{{numbered_uuid(1).to_string(), "from snapshot"}}));
  EXPECT_EQ(db->database().get_collection("dst")->state().read()->name, "dst");

  Status missing = db->load("nothing", other, nullptr);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message.rfind("failed to load 'nothing': ", 0), 0u);
  EXPECT_EQ(contents(db->database()), got);

  auto ephemeral = Store::ephemeral();
  EXPECT_EQ(ephemeral->load("dst", std::nullopt, nullptr).error().message,
            "no path specified and Karvalith was created without data_dir");
  EXPECT_EQ(ephemeral->compact().error().message, "compact requires data_dir to be set");
}

// ---- faults ----

struct FaultCase {
  const char* name;
  FileFault fault;
};

class FaultTest : public DataDirTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, FailedAppendChangesNothingAndReopenKeepsEveryAcknowledgedChange) {
  std::uint32_t next = 0;
  std::vector<std::uint32_t> acknowledged;
  {
    auto db = open();
    ASSERT_TRUE(create(*db, "a"));
    for (; next < 3; ++next) {
      ASSERT_TRUE(insert(*db, "a", next));
      acknowledged.push_back(next);
    }
    {
      ScopedFileFault fault(files_, GetParam().fault);
      Status failed = insert(*db, "a", next);
      ASSERT_FALSE(failed);
      EXPECT_EQ(failed.error().message.rfind("WAL write failed: ", 0), 0u);
      EXPECT_EQ(db->database().get_collection("a")->get_document(numbered_uuid(next)), nullptr);
      ++next;
    }
    ASSERT_TRUE(insert(*db, "a", next));
    acknowledged.push_back(next);
  }
  auto db = open();
  ASSERT_TRUE(db);
  const auto docs = contents(db->database()).at("a");
  EXPECT_EQ(docs.size(), acknowledged.size());
  for (std::uint32_t n : acknowledged) EXPECT_TRUE(docs.contains(numbered_uuid(n).to_string())) << n;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultTest,
    ::testing::Values(FaultCase{"enospc_write", {FileOp::Write, ENOSPC}},
                      FaultCase{"eio_partial_write", {FileOp::Write, EIO, 0, 1, true}},
                      FaultCase{"eio_fsync", {FileOp::Sync, EIO}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DataDirTest, FailedCheckpointsKeepTheLogAndLoseNothing) {
  Contents before;
  {
    auto db = open();
    ASSERT_TRUE(create(*db, "a"));
    ASSERT_TRUE(insert(*db, "a", 1));
    ASSERT_TRUE(db->compact());
    ASSERT_TRUE(insert(*db, "a", 2));
    const auto logged = wal_bytes();
    const FileFault faults[] = {{FileOp::Rename, EIO, 0, 0}, {FileOp::Sync, ENOSPC, 0, 0}, {FileOp::Write, ENOSPC, 0, 0}};
    for (const FileFault& fault : faults) {
      ScopedFileFault armed(files_, fault);
      Status saved = db->save("a", std::nullopt, nullptr);
      ASSERT_FALSE(saved);
      EXPECT_NE(saved.error().message.find("os error"), std::string::npos) << saved.error().message;
      Status compacted = db->compact();
      ASSERT_FALSE(compacted);
      EXPECT_EQ(compacted.error().message.rfind("save 'a' failed: ", 0), 0u);
      EXPECT_EQ(wal_bytes(), logged);
    }
    {
      ScopedFileFault armed(files_, {FileOp::Truncate, EIO});
      Status compacted = db->compact();
      ASSERT_FALSE(compacted);
      EXPECT_EQ(compacted.error().message.rfind("WAL truncate failed: ", 0), 0u);
    }
    ASSERT_TRUE(insert(*db, "a", 3));
    before = contents(db->database());
  }
  EXPECT_EQ(contents(open()->database()), before);
  EXPECT_EQ(before.at("a").size(), 3u);
}

TEST_F(CheckpointTest, LoadReadsWithTheDatabaseKeyWhenGivenNone) {
  auto key = [] { return *EncryptionKey::from_hex(std::string(64, '7')); };
  auto db = open(key());
  ASSERT_TRUE(create(*db, "a"));
  ASSERT_TRUE(insert(*db, "a", 1));
  const std::string elsewhere = (root_ / "elsewhere").string();
  ASSERT_TRUE(db->save("a", elsewhere, nullptr));  // sealed with the database's key
  ASSERT_TRUE(insert(*db, "a", 2));
  ASSERT_TRUE(db->load("a", elsewhere, nullptr)) << "load uses the key save used";
  EXPECT_EQ(contents(db->database()).at("a").size(), 1u);

  auto plain = Store::ephemeral();
  auto refused = plain->load("a", elsewhere, nullptr);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().message.find("no encryption key was provided"), std::string::npos);
}

TEST_F(CheckpointTest, APersistentStoreRefusesAForkedChild) {
  auto db = open();
  auto ephemeral = Store::ephemeral();
  ASSERT_TRUE(db->check_process());
  const pid_t child = ::fork();
  if (child == 0) {
    // Exit codes: 0 when the child is refused and the ephemeral store is not.
    const Status here = db->check_process();
    const bool right = !here && here.error().message.find("cannot be used in process") != std::string::npos &&
                       !db->usable_in_this_process() && ephemeral->check_process();
    ::_exit(right ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(db->usable_in_this_process());
}

}  // namespace
}  // namespace karvalith
