// The damage reporter: every damaged region with its offset and length, and
// resynchronisation behind the first one, without changing where recovery
// stops.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/wal/wal.h"
#include "testing/temp_dir_test.h"

namespace karvalith {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct Region {
  std::uint64_t offset;
  std::uint64_t length;
  WalDamageKind kind;
  bool stops_recovery;
  bool operator==(const Region&) const = default;
};

void PrintTo(const Region& r, std::ostream* out) {
  *out << "{" << r.offset << ", " << r.length << ", kind " << static_cast<int>(r.kind) << ", "
       << (r.stops_recovery ? "stops" : "behind") << "}";
}

struct Read {
  std::vector<std::uint64_t> visited;  // record offsets
  std::vector<Region> regions;
  WalStop stop;
};

class WalReporterTest : public testing::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    path_ = dir_ / "wal.bin";
  }

  // Six records of different sizes; their offsets in starts_, the file in bytes_.
  void write_records(EncryptionKeyPtr key = nullptr) {
    auto log = SyncWriteAheadLog::open(path_, std::move(key));
    ASSERT_TRUE(log.has_value());
    for (std::size_t size : {40u, 1u, 180u, 96u, 700u, 33u}) {
      starts_.push_back((*log)->size());
      ASSERT_TRUE((*log)->append_payload(Bytes(size, static_cast<std::uint8_t>(size))).has_value());
    }
    starts_.push_back((*log)->size());  // the end
    bytes_ = *read_file(path_);
  }
  std::uint64_t frame(std::size_t i) const { return starts_[i + 1] - starts_[i]; }

  void write(const Bytes& bytes) const {
    auto file = FileHandle::open(path_, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_TRUE(file.has_value());
    ASSERT_TRUE(file->write_all(bytes).has_value());
  }

  // Reads with a reporter that goes on as long as `go_on` says, and checks
  // that the stop is the one a read without reporter returns.
  Read read(const EncryptionKey* key = nullptr, bool go_on = true) const {
    Read result;
    auto stop = read_records(
        path_, key, [&](std::span<const std::uint8_t>, std::uint64_t offset) { result.visited.push_back(offset); },
        [&](const WalDamage& d) {
          EXPECT_FALSE(d.reason.empty());
          result.regions.push_back(Region{d.offset, d.length, d.kind, d.stops_recovery});
          return go_on;
        });
    EXPECT_TRUE(stop.has_value());
    if (stop) result.stop = *stop;
    auto plain = read_records(path_, key);
    EXPECT_TRUE(plain.has_value());
    if (plain) {
      EXPECT_EQ(plain->stop.reason, result.stop.reason);
      EXPECT_EQ(plain->stop.offset, result.stop.offset);
      EXPECT_EQ(plain->stop.detail, result.stop.detail);
    }
    return result;
  }

  fs::path path_;
  std::vector<std::uint64_t> starts_;
  Bytes bytes_;
};

constexpr auto TORN = WalDamageKind::TornTail;
constexpr auto CHECKSUM = WalDamageKind::Checksum;

TEST_F(WalReporterTest, ASoundLogReportsNothing) {
  write_records();
  const Read read = this->read();
  EXPECT_TRUE(read.regions.empty());
  EXPECT_EQ(read.visited, std::vector<std::uint64_t>(starts_.begin(), starts_.end() - 1));
  EXPECT_EQ(read.stop.reason, WalStopReason::CleanEnd);
}

// One damaged record at the start, in the middle or last but one: reported
// with its frame, and every other record is still visited.
TEST_F(WalReporterTest, ResynchronisingFindsTheNextGoodRecord) {
  write_records();
  for (std::size_t damaged : {0u, 2u, 4u}) {
    Bytes bytes = bytes_;
    bytes[starts_[damaged] + 8] ^= 0x01;
    write(bytes);
    const Read read = this->read();
    EXPECT_EQ(read.regions, (std::vector<Region>{{starts_[damaged], frame(damaged), CHECKSUM, true}})) << damaged;
    std::vector<std::uint64_t> others;
    for (std::size_t i = 0; i + 1 < starts_.size(); ++i) {
      if (i != damaged) others.push_back(starts_[i]);
    }
    EXPECT_EQ(read.visited, others) << damaged;
    EXPECT_EQ(read.stop.reason, WalStopReason::Unreadable);
    EXPECT_EQ(read.stop.offset, starts_[damaged]);
  }
}

TEST_F(WalReporterTest, SeveralDamagesInOneFileAreEachReported) {
  write_records();
  Bytes bytes = bytes_;
  bytes[starts_[1] + 4] ^= 0x80;    // record 1's check
  bytes[starts_[3] + 50] ^= 0x80;   // record 3's payload
  bytes[starts_[4] + 699] ^= 0x80;  // record 4's last byte
  write(bytes);
  const Read read = this->read();
  EXPECT_EQ(read.regions, (std::vector<Region>{{starts_[1], frame(1), CHECKSUM, true},
                                               {starts_[3], frame(3), CHECKSUM, false},
                                               {starts_[4], frame(4), CHECKSUM, false}}));
  EXPECT_EQ(read.visited, (std::vector<std::uint64_t>{starts_[0], starts_[2], starts_[5]}));
  EXPECT_EQ(read.stop.offset, starts_[1]);
}

TEST_F(WalReporterTest, AReporterThatDeclinesStopsAtTheFirstDamage) {
  write_records();
  Bytes bytes = bytes_;
  bytes[starts_[1] + 8] ^= 0x01;
  bytes[starts_[3] + 8] ^= 0x01;
  write(bytes);
  const Read read = this->read(nullptr, false);
  EXPECT_EQ(read.regions, (std::vector<Region>{{starts_[1], frame(1), CHECKSUM, true}}));
  EXPECT_EQ(read.visited, (std::vector<std::uint64_t>{starts_[0]}));
}

// A torn tail is reported up to the end of the file and never stepped over;
// behind damage, the end of the file inside a header is a torn tail and
// inside a payload a length that runs past the end.
TEST_F(WalReporterTest, TornTailsAndLengthsPastTheEnd) {
  write_records();
  const std::uint64_t cut = starts_[5] + 8 + 10;
  write(Bytes(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(cut)));
  Read read = this->read();
  EXPECT_EQ(read.regions, (std::vector<Region>{{starts_[5], 18, TORN, true}}));
  EXPECT_EQ(read.stop.reason, WalStopReason::TornTail);
  EXPECT_EQ(read.visited.size(), 5u);

  Bytes damaged = bytes_;
  damaged[starts_[2] + 8] ^= 0x01;
  write(Bytes(damaged.begin(), damaged.begin() + static_cast<std::ptrdiff_t>(starts_[5] + 7)));
  read = this->read();
  EXPECT_EQ(read.regions, (std::vector<Region>{{starts_[2], frame(2), CHECKSUM, true}, {starts_[5], 7, TORN, false}}));
  EXPECT_EQ(read.visited, (std::vector<std::uint64_t>{starts_[0], starts_[1], starts_[3], starts_[4]}));

  write(Bytes(damaged.begin(), damaged.begin() + static_cast<std::ptrdiff_t>(cut)));
  read = this->read();
  EXPECT_EQ(read.regions, (std::vector<Region>{{starts_[2], frame(2), CHECKSUM, true},
                                               {starts_[5], 18, WalDamageKind::BadLength, false}}));
  EXPECT_EQ(read.stop.reason, WalStopReason::Unreadable);
}

// Damage whose length field runs past the end while records follow it: the
// whole rest of the file is the damaged region, and nothing can be stepped to.
TEST_F(WalReporterTest, ADamagedLengthTakesTheRestOfTheFile) {
  write_records();
  Bytes bytes = bytes_;
  bytes[starts_[3]] = 0x40;
  write(bytes);
  const Read read = this->read();
  EXPECT_EQ(read.regions, (std::vector<Region>{{starts_[3], bytes.size() - starts_[3], CHECKSUM, true}}));
  EXPECT_EQ(read.visited, (std::vector<std::uint64_t>{starts_[0], starts_[1], starts_[2]}));
  EXPECT_EQ(read.stop.reason, WalStopReason::Unreadable);
}

TEST_F(WalReporterTest, SealedRecordsWithAWrongOrMissingKey) {
  auto right = *EncryptionKey::from_hex(std::string(64, 'a'));
  auto wrong = *EncryptionKey::from_hex(std::string(64, 'b'));
  write_records(right);
  for (const auto& [key, kind] : {std::pair{wrong.get(), WalDamageKind::Unauthenticated},
                                  std::pair{static_cast<const EncryptionKey*>(nullptr), WalDamageKind::KeyMissing}}) {
    const Read read = this->read(key);
    std::vector<Region> expected;
    for (std::size_t i = 0; i + 1 < starts_.size(); ++i) expected.push_back({starts_[i], frame(i), kind, i == 0});
    EXPECT_EQ(read.regions, expected);
    EXPECT_TRUE(read.visited.empty());
    EXPECT_TRUE(read.stop.sealed_unopened);
  }
  // With the right key, one damaged seal among readable ones.
  Bytes bytes = bytes_;
  bytes[starts_[2] + 20] ^= 0x01;
  write(bytes);
  const Read read = this->read(right.get());
  EXPECT_EQ(read.regions, (std::vector<Region>{{starts_[2], frame(2), WalDamageKind::Unauthenticated, true}}));
  EXPECT_EQ(read.visited.size(), 5u);
  EXPECT_FALSE(read.stop.sealed_unopened);
}

}  // namespace
}  // namespace karvalith
