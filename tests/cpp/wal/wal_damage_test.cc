// Damage generated at every offset of a log: what is a torn tail (cut off at
// open) and what is damage (the file is kept and nothing is cut).
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/wal/wal.h"

namespace karvalith {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class WalDamageTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kv-wal-damage-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = dir_ / "wal.bin";
    if (GetParam()) key_ = *EncryptionKey::from_hex(std::string(64, 'd'));
    // Records of the sizes the store writes, with zero runs inside them like
    // the little-endian counts of real entries.
    std::mt19937 rng(7);
    for (std::size_t size : {40u, 1u, 180u, 96u, 700u, 33u}) {
      Bytes payload(size);
      for (auto& b : payload) b = static_cast<std::uint8_t>(rng());
      for (std::size_t i = 0; i + 8 < size; i += 24) std::fill_n(payload.begin() + i, 6, 0);
      payloads_.push_back(payload);
    }
    auto log = SyncWriteAheadLog::open(path_, key_);
    ASSERT_TRUE(log.has_value());
    std::uint64_t at = 0;
    for (const Bytes& p : payloads_) {
      starts_.push_back(at);
      ASSERT_TRUE((*log)->append_payload(p).has_value());
      at = (*log)->size();
    }
    log->reset();
    original_ = *read_file(path_);
    ASSERT_EQ(original_.size(), at);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  WalRecords read_bytes(const Bytes& bytes) {
    auto file = FileHandle::open(path_, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_TRUE(file.has_value());
    if (!bytes.empty()) {
      EXPECT_TRUE(file->write_all(bytes).has_value());
    }
    auto records = read_records(path_, key_.get());
    EXPECT_TRUE(records.has_value());
    return records ? *records : WalRecords{};
  }
  // Which record covers byte `at`.
  std::size_t record_at(std::size_t at) const {
    std::size_t i = 0;
    while (i + 1 < starts_.size() && starts_[i + 1] <= at) ++i;
    return i;
  }
  std::vector<Bytes> first(std::size_t n) const { return {payloads_.begin(), payloads_.begin() + n}; }

  fs::path dir_;
  fs::path path_;
  EncryptionKeyPtr key_;
  std::vector<Bytes> payloads_;
  std::vector<std::uint64_t> starts_;
  Bytes original_;
};

TEST_P(WalDamageTest, EveryChangedByteIsDamageAtItsRecordNeverATornTail) {
  // One byte changed anywhere, a length byte included: the reader stops at
  // the record holding it, and says the file is damaged.
  for (std::size_t at = 0; at < original_.size(); ++at) {
    for (std::uint8_t flip : {std::uint8_t{0x01}, std::uint8_t{0x80}, std::uint8_t{0xFF}}) {
      Bytes damaged = original_;
      damaged[at] ^= flip;
      const WalRecords got = read_bytes(damaged);
      const std::size_t record = record_at(at);
      ASSERT_EQ(got.stop.reason, WalStopReason::Unreadable) << "byte " << at << " ^ " << int(flip);
      ASSERT_EQ(got.stop.offset, starts_[record]) << "byte " << at;
      ASSERT_EQ(got.payloads, first(record)) << "byte " << at;
    }
  }
}

TEST_P(WalDamageTest, TruncationAtEveryOffsetIsATornTailOfTheLastRecordRead) {
  for (std::size_t cut = 0; cut < original_.size(); ++cut) {
    const WalRecords got = read_bytes(Bytes(original_.begin(), original_.begin() + cut));
    const std::size_t record = record_at(cut);
    if (cut == starts_[record]) {
      ASSERT_EQ(got.stop.reason, WalStopReason::CleanEnd) << cut;
    } else {
      ASSERT_EQ(got.stop.reason, WalStopReason::TornTail) << cut;
    }
    ASSERT_EQ(got.stop.offset, starts_[record]) << cut;
    ASSERT_EQ(got.payloads, first(record)) << cut;
  }
}

TEST_P(WalDamageTest, ZerosFromAnyRecordBoundaryToTheEndAreATornTail) {
  for (std::size_t record = 0; record < starts_.size(); ++record) {
    for (std::size_t extra : {0u, 8u, 4096u, 8192u - 3, 20000u}) {  // runs longer than one read chunk too
      Bytes damaged = original_;
      damaged.resize(original_.size() + extra, 0);
      std::fill(damaged.begin() + starts_[record], damaged.end(), 0);
      const WalRecords got = read_bytes(damaged);
      ASSERT_EQ(got.stop.reason, WalStopReason::TornTail) << record << " +" << extra;
      ASSERT_EQ(got.stop.offset, starts_[record]);
      ASSERT_EQ(got.payloads, first(record));
    }
    // A complete log followed by zeros the file system allocated.
    Bytes padded = original_;
    padded.resize(original_.size() + 8 + record * 100, 0);
    const WalRecords got = read_bytes(padded);
    ASSERT_EQ(got.stop.reason, WalStopReason::TornTail);
    ASSERT_EQ(got.stop.offset, original_.size());
    ASSERT_EQ(got.payloads, payloads_);
  }
}

TEST_P(WalDamageTest, ZerosFollowedByDataAreDamage) {
  // Every zero-filled span of at least one header that starts at a record
  // boundary before the last record: the records after it are still there.
  for (std::size_t record = 0; record + 1 < starts_.size(); ++record) {
    for (std::size_t span = 8; starts_[record] + span <= starts_.back(); span += 37) {
      Bytes damaged = original_;
      std::fill_n(damaged.begin() + starts_[record], span, 0);
      const WalRecords got = read_bytes(damaged);
      ASSERT_EQ(got.stop.reason, WalStopReason::Unreadable) << record << " span " << span;
      ASSERT_EQ(got.stop.offset, starts_[record]);
      ASSERT_EQ(got.payloads, first(record));
    }
  }
}

TEST_P(WalDamageTest, AFinalRecordWithAZeroedPayloadIsATornTail) {
  const std::size_t last = starts_.size() - 1;
  Bytes damaged = original_;
  std::fill(damaged.begin() + starts_[last] + 8, damaged.end(), 0);
  WalRecords got = read_bytes(damaged);
  EXPECT_EQ(got.stop.reason, WalStopReason::TornTail);
  EXPECT_EQ(got.stop.offset, starts_[last]);
  EXPECT_EQ(got.payloads, first(last));

  // The same zeroed payload in front of another record is damage.
  damaged = original_;
  std::fill(damaged.begin() + starts_[last - 1] + 8, damaged.begin() + starts_[last], 0);
  got = read_bytes(damaged);
  EXPECT_EQ(got.stop.reason, WalStopReason::Unreadable);
  EXPECT_EQ(got.stop.offset, starts_[last - 1]);
}

TEST_P(WalDamageTest, AFinalRecordZeroedFromAPageBoundaryIsATornTail) {
  // The last record is made to straddle a 4 KiB file offset; a power cut can
  // keep the page before it and lose the one after.
  Bytes lead(4096 - 200 - 8);
  for (std::size_t i = 0; i < lead.size(); ++i) lead[i] = static_cast<std::uint8_t>(i * 31 + 1);
  Bytes straddling(600, 0x5A);
  fs::remove(path_);
  {
    auto log = SyncWriteAheadLog::open(path_, key_);
    ASSERT_TRUE(log.has_value());
    ASSERT_TRUE((*log)->append_payload(lead).has_value());
    ASSERT_TRUE((*log)->append_payload(straddling).has_value());
  }
  const Bytes full = *read_file(path_);
  const std::size_t second = full.size() - 8 - straddling.size() - (key_ ? EncryptionKey::SEAL_OVERHEAD : 0);
  ASSERT_LT(second, 4096u);
  ASSERT_GT(full.size(), 4096u);
  // Every 50th offset, and each offset next to the page boundary.
  std::vector<std::size_t> starts;
  for (std::size_t from = second + 9; from < full.size(); from += 50) starts.push_back(from);
  for (std::size_t from = 4093; from <= 4099; ++from) starts.push_back(from);
  for (std::size_t from : starts) {
    Bytes damaged = full;
    std::fill(damaged.begin() + from, damaged.end(), 0);
    // A sealed record's bytes are random: one may already be zero just
    // before `from`, which moves the start of the zero run back.
    std::size_t run = from;
    while (damaged[run - 1] == 0) --run;
    const WalRecords got = read_bytes(damaged);
    // Zeros from the page boundary (or before it) on: torn. From a later,
    // unaligned offset inside the record: the record is damaged.
    const WalStopReason want = run <= 4096 ? WalStopReason::TornTail : WalStopReason::Unreadable;
    ASSERT_EQ(got.stop.reason, want) << "zeros from " << from;
    ASSERT_EQ(got.stop.offset, second);
    ASSERT_EQ(got.payloads.size(), 1u);
  }
}

TEST_P(WalDamageTest, ALengthRunningPastTheEndIsDamageWhenRecordsFollowIt) {
  // Every record but the last gets a length that runs past the end of the
  // file, with each number of bytes cut from the end that leaves at least
  // one complete record behind it.
  for (std::size_t record = 0; record < starts_.size(); ++record) {
    for (std::uint32_t raise : {0x00010000u, 0x01000000u, 0x80000000u}) {
      Bytes damaged = original_;
      const std::size_t at = starts_[record];
      std::uint32_t length = (std::uint32_t{damaged[at]} << 24) | (std::uint32_t{damaged[at + 1]} << 16) |
                             (std::uint32_t{damaged[at + 2]} << 8) | damaged[at + 3];
      length |= raise;
      for (int i = 0; i < 4; ++i) damaged[at + i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
      WalRecords got = read_bytes(damaged);
      ASSERT_EQ(got.stop.reason, WalStopReason::Unreadable) << record;
      ASSERT_EQ(got.stop.offset, at);
      ASSERT_NE(got.stop.detail.find("length field is damaged"), std::string::npos) << got.stop.detail;
      // The log also ends in a torn record: still damage while a complete
      // record sits between them.
      if (record + 2 < starts_.size()) {
        damaged.resize(damaged.size() - 3);
        got = read_bytes(damaged);
        ASSERT_EQ(got.stop.reason, WalStopReason::Unreadable) << record;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(PlainAndSealed, WalDamageTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "sealed" : "plain"; });

}  // namespace
}  // namespace karvalith
