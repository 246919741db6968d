#include "core/codec/utf8.h"

#include <cstring>

namespace karvalith {
namespace {

bool is_continuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Sequence width announced by a lead byte; 0 for bytes that cannot lead
// (continuations, the overlong leads C0/C1, and F5 and above).
int sequence_width(std::uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF5) return 4;
  return 0;
}

// The allowed range of the second byte depends on the lead: this is what
// excludes overlongs (E0, F0), surrogates (ED) and values above U+10FFFF (F4).
bool second_byte_ok(std::uint8_t lead, std::uint8_t second) {
  switch (lead) {
    case 0xE0: return second >= 0xA0 && second <= 0xBF;
    case 0xED: return second >= 0x80 && second <= 0x9F;
    case 0xF0: return second >= 0x90 && second <= 0xBF;
    case 0xF4: return second >= 0x80 && second <= 0x8F;
    default: return is_continuation(second);
  }
}

struct SequenceCheck {
  int width;        // > 0: a valid sequence of this many bytes
  int error_len;    // when width == 0: bytes in the broken sequence, 0 = incomplete
};

SequenceCheck check_sequence(const std::uint8_t* p, std::size_t available) {
  const std::uint8_t lead = p[0];
  const int width = sequence_width(lead);
  if (width == 1) return {1, 0};
  if (width == 0) return {0, 1};
  if (available < 2) return {0, 0};
  if (!second_byte_ok(lead, p[1])) return {0, 1};
  if (width == 2) return {2, 0};
  if (available < 3) return {0, 0};
  if (!is_continuation(p[2])) return {0, 2};
  if (width == 3) return {3, 0};
  if (available < 4) return {0, 0};
  if (!is_continuation(p[3])) return {0, 3};
  return {4, 0};
}

char32_t assemble(const std::uint8_t* p, int width) {
  switch (width) {
    case 1: return p[0];
    case 2: return (char32_t(p[0] & 0x1F) << 6) | (p[1] & 0x3F);
    case 3: return (char32_t(p[0] & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    default:
      return (char32_t(p[0] & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
             (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
  }
}

}  // namespace

std::optional<Utf8Char> decode_utf8_char(std::string_view bytes) {
  if (bytes.empty()) return std::nullopt;
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const SequenceCheck check = check_sequence(p, bytes.size());
  if (check.width == 0) return std::nullopt;
  return Utf8Char{assemble(p, check.width), static_cast<std::uint8_t>(check.width)};
}

std::optional<Utf8Char> decode_last_utf8_char(std::string_view bytes) {
  // Step back over at most three continuation bytes to the lead byte.
  std::size_t start = bytes.size();
  for (int back = 0; back < 4 && start > 0; ++back) {
    --start;
    if (!is_continuation(static_cast<std::uint8_t>(bytes[start]))) break;
  }
  auto decoded = decode_utf8_char(bytes.substr(start));
  if (!decoded || start + decoded->length != bytes.size()) return std::nullopt;
  return decoded;
}

std::string Utf8Error::describe() const {
  if (error_len) {
    return "invalid utf-8 sequence of " + std::to_string(*error_len) + " bytes from index " +
           std::to_string(valid_up_to);
  }
  return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

std::optional<Utf8Error> validate_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // ASCII runs dominate stored text: skip them eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, p + i, 8);
      if (word & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const SequenceCheck check = check_sequence(p + i, n - i);
    if (check.width == 0) {
      if (check.error_len == 0) return Utf8Error{i, std::nullopt};
      return Utf8Error{i, static_cast<std::uint8_t>(check.error_len)};
    }
    i += static_cast<std::size_t>(check.width);
  }
  return std::nullopt;
}

}  // namespace karvalith
