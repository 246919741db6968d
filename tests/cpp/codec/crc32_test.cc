// CRC-32: the folded (carry-less multiply) path must give zlib's value for
// every length and alignment, alone and continued; parts join in order.
#include "core/codec/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace karvalith {
namespace {

std::uint32_t reference(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint32_t>(::crc32(crc, bytes.data(), static_cast<uInt>(bytes.size())));
}

TEST(Crc32Folded, MatchesZlibForEveryLengthAlignmentAndContinuation) {
  std::mt19937 rng(9);
  std::vector<std::uint8_t> data((1 << 20) + 64);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  const std::span<const std::uint8_t> all(data);
  for (std::size_t offset = 0; offset < 4; ++offset) {
    for (std::size_t length = 0; length <= 600; ++length) {
      const auto part = all.subspan(offset, length);
      ASSERT_EQ(crc32(part), reference(0, part)) << offset << " " << length;
      ASSERT_EQ(crc32_update(0x12345678u, part), reference(0x12345678u, part)) << offset << " " << length;
    }
  }
  EXPECT_EQ(crc32(all), reference(0, all));
  const std::uint32_t first = crc32(all.first(1000));
  EXPECT_EQ(crc32_update(first, all.subspan(1000)), crc32(all));
  EXPECT_EQ(crc32_combine(first, crc32(all.subspan(1000)), all.size() - 1000), crc32(all));
  EXPECT_EQ(crc32_combine(crc32(all), crc32({}), 0), crc32(all));
}

}  // namespace
}  // namespace karvalith
