// Strict UTF-8 decoding for stored strings, key text and path quoting: no
// overlong forms, no surrogates, nothing above U+10FFFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace karvalith {

struct Utf8Char {
  char32_t code_point;
  std::uint8_t length;  // 1 to 4 bytes
};

// Decodes the character at the start of `bytes`; nullopt when `bytes` is empty
// or does not start with a complete, well-formed sequence.
std::optional<Utf8Char> decode_utf8_char(std::string_view bytes);

// Decodes the character that ends exactly at the end of `bytes`; nullopt when
// the last bytes are not one well-formed sequence.
std::optional<Utf8Char> decode_last_utf8_char(std::string_view bytes);

// Where validation failed: the length of the valid prefix and, for a broken
// sequence, how many bytes it spans (1-3); no length when the input ends
// inside a sequence that was well-formed so far.
struct Utf8Error {
  std::size_t valid_up_to;
  std::optional<std::uint8_t> error_len;

  // "invalid utf-8 sequence of N bytes from index I" or
  // "incomplete utf-8 byte sequence from index I".
  std::string describe() const;
};

// nullopt when all of `bytes` is well-formed UTF-8.
std::optional<Utf8Error> validate_utf8(std::string_view bytes);

}  // namespace karvalith
