// Read-only inspection: what it reports for sound, damaged and keyed
// directories, that it writes nothing, and that no damage makes it read out
// of bounds (run under the sanitizers in CI).
#include "core/store/inspect.h"

#include <fcntl.h>

#include <algorithm>
#include <random>

#include "store/durable_test_util.h"

namespace karvalith {
namespace {

using namespace durable_testing;

class InspectTest : public DataDirTest {
 protected:
  // "a" in a snapshot with 6 documents, then four logged changes: a delete,
  // an insert, and collection "b" with one document.
  void populate(EncryptionKeyPtr key = nullptr) {
    auto db = open(key);
    ASSERT_TRUE(create(*db, "a"));
    for (std::uint32_t n = 0; n < 6; ++n) ASSERT_TRUE(insert(*db, "a", n));
    ASSERT_TRUE(db->compact());
    ASSERT_TRUE(remove(*db, "a", 0));
    ASSERT_TRUE(insert(*db, "a", 10));
    ASSERT_TRUE(create(*db, "b"));
    ASSERT_TRUE(insert(*db, "b", 20));
  }

  DirectoryInspection inspect(const EncryptionKey* key = nullptr, bool replay_log = true) {
    auto inspected = inspect_directory(dir_, key, replay_log);
    EXPECT_TRUE(inspected.has_value()) << (inspected ? "" : inspected.error().message);
    return inspected ? std::move(*inspected) : DirectoryInspection{};
  }

  std::vector<std::uint64_t> record_offsets() const {
    std::vector<std::uint8_t> bytes = wal_bytes();
    std::vector<std::uint64_t> offsets;
    for (std::uint64_t at = 0; at + 8 <= bytes.size();) {
      offsets.push_back(at);
      at += 8 + ((std::uint64_t{bytes[at]} << 24) | (std::uint64_t{bytes[at + 1]} << 16) |
                 (std::uint64_t{bytes[at + 2]} << 8) | bytes[at + 3]);
    }
    return offsets;
  }

  void flip(const fs::path& path, std::uint64_t offset) {
    std::vector<std::uint8_t> bytes = read_file(path).value();
    bytes.at(offset) ^= 0x5A;
    write(path, bytes);
  }

  static void write(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    auto file = FileHandle::open(path, O_WRONLY | O_TRUNC);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file->write_all(bytes));
  }
};

std::vector<std::string> kinds_at(const DirectoryInspection& inspection, const std::string& file) {
  std::vector<std::string> kinds;
  for (const InspectionProblem& problem : inspection.problems) {
    if (problem.file == file) kinds.push_back(problem.kind + "@" + std::to_string(problem.offset));
  }
  return kinds;
}

TEST_F(InspectTest, SoundDirectoryReportsWhatAnOpenHolds) {
  populate();
  const DirectoryInspection inspection = inspect();
  EXPECT_TRUE(inspection.problems.empty());
  ASSERT_EQ(inspection.collections.size(), 2u);
  const InspectedCollection& a = inspection.collections[0];
  EXPECT_EQ(a.summary.name, "a");
  EXPECT_EQ(a.summary.document_count, 6u);
  EXPECT_EQ(a.summary.deleted_slots, 1u);
  EXPECT_EQ(a.snapshot_file, "a.kvl");
  EXPECT_EQ(a.pending_records, 2u);
  EXPECT_EQ(inspection.collections[1].snapshot_file, "");
  EXPECT_EQ(inspection.log.records, 4u);
  EXPECT_EQ(inspection.log.end, "clean");

  auto opened = open();
  EXPECT_EQ(contents(opened->database()).at("a").size(), a.summary.document_count);
}

TEST_F(InspectTest, ManyDocumentDeletesAreReadAndReplayed) {
  populate();
  {
    auto db = open();
    ASSERT_TRUE(db->delete_documents("a", std::vector<Uuid>{numbered_uuid(1), numbered_uuid(2), numbered_uuid(9)}));
  }
  const DirectoryInspection inspection = inspect();
  EXPECT_TRUE(inspection.problems.empty());
  EXPECT_EQ(inspection.log.records, 5u);
  ASSERT_EQ(inspection.collections.size(), 2u);
  EXPECT_EQ(inspection.collections[0].pending_records, 3u);
  EXPECT_EQ(inspection.collections[0].summary.document_count, 4u);
  EXPECT_EQ(inspection.collections[0].summary.deleted_slots, 3u);
}

TEST_F(InspectTest, EveryDamagedRecordIsReportedAndNothingIsWritten) {
  populate();
  const std::vector<std::uint64_t> offsets = record_offsets();
  ASSERT_EQ(offsets.size(), 4u);
  flip(wal_path(), offsets[1] + 12);
  flip(wal_path(), offsets[3] + 12);
  const auto before = wal_bytes();
  const DirectoryInspection inspection = inspect();
  EXPECT_EQ(kinds_at(inspection, WAL_FILE_NAME),
            (std::vector<std::string>{"checksum@" + std::to_string(offsets[1]),
                                      "not_replayed@" + std::to_string(offsets[1]),
                                      "checksum@" + std::to_string(offsets[3])}));
  EXPECT_EQ(inspection.log.end, "unreadable");
  EXPECT_EQ(inspection.log.records, 1u);
  EXPECT_EQ(wal_bytes(), before);
}

TEST_F(InspectTest, TornTailIsAWarningAndStaysInPlace) {
  populate();
  auto bytes = wal_bytes();
  const std::uint64_t end = bytes.size();
  bytes.resize(bytes.size() + 5, 0x01);
  write(wal_path(), bytes);
  const DirectoryInspection inspection = inspect();
  ASSERT_EQ(inspection.problems.size(), 1u);
  EXPECT_EQ(inspection.problems[0].kind, "torn_tail");
  EXPECT_EQ(inspection.problems[0].offset, end);
  EXPECT_FALSE(inspection.problems[0].fatal);
  EXPECT_EQ(wal_bytes().size(), end + 5);
}

TEST_F(InspectTest, KeysMissingOrWrong) {
  auto key = EncryptionKey::from_hex(std::string(64, 'a')).value();
  auto other = EncryptionKey::from_hex(std::string(64, 'b')).value();
  populate(key);
  const DirectoryInspection good = inspect(key.get());
  EXPECT_TRUE(good.problems.empty());
  EXPECT_EQ(good.log.sealed_records, 4u);
  EXPECT_TRUE(good.snapshots.at(0).sealed);
  EXPECT_EQ(kinds_at(inspect(), "a.kvl"), std::vector<std::string>{"key_missing@0"});
  EXPECT_EQ(kinds_at(inspect(other.get()), "a.kvl"), std::vector<std::string>{"unauthenticated@0"});
  for (const InspectionProblem& problem : inspect(other.get()).problems) {
    if (problem.file == WAL_FILE_NAME) {
      EXPECT_EQ(problem.kind, "unauthenticated");
    }
  }
}

// Random damage of the log and the snapshot: whatever the bytes, inspection
// finishes, reports a fatal problem or a torn tail wherever the log changed
// inside its records, and reads nothing out of bounds.
TEST_F(InspectTest, RandomDamageNeverBreaksInspection) {
  populate();
  const auto wal = wal_bytes();
  const auto snapshot = read_file(fs::path(dir_) / "a.kvl").value();
  std::vector<std::uint64_t> boundaries = record_offsets();
  std::mt19937_64 random(7);
  for (int round = 0; round < 150; ++round) {
    auto damaged = wal;
    const int kind = round % 3;
    bool detectable = true;
    if (kind == 0) {
      damaged[random() % damaged.size()] ^= static_cast<std::uint8_t>(1 + random() % 255);
    } else if (kind == 1) {
      damaged.resize(random() % damaged.size());
      // A cut at a record boundary leaves a shorter, sound log.
      detectable = std::find(boundaries.begin(), boundaries.end(), damaged.size()) == boundaries.end();
    } else {
      const std::size_t at = random() % damaged.size();
      for (std::size_t i = at; i < std::min(damaged.size(), at + 16); ++i) damaged[i] = static_cast<std::uint8_t>(random());
    }
    write(wal_path(), damaged);
    auto snap = snapshot;
    snap[random() % (snap.size() - 8)] ^= 0x80;  // the payload: its CRC must catch it
    write(fs::path(dir_) / "a.kvl", snap);

    const DirectoryInspection inspection = inspect();
    EXPECT_FALSE(kinds_at(inspection, "a.kvl").empty()) << "round " << round;
    if (damaged != wal && detectable) {
      EXPECT_FALSE(kinds_at(inspection, WAL_FILE_NAME).empty()) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace karvalith
