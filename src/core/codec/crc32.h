// CRC-32 as in zlib and IEEE 802.3 (reflected, initial value and final XOR
// all ones): the check value of plain snapshot trailers and log records.
#pragma once

#include <cstdint>
#include <span>

namespace karvalith {

std::uint32_t crc32(std::span<const std::uint8_t> bytes);

// Continues a CRC over more bytes: crc32_update(crc32(a), b) == crc32(a ++ b).
std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes);

}  // namespace karvalith
