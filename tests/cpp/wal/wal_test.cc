#include "core/wal/wal.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/codec/crc32.h"
#include "testing/fault_file_system.h"
#include "testing/temp_dir_test.h"

namespace karvalith {
namespace {

namespace fs = std::filesystem;
using testing::FaultInjectingFileSystem;
using testing::FileFault;
using testing::FileOp;
using testing::ScopedFileFault;
using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::uint32_t be32_at(const Bytes& file, std::size_t at) {
  return (std::uint32_t{file[at]} << 24) | (std::uint32_t{file[at + 1]} << 16) |
         (std::uint32_t{file[at + 2]} << 8) | std::uint32_t{file[at + 3]};
}

TEST(Crc32, CheckValueAndIncrementalUse) {
  EXPECT_EQ(crc32(bytes_of("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32({}), 0u);
  const Bytes all = bytes_of("The quick brown fox jumps over the lazy dog");
  EXPECT_EQ(crc32(all), 0x414FA339u);
  const std::span<const std::uint8_t> view(all);
  EXPECT_EQ(crc32_update(crc32(view.first(10)), view.subspan(10)), crc32(all));
}

class WalTest : public testing::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    path_ = dir_ / "wal.bin";
  }

  std::unique_ptr<SyncWriteAheadLog> open_log(EncryptionKeyPtr key = nullptr) {
    auto log = SyncWriteAheadLog::open(path_, std::move(key), files_);
    EXPECT_TRUE(log.has_value()) << (log ? "" : log.error().message);
    return log ? std::move(*log) : nullptr;
  }

  Bytes file_bytes() const {
    auto bytes = read_file(path_);
    EXPECT_TRUE(bytes.has_value());
    return bytes ? *bytes : Bytes{};
  }

  void write_file_bytes(const Bytes& bytes) const {
    auto file = FileHandle::open(path_, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_TRUE(file.has_value());
    ASSERT_TRUE(file->write_all(bytes).has_value());
  }

  WalRecords read(const EncryptionKey* key = nullptr) const {
    auto records = read_records(path_, key);
    EXPECT_TRUE(records.has_value()) << (records ? "" : records.error().message);
    return records ? *records : WalRecords{};
  }

  static EncryptionKeyPtr key(char digit) {
    return *EncryptionKey::from_hex(std::string(64, digit));
  }

  fs::path path_;
  FaultInjectingFileSystem files_;
};

const std::vector<Bytes> SAMPLE = {bytes_of("first"), bytes_of("second entry"), Bytes(300, 0xAB)};

TEST_F(WalTest, PlainRecordsAreFramedAndReadBack) {
  auto log = open_log();
  EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  for (const Bytes& p : SAMPLE) ASSERT_TRUE(log->append_payload(p).has_value());

  const Bytes file = file_bytes();
  ASSERT_EQ(file.size(), 3 * 8 + 5 + 12 + 300);
  EXPECT_EQ(log->size(), file.size());
  EXPECT_EQ(be32_at(file, 0), 5u);
  EXPECT_EQ(be32_at(file, 4), crc32(SAMPLE[0]));
  EXPECT_EQ(Bytes(file.begin() + 8, file.begin() + 13), SAMPLE[0]);
  EXPECT_EQ(be32_at(file, 13), 12u);

  const WalRecords records = read();
  EXPECT_EQ(records.payloads, SAMPLE);
  EXPECT_EQ(records.stop.reason, WalStopReason::CleanEnd);
  EXPECT_EQ(records.stop.offset, file.size());

  // Reopening appends after the existing records.
  log.reset();
  log = open_log();
  ASSERT_TRUE(log->append_payload(bytes_of("fourth")).has_value());
  EXPECT_EQ(read().payloads.size(), 4u);
}

TEST_F(WalTest, VisitorSeesRecordOffsets) {
  auto log = open_log();
  for (const Bytes& p : SAMPLE) ASSERT_TRUE(log->append_payload(p).has_value());
  std::vector<std::uint64_t> offsets;
  auto stop = read_records(path_, nullptr, [&](std::span<const std::uint8_t>, std::uint64_t at) {
    offsets.push_back(at);
  });
  ASSERT_TRUE(stop.has_value());
  EXPECT_EQ(offsets, (std::vector<std::uint64_t>{0, 13, 33}));
}

TEST_F(WalTest, TornTailAtEveryByteOfTheLastRecord) {
  {
    auto log = open_log();
    for (const Bytes& p : SAMPLE) ASSERT_TRUE(log->append_payload(p).has_value());
  }
  const Bytes full = file_bytes();
  const std::size_t last_start = full.size() - (8 + SAMPLE[2].size());
  for (std::size_t cut = last_start + 1; cut < full.size(); ++cut) {
    write_file_bytes(Bytes(full.begin(), full.begin() + cut));
    const WalRecords records = read();
    ASSERT_EQ(records.payloads, std::vector<Bytes>(SAMPLE.begin(), SAMPLE.begin() + 2)) << cut;
    ASSERT_EQ(records.stop.reason, WalStopReason::TornTail) << cut;
    ASSERT_EQ(records.stop.offset, last_start) << cut;
  }
  // Cut exactly at a record boundary: a clean end.
  write_file_bytes(Bytes(full.begin(), full.begin() + last_start));
  EXPECT_EQ(read().stop.reason, WalStopReason::CleanEnd);
}

TEST_F(WalTest, HugeAnnouncedLengthIsATornTail) {
  // L = 0xFFFFFFF0 in front of 100 bytes.
  Bytes file(108, 1);
  const std::uint8_t header[8] = {0xFF, 0xFF, 0xFF, 0xF0, 0, 0, 0, 0};
  std::copy(std::begin(header), std::end(header), file.begin());
  write_file_bytes(file);
  const WalRecords records = read();
  EXPECT_TRUE(records.payloads.empty());
  EXPECT_EQ(records.stop.reason, WalStopReason::TornTail);
  EXPECT_EQ(records.stop.offset, 0u);
}

TEST_F(WalTest, BadChecksumStopsEvenBeforeGoodRecords) {
  {
    auto log = open_log();
    for (const Bytes& p : SAMPLE) ASSERT_TRUE(log->append_payload(p).has_value());
  }
  Bytes file = file_bytes();
  file[13 + 8 + 3] ^= 0x01;  // a payload byte of the second record
  write_file_bytes(file);
  WalRecords records = read();
  EXPECT_EQ(records.payloads, std::vector<Bytes>{SAMPLE[0]});
  EXPECT_EQ(records.stop.reason, WalStopReason::Unreadable);
  EXPECT_EQ(records.stop.offset, 13u);

  file[13 + 8 + 3] ^= 0x01;
  file[13 + 5] ^= 0x80;  // the stored check instead
  write_file_bytes(file);
  records = read();
  EXPECT_EQ(records.payloads.size(), 1u);
  EXPECT_EQ(records.stop.reason, WalStopReason::Unreadable);
}

TEST_F(WalTest, EmptyRecordsAreNeverWritten) {
  // Eight zero bytes would read as a zero-length record with CRC 0: the
  // writer refuses to produce one, so the reader can take zeros for space
  // that never received data.
  auto log = open_log();
  Status refused = log->append_payload({});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, ErrorKind::Other);
  EXPECT_EQ(fs::file_size(path_), 0u);
}

TEST_F(WalTest, SealedRecords) {
  const auto secret = key('a');
  {
    auto log = open_log(secret);
    for (const Bytes& p : SAMPLE) ASSERT_TRUE(log->append_payload(p).has_value());
  }
  const Bytes file = file_bytes();
  std::size_t at = 0;
  for (const Bytes& p : SAMPLE) {
    EXPECT_EQ(be32_at(file, at), p.size() + 28);
    EXPECT_EQ(be32_at(file, at + 4), 0xFFFFFFFFu);
    at += 8 + p.size() + 28;
  }
  EXPECT_EQ(at, file.size());
  EXPECT_EQ(read(secret.get()).payloads, SAMPLE);

  const WalRecords without_key = read(nullptr);
  EXPECT_TRUE(without_key.payloads.empty());
  EXPECT_EQ(without_key.stop.reason, WalStopReason::Unreadable);
  EXPECT_EQ(without_key.stop.offset, 0u);

  const auto other = key('b');
  const WalRecords wrong_key = read(other.get());
  EXPECT_TRUE(wrong_key.payloads.empty());
  EXPECT_EQ(wrong_key.stop.reason, WalStopReason::Unreadable);
  EXPECT_EQ(wrong_key.stop.detail, "decryption failed: wrong key or corrupted data");
}

TEST_F(WalTest, PlainRecordsThenSealedOnesStopAtTheFirstSealed) {
  {
    auto log = open_log();
    ASSERT_TRUE(log->append_payload(SAMPLE[0]).has_value());
  }
  {
    auto log = open_log(key('c'));
    ASSERT_TRUE(log->append_payload(SAMPLE[1]).has_value());
  }
  const WalRecords records = read();
  EXPECT_EQ(records.payloads, std::vector<Bytes>{SAMPLE[0]});
  EXPECT_EQ(records.stop.reason, WalStopReason::Unreadable);
  EXPECT_EQ(records.stop.offset, 13u);
  // A key opens sealed records and still reads plain ones.
  EXPECT_EQ(read(key('c').get()).payloads, (std::vector<Bytes>{SAMPLE[0], SAMPLE[1]}));
}

TEST_F(WalTest, TruncateEmptiesAndAppendsRestartAtZero) {
  auto log = open_log();
  for (const Bytes& p : SAMPLE) ASSERT_TRUE(log->append_payload(p).has_value());
  ASSERT_TRUE(log->truncate().has_value());
  EXPECT_EQ(fs::file_size(path_), 0u);
  EXPECT_EQ(log->size(), 0u);
  ASSERT_TRUE(log->append_payload(bytes_of("fresh")).has_value());
  const Bytes file = file_bytes();
  ASSERT_EQ(file.size(), 13u);
  EXPECT_EQ(be32_at(file, 0), 5u);
  EXPECT_EQ(read().payloads, std::vector<Bytes>{bytes_of("fresh")});
}

TEST_F(WalTest, FailedTruncateKeepsContentsAndWriter) {
  auto log = open_log();
  ASSERT_TRUE(log->append_payload(SAMPLE[0]).has_value());
  {
    ScopedFileFault fault(files_, {.op = FileOp::Truncate, .error = EIO});
    EXPECT_EQ(log->truncate().error().message, "Input/output error (os error 5)");
  }
  EXPECT_EQ(read().payloads.size(), 1u);
  ASSERT_TRUE(log->append_payload(SAMPLE[1]).has_value());
  EXPECT_EQ(read().payloads.size(), 2u);

  fs::remove(path_);
  EXPECT_EQ(log->truncate().error().message, "No such file or directory (os error 2)");
  EXPECT_FALSE(fs::exists(path_));
}

TEST_F(WalTest, FailedAppendLeavesThePreviousLength) {
  auto log = open_log();
  ASSERT_TRUE(log->append_payload(SAMPLE[0]).has_value());
  const std::uint64_t before = fs::file_size(path_);

  const FileFault faults[] = {
      {.op = FileOp::Write, .error = ENOSPC, .partial_write = true},
      {.op = FileOp::Write, .error = EIO},
      {.op = FileOp::Sync, .error = EIO},
      {.op = FileOp::Sync, .error = ENOSPC},
  };
  for (const FileFault& fault : faults) {
    {
      ScopedFileFault armed(files_, fault);
      auto failed = log->append_payload(SAMPLE[2]);
      ASSERT_FALSE(failed.has_value());
      EXPECT_EQ(failed.error().kind, ErrorKind::Io);
      EXPECT_EQ(failed.error().message, os_error(fault.error).message);
    }
    EXPECT_EQ(fs::file_size(path_), before);
    EXPECT_EQ(log->size(), before);
  }
  ASSERT_TRUE(log->append_payload(SAMPLE[1]).has_value());
  const WalRecords records = read();
  EXPECT_EQ(records.payloads, (std::vector<Bytes>{SAMPLE[0], SAMPLE[1]}));
  EXPECT_EQ(records.stop.reason, WalStopReason::CleanEnd);
}

TEST_F(WalTest, UnrecoverableFailureBlocksAppendsUntilTruncated) {
  auto log = open_log();
  ASSERT_TRUE(log->append_payload(SAMPLE[0]).has_value());
  files_.inject({.op = FileOp::Write, .error = ENOSPC, .partial_write = true});
  files_.inject({.op = FileOp::Truncate, .error = EIO});
  ASSERT_FALSE(log->append_payload(SAMPLE[2]).has_value());
  files_.clear();

  auto refused = log->append_payload(SAMPLE[1]);
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(refused.error().message.find("No space left on device (os error 28)"),
            std::string::npos);
  EXPECT_EQ(read().stop.reason, WalStopReason::TornTail);  // the partial record is still there

  ASSERT_TRUE(log->truncate().has_value());
  ASSERT_TRUE(log->append_payload(SAMPLE[1]).has_value());
  EXPECT_EQ(read().payloads, std::vector<Bytes>{SAMPLE[1]});
}

TEST_F(WalTest, CutBackRemovesATornTail) {
  {
    auto log = open_log();
    ASSERT_TRUE(log->append_payload(SAMPLE[0]).has_value());
  }
  Bytes file = file_bytes();
  file.insert(file.end(), {0, 0, 0, 9, 1, 2});
  write_file_bytes(file);
  const WalRecords torn = read();
  ASSERT_EQ(torn.stop.reason, WalStopReason::TornTail);
  ASSERT_TRUE(cut_back(path_, torn.stop.offset).has_value());
  EXPECT_EQ(fs::file_size(path_), 13u);

  auto log = open_log();
  ASSERT_TRUE(log->append_payload(SAMPLE[1]).has_value());
  EXPECT_EQ(read().payloads, (std::vector<Bytes>{SAMPLE[0], SAMPLE[1]}));
  EXPECT_FALSE(cut_back(dir_ / "missing.bin", 0).has_value());
  EXPECT_FALSE(fs::exists(dir_ / "missing.bin"));
}

TEST_F(WalTest, ConcurrentAppendsNeverInterleave) {
  auto log = open_log(key('d'));
  constexpr int THREADS = 4;
  constexpr int PER_THREAD = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < PER_THREAD; ++i) {
        Bytes payload(100 + 37 * t, static_cast<std::uint8_t>(t));
        payload[0] = static_cast<std::uint8_t>(i);
        ASSERT_TRUE(log->append_payload(payload).has_value());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const WalRecords records = read(log->key().get());
  ASSERT_EQ(records.payloads.size(), std::size_t{THREADS * PER_THREAD});
  EXPECT_EQ(records.stop.reason, WalStopReason::CleanEnd);
  std::vector<int> next(THREADS, 0);
  for (const Bytes& p : records.payloads) {
    const int t = p.back();
    ASSERT_LT(t, THREADS);
    ASSERT_EQ(p.size(), std::size_t(100 + 37 * t));
    EXPECT_EQ(p[0], next[t]++);  // each thread's records in its own order
  }
}

}  // namespace
}  // namespace karvalith
