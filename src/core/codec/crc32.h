// CRC-32 as in zlib and IEEE 802.3 (reflected, initial value and final XOR
// all ones): the check value of plain snapshot trailers and log records.
#pragma once

#include <cstdint>
#include <span>

namespace karvalith {

std::uint32_t crc32(std::span<const std::uint8_t> bytes);

// Continues a CRC over more bytes: crc32_update(crc32(a), b) == crc32(a ++ b).
std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes);

// The CRC of a ++ b from crc32(a), crc32(b) and b's length, so parts can be
// checked apart (on several threads) and joined in order.
std::uint32_t crc32_combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t length_b);

}  // namespace karvalith
