// One test per way the store could lose data or hide a problem: damaged
// logs, keys, names, special files, closing, bounded recovery.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <variant>
#include <thread>

#include "store/durable_test_util.h"

namespace karvalith {
namespace {

using namespace durable_testing;

class DurabilityTest : public DataDirTest {
 protected:
  void write_wal(const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(wal_path(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  // A log of `count` inserts into "a" after its creation; the offsets of
  // every record.
  std::vector<std::uint64_t> fill(std::uint32_t count, EncryptionKeyPtr key = nullptr) {
    auto db = Store::open(dir_, std::move(key), CheckpointPolicy{0, 0});
    EXPECT_TRUE(db);
    std::vector<std::uint64_t> offsets{0};
    EXPECT_TRUE(create(**db, "a"));
    for (std::uint32_t n = 0; n < count; ++n) {
      offsets.push_back((*db)->log_bytes());
      EXPECT_TRUE(insert(**db, "a", n));
    }
    return offsets;
  }
  static EncryptionKeyPtr key(char digit) { return *EncryptionKey::from_hex(std::string(64, digit)); }
};

TEST_F(DurabilityTest, ADamagedLengthInTheMiddleOpensReadOnlyAndCutsNothing) {
  for (const EncryptionKeyPtr& sealing : {EncryptionKeyPtr{}, key('e')}) {
    fs::remove_all(dir_);
    const std::vector<std::uint64_t> offsets = fill(20, sealing);
    auto bytes = wal_bytes();
    bytes[offsets[10] + 1] ^= 0x40;  // the length of a middle record now runs past the end
    write_wal(bytes);
    auto db = open(sealing);
    ASSERT_TRUE(db);
    EXPECT_NE(db->read_only_reason().find("length field is damaged"), std::string::npos) << db->read_only_reason();
    EXPECT_EQ(wal_bytes(), bytes) << "the log must be kept as it is";
    EXPECT_EQ(contents(db->database()).at("a").size(), 9u);
    const auto issues = db->recovery_issues();
    ASSERT_FALSE(issues.empty());
    EXPECT_EQ(issues.back().offset, offsets[10]);
    EXPECT_TRUE(issues.back().data_missing);
  }
}

TEST_F(DurabilityTest, AZeroedFinalRecordIsATornTailAndReported) {
  const std::vector<std::uint64_t> offsets = fill(5);
  auto bytes = wal_bytes();
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(offsets[5] + 8), bytes.end(), 0);
  write_wal(bytes);
  auto db = open();
  ASSERT_TRUE(db);
  EXPECT_TRUE(db->read_only_reason().empty());
  EXPECT_EQ(contents(db->database()).at("a").size(), 4u);
  EXPECT_EQ(fs::file_size(wal_path()), offsets[5]);
  const auto issues = db->recovery_issues();
  ASSERT_EQ(issues.size(), 1u);
  EXPECT_FALSE(issues[0].data_missing);
  EXPECT_NE(issues[0].reason.find("torn tail"), std::string::npos);
  EXPECT_TRUE(insert(*db, "a", 99));
}

TEST_F(DurabilityTest, SealedSnapshotsNeedTheirKeyAndDamageIsNotTakenForAWrongKey) {
  {
    auto db = open(key('1'));
    ASSERT_TRUE(create(*db, "a"));
    ASSERT_TRUE(create(*db, "b"));
    ASSERT_TRUE(db->compact());  // sealed snapshots, empty log
  }
  for (const EncryptionKeyPtr& wrong : {EncryptionKeyPtr{}, key('2')}) {
    auto refused = Store::open(dir_, wrong);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ErrorKind::InvalidInput);
    EXPECT_NE(refused.error().message.find(".kvl'"), std::string::npos) << refused.error().message;
  }
  // With the right key, one damaged snapshot is damage: the other loads,
  // and the damaged one is listed.
  auto bytes = *read_file(fs::path(dir_) / "b.kvl");
  bytes[bytes.size() / 2] ^= 0x01;
  {
    auto out = FileHandle::open(fs::path(dir_) / "b.kvl", O_WRONLY | O_TRUNC);
    ASSERT_TRUE(out && out->write_all(bytes));
  }
  auto db = open(key('1'));
  ASSERT_TRUE(db);
  EXPECT_EQ(db->database().list_collections(), std::vector<std::string>{"a"});
  const auto issues = db->recovery_issues();
  ASSERT_EQ(issues.size(), 1u);
  EXPECT_EQ(issues[0].file, "b.kvl");
  EXPECT_TRUE(issues[0].data_missing);
}

TEST_F(DurabilityTest, SavingIntoTheDataDirectoryUnderAnotherKeyIsRefused) {
  auto db = open(key('1'));
  ASSERT_TRUE(create(*db, "a"));
  ASSERT_TRUE(insert(*db, "a", 1));
  const auto log_before = wal_bytes();
  for (const EncryptionKeyPtr& other : {key('2')}) {
    Status refused = db->save("a", std::nullopt, other.get());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ErrorKind::InvalidInput);
    EXPECT_FALSE(db->save("a", dir_, other.get()));
    EXPECT_FALSE(fs::exists(fs::path(dir_) / "a.kvl"));
    EXPECT_EQ(wal_bytes(), log_before);
    // Elsewhere, or with the database's own key, it is fine.
    EXPECT_TRUE(db->save("a", (root_ / "elsewhere").string(), other.get()));
  }
  EXPECT_TRUE(db->save("a", std::nullopt, key('1').get()));
  db.reset();
  auto plain = Store::open((root_ / "plain").string(), nullptr);
  ASSERT_TRUE(plain);
  ASSERT_TRUE(create(**plain, "p"));
  EXPECT_FALSE((*plain)->save("p", std::nullopt, key('3').get()));
}

TEST_F(DurabilityTest, NamesTooLongForAFileNameAreRefusedBeforeTheyAreLogged) {
  auto db = open();
  const std::size_t limit = static_cast<std::size_t>(::pathconf(dir_.c_str(), _PC_NAME_MAX));
  std::size_t longest_ok = 0;
  for (std::size_t length = limit - 40; length <= limit; ++length) {
    const std::string name(length, 'n');
    Status made = create(*db, name);
    if (!made) {
      EXPECT_EQ(made.error().kind, ErrorKind::InvalidInput);
      EXPECT_NE(made.error().message.find("too long"), std::string::npos);
      continue;
    }
    longest_ok = length;
  }
  ASSERT_GT(longest_ok, 0u);
  // Everything accepted can be checkpointed, also through a load.
  ASSERT_TRUE(db->compact());
  const std::string name(longest_ok, 'n');
  ASSERT_TRUE(db->load(name, std::nullopt, nullptr));
  EXPECT_TRUE(db->compact());
  EXPECT_EQ(fs::file_size(wal_path()), 0u);
}

TEST_F(DurabilityTest, SpecialFilesInTheDirectoryAreSkippedWithAReportNotOpened) {
  fs::create_directories(dir_);
  ASSERT_EQ(::mkfifo((fs::path(dir_) / "pipe.kvl").c_str(), 0600), 0);
  fs::create_directory(fs::path(dir_) / "folder.kvl");
  auto db = open();  // a FIFO opened for reading would block here
  ASSERT_TRUE(db);
  const auto issues = db->recovery_issues();
  ASSERT_EQ(issues.size(), 2u);
  for (const RecoveryIssue& issue : issues) {
    EXPECT_NE(issue.reason.find("not a regular file"), std::string::npos) << issue.reason;
  }
  Status loaded = db->load("pipe", std::nullopt, nullptr);
  ASSERT_FALSE(loaded);
  EXPECT_NE(loaded.error().message.find("not a regular file"), std::string::npos);
}

TEST_F(DurabilityTest, EmptyAndNulPathsAreRefused) {
  for (const std::string& bad : {std::string(), std::string("dir\0x", 5)}) {
    auto opened = Store::open(bad, nullptr);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error().kind, ErrorKind::InvalidInput);
  }
  EXPECT_FALSE(fs::exists("dir"));
  auto db = Store::ephemeral();
  ASSERT_TRUE(create(*db, "c"));
  for (const std::string& bad : {std::string(), std::string("dir\0x", 5)}) {
    Status saved = db->save("c", bad, nullptr);
    ASSERT_FALSE(saved);
    EXPECT_EQ(saved.error().kind, ErrorKind::InvalidInput);
    EXPECT_FALSE(db->load("c", bad, nullptr));
  }
  EXPECT_FALSE(fs::exists("c.kvl"));
}

TEST_F(DurabilityTest, CloseReleasesTheLogAndLockAndRefusesLaterChanges) {
  auto db = open();
  ASSERT_TRUE(create(*db, "a"));
  ASSERT_TRUE(insert(*db, "a", 1));
  ASSERT_TRUE(db->close());
  EXPECT_TRUE(db->close());  // idempotent
  // The directory is free while the store object lives on.
  auto second = open();
  ASSERT_TRUE(second);
  EXPECT_EQ(contents(second->database()).at("a").size(), 1u);
  for (Status refused : {insert(*db, "a", 2), create(*db, "b"), db->compact(), db->save("a", std::nullopt, nullptr)}) {
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, CLOSED_MESSAGE);
  }
  EXPECT_NE(db->get("a", numbered_uuid(1)).value_or(nullptr), nullptr);  // memory is still readable
}

TEST_F(DurabilityTest, CloseWaitsForChangesInFlightAndNeverLosesAnAcknowledgedOne) {
  auto db = open();
  ASSERT_TRUE(create(*db, "a"));
  std::atomic<std::uint32_t> acknowledged{0};
  std::vector<std::thread> writers;
  for (std::uint32_t t = 0; t < 3; ++t) {
    writers.emplace_back([&, t] {
      for (std::uint32_t n = 0; n < 200; ++n) {
        if (!insert(*db, "a", 1000 * (t + 1) + n)) return;
        ++acknowledged;
      }
    });
  }
  while (acknowledged.load() < 20) std::this_thread::yield();
  ASSERT_TRUE(db->close());
  for (std::thread& writer : writers) writer.join();
  auto reopened = open();
  ASSERT_TRUE(reopened);
  EXPECT_EQ(contents(reopened->database()).at("a").size(), acknowledged.load());
}

TEST_F(DurabilityTest, AutomaticCheckpointsBoundTheLog) {
  {
    auto db = Store::open(dir_, nullptr, CheckpointPolicy{0, 10});
    ASSERT_TRUE(db);
    ASSERT_TRUE(create(**db, "a"));
    for (std::uint32_t n = 0; n < 35; ++n) {
      ASSERT_TRUE(insert(**db, "a", n));
      EXPECT_LT((*db)->log_records(), 10u);
    }
    std::vector<NewDocument> batch;
    for (std::uint32_t n = 100; n < 112; ++n) batch.push_back(NewDocument{numbered_uuid(n), "b", {}, vec(n)});
    ASSERT_TRUE((*db)->batch_insert("a", std::move(batch)));  // 12 documents: past the threshold at once
    EXPECT_EQ((*db)->log_records(), 0u);
    EXPECT_TRUE((*db)->checkpoint_error().empty());
  }
  EXPECT_TRUE(fs::exists(fs::path(dir_) / "a.kvl"));
  auto records = read_records(wal_path(), nullptr);
  ASSERT_TRUE(records);
  EXPECT_LT(records->payloads.size(), 10u);
  EXPECT_EQ(contents(open()->database()).at("a").size(), 47u);

  // By size, and off when both thresholds are 0.
  fs::remove_all(dir_);
  {
    auto db = Store::open(dir_, nullptr, CheckpointPolicy{2000, 0});
    ASSERT_TRUE(create(**db, "a"));
    for (std::uint32_t n = 0; n < 40; ++n) ASSERT_TRUE(insert(**db, "a", n));
    EXPECT_LT((*db)->log_bytes(), 2000u);
  }
  fs::remove_all(dir_);
  fill(40);
  EXPECT_EQ(read_records(wal_path(), nullptr)->payloads.size(), 41u);
}

TEST_F(DurabilityTest, AFailingAutomaticCheckpointNeverFailsTheChangeAndIsReported) {
  fs::create_directories(dir_);
  std::ofstream(fs::path(dir_) / "a.kvl") << "damaged";  // compact must not overwrite it
  auto db = Store::open(dir_, nullptr, CheckpointPolicy{0, 3});
  ASSERT_TRUE(db);
  ASSERT_TRUE(create(**db, "a"));
  for (std::uint32_t n = 0; n < 10; ++n) ASSERT_TRUE(insert(**db, "a", n));
  EXPECT_NE((*db)->checkpoint_error().find("a.kvl"), std::string::npos) << (*db)->checkpoint_error();
  EXPECT_EQ((*db)->log_records(), 11u);
  db->reset();
  fs::remove(fs::path(dir_) / "a.kvl");
  EXPECT_EQ(contents(open()->database()).at("a").size(), 10u);
}

TEST_F(DurabilityTest, TheByteThresholdCheckpointsAtTheChangeThatReachesIt) {
  // The log's size after each change, with automatic checkpoints off.
  std::vector<std::uint64_t> sizes;
  {
    auto db = Store::open(dir_, nullptr, CheckpointPolicy{0, 0});
    ASSERT_TRUE(db);
    ASSERT_TRUE(create(**db, "a"));
    for (std::uint32_t n = 0; n < 12; ++n) {
      ASSERT_TRUE(insert(**db, "a", n));
      sizes.push_back((*db)->log_bytes());
    }
  }
  // A threshold equal to the size after the 8th insert, then one byte above.
  for (const std::uint64_t extra : {0u, 1u}) {
    fs::remove_all(dir_);
    auto db = Store::open(dir_, nullptr, CheckpointPolicy{sizes[7] + extra, 0});
    ASSERT_TRUE(db);
    ASSERT_TRUE(create(**db, "a"));
    for (std::uint32_t n = 0; n < 8; ++n) {
      ASSERT_TRUE(insert(**db, "a", n));
      if (n < 7 || extra == 1) {
        EXPECT_EQ((*db)->log_bytes(), sizes[n]) << "insert " << n << " +" << extra;
      } else {
        EXPECT_EQ((*db)->log_bytes(), 0u) << "the threshold is reached: the log is checkpointed";
      }
    }
    ASSERT_TRUE(insert(**db, "a", 8));
    EXPECT_EQ((*db)->log_bytes(), extra == 1 ? 0u : sizes[8] - sizes[7]) << "+" << extra;
    EXPECT_TRUE((*db)->checkpoint_error().empty());
  }
}

TEST_F(DurabilityTest, AFailedAutomaticCheckpointIsRetriedAtEachFurtherThreshold) {
  auto db = Store::open(dir_, nullptr, CheckpointPolicy{0, 3}, nullptr, files_);
  ASSERT_TRUE(db);
  ASSERT_TRUE(create(**db, "a"));
  (*db)->take_events();
  auto failures = [&] {
    std::size_t count = 0;
    for (const StoreEvent& event : (*db)->take_events()) {
      const auto* problem = std::get_if<ProblemEvent>(&event);
      count += problem != nullptr && problem->message.starts_with("automatic checkpoint failed");
    }
    return count;
  };
  std::vector<std::uint64_t> failed_at;  // log records when a checkpoint failed
  {
    // Every snapshot rename fails while this is armed.
    ScopedFileFault fault(files_, {.op = FileOp::Rename, .error = EIO, .fail_count = 0});
    for (std::uint32_t n = 0; n < 11; ++n) {
      ASSERT_TRUE(insert(**db, "a", n));
      for (std::size_t i = failures(); i > 0; --i) failed_at.push_back((*db)->log_records());
    }
  }
  // Tried at 3, 6, 9 and 12 records: one threshold further each time.
  EXPECT_EQ(failed_at, (std::vector<std::uint64_t>{3, 6, 9, 12}));
  EXPECT_FALSE((*db)->checkpoint_error().empty());
  // Once writes work again, the next threshold checkpoints and they start over.
  for (std::uint32_t n = 11; n < 13; ++n) ASSERT_TRUE(insert(**db, "a", n));
  EXPECT_EQ((*db)->log_records(), 14u);
  ASSERT_TRUE(insert(**db, "a", 13));
  EXPECT_EQ((*db)->log_records(), 0u);
  EXPECT_TRUE((*db)->checkpoint_error().empty());
  EXPECT_EQ(failures(), 0u);
  for (std::uint32_t n = 14; n < 16; ++n) ASSERT_TRUE(insert(**db, "a", n));
  EXPECT_EQ((*db)->log_records(), 2u);
  ASSERT_TRUE(insert(**db, "a", 16));
  EXPECT_EQ((*db)->log_records(), 0u);
  db->reset();
  EXPECT_EQ(contents(open()->database()).at("a").size(), 17u);
}

}  // namespace
}  // namespace karvalith
