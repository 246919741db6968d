// Document identifiers: 16-byte UUIDs, their text forms and a hash for maps.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/common/result.h"

namespace karvalith {

struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  friend bool operator==(const Uuid&, const Uuid&) = default;

  // A random version-4 id from the OS random source. ErrorKind::Internal when
  // the source cannot deliver 16 bytes.
  static Result<Uuid> generate_v4();

  // Accepts 32 hex digits with or without the hyphens of the 8-4-4-4-12 form,
  // optionally wrapped in braces or after a "urn:uuid:" prefix (prefix in any
  // letter case), hex digits in either case. On failure ErrorKind::InvalidInput
  // whose message says what is wrong and where.
  static Result<Uuid> parse(std::string_view text);

  // The 36-character lower-case hyphenated form.
  std::string to_string() const;
  // The same text written into `out` without allocating (no terminator).
  void format_into(char out[36]) const;
};

// Mixes all 16 bytes, so caller-chosen ids with structure (sequential, mostly
// zero) spread as well as random ones.
struct UuidHash {
  std::size_t operator()(const Uuid& id) const noexcept;
};

}  // namespace karvalith
