#include "core/document/uuid.h"

#include <cstring>

#include "core/common/os_random.h"

namespace karvalith {
namespace {

constexpr std::string_view kUrnPrefix = "urn:uuid:";
constexpr char kLowerHex[] = "0123456789abcdef";
constexpr std::size_t kGroupLengths[5] = {8, 4, 4, 4, 12};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// The offending character for a message: a whole UTF-8 sequence when `index`
// starts a well-formed one, a \xNN escape for control bytes and broken UTF-8,
// so the message is always printable valid UTF-8.
std::string describe_char(std::string_view text, std::size_t index) {
  const auto lead = static_cast<unsigned char>(text[index]);
  std::size_t length = 0;
  if (lead >= 0x20 && lead < 0x7f) length = 1;
  else if ((lead & 0xe0) == 0xc0) length = 2;
  else if ((lead & 0xf0) == 0xe0) length = 3;
  else if ((lead & 0xf8) == 0xf0) length = 4;
  bool well_formed = length > 0 && index + length <= text.size();
  for (std::size_t i = 1; well_formed && i < length; ++i) {
    well_formed = (static_cast<unsigned char>(text[index + i]) & 0xc0) == 0x80;
  }
  if (well_formed) return std::string(text.substr(index, length));
  std::string escaped = "\\x";
  escaped += kLowerHex[lead >> 4];
  escaped += kLowerHex[lead & 0x0f];
  return escaped;
}

std::unexpected<Error> invalid(std::string reason) {
  return make_error(ErrorKind::InvalidInput, std::move(reason));
}

// Decodes exactly 32 hex digits; the caller has checked every character.
Uuid decode_hex_digits(std::string_view digits) {
  Uuid id;
  for (std::size_t i = 0; i < 16; ++i) {
    id.bytes[i] = static_cast<std::uint8_t>(hex_value(digits[2 * i]) << 4 | hex_value(digits[2 * i + 1]));
  }
  return id;
}

std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  x ^= x >> 33;
  return x;
}

}  // namespace

Result<Uuid> Uuid::generate_v4() {
  Uuid id;
  if (!fill_os_random(id.bytes.data(), id.bytes.size())) {
    return make_error(ErrorKind::Internal, "the OS random source could not deliver 16 bytes for a document id");
  }
  id.bytes[6] = static_cast<std::uint8_t>((id.bytes[6] & 0x0f) | 0x40);  // version 4
  id.bytes[8] = static_cast<std::uint8_t>((id.bytes[8] & 0x3f) | 0x80);  // variant 10
  return id;
}

Result<Uuid> Uuid::parse(std::string_view text) {
  std::string_view body = text;
  std::size_t offset = 0;  // position of `body` within `text`, for messages
  if (starts_with_ignoring_case(text, kUrnPrefix)) {
    body.remove_prefix(kUrnPrefix.size());
    offset = kUrnPrefix.size();
  } else if (!text.empty() && text.front() == '{') {
    if (text.size() < 2 || text.back() != '}') {
      return invalid("invalid format: a UUID that opens with `{` must close with `}`");
    }
    body = text.substr(1, text.size() - 2);
    offset = 1;
  }

  std::size_t hyphens = 0;
  for (std::size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c == '-') {
      ++hyphens;
    } else if (hex_value(c) < 0) {
      return invalid("invalid character: expected an optional `urn:uuid:` prefix or braces around [0-9a-fA-F-], found `" +
                     describe_char(text, offset + i) + "` at index " + std::to_string(offset + i));
    }
  }

  if (hyphens == 0) {
    if (body.size() != 32) {
      return invalid("invalid length: expected 32 hex digits, or 36 characters in the hyphenated 8-4-4-4-12 form, found " +
                     std::to_string(body.size()));
    }
    return decode_hex_digits(body);
  }

  if (hyphens != 4) {
    return invalid("invalid group count: expected 5 groups of hex digits separated by hyphens (8-4-4-4-12), found " +
                   std::to_string(hyphens + 1));
  }
  char digits[32];
  std::size_t digit_count = 0;
  std::size_t group_start = 0;
  for (std::size_t group = 0; group < 5; ++group) {
    std::size_t group_end = body.find('-', group_start);
    if (group_end == std::string_view::npos) group_end = body.size();
    const std::size_t length = group_end - group_start;
    if (length != kGroupLengths[group]) {
      return invalid("invalid group length in group " + std::to_string(group + 1) + " of 8-4-4-4-12: expected " +
                     std::to_string(kGroupLengths[group]) + ", found " + std::to_string(length));
    }
    std::memcpy(digits + digit_count, body.data() + group_start, length);
    digit_count += length;
    group_start = group_end + 1;
  }
  return decode_hex_digits(std::string_view(digits, sizeof digits));
}

void Uuid::format_into(char out[36]) const {
  std::size_t pos = 0;
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out[pos++] = '-';
    out[pos++] = kLowerHex[bytes[i] >> 4];
    out[pos++] = kLowerHex[bytes[i] & 0x0f];
  }
}

std::string Uuid::to_string() const {
  std::string text(36, '\0');
  format_into(text.data());
  return text;
}

std::size_t UuidHash::operator()(const Uuid& id) const noexcept {
  std::uint64_t low;
  std::uint64_t high;
  std::memcpy(&low, id.bytes.data(), 8);
  std::memcpy(&high, id.bytes.data() + 8, 8);
  return static_cast<std::size_t>(mix64(low ^ mix64(high)));
}

}  // namespace karvalith
