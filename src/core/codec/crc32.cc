#include "core/codec/crc32.h"

#include <zlib.h>

#include <algorithm>

namespace karvalith {

std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
  // zlib takes a 32-bit length: feed larger inputs in slices.
  constexpr std::size_t SLICE = std::size_t{1} << 30;
  uLong value = crc;
  while (!bytes.empty()) {
    const std::size_t n = std::min(SLICE, bytes.size());
    value = ::crc32(value, bytes.data(), static_cast<uInt>(n));
    bytes = bytes.subspan(n);
  }
  return static_cast<std::uint32_t>(value);
}

std::uint32_t crc32(std::span<const std::uint8_t> bytes) { return crc32_update(0, bytes); }

std::uint32_t crc32_combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t length_b) {
  return static_cast<std::uint32_t>(::crc32_combine64(crc_a, crc_b, static_cast<z_off64_t>(length_b)));
}

}  // namespace karvalith
