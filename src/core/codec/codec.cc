#include "core/codec/codec.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/codec/utf8.h"

namespace karvalith {

std::unexpected<Error> decode_error(std::string message) {
  return make_error(ErrorKind::InvalidData, std::move(message));
}

std::unexpected<Error> unexpected_end_error() {
  return decode_error("io error: failed to fill whole buffer");
}

Result<const std::uint8_t*> Decoder::take(std::size_t n) {
  if (n > remaining()) return unexpected_end_error();
  const std::uint8_t* at = input_.data() + pos_;
  pos_ += n;
  return at;
}

Result<std::span<const std::uint8_t>> Decoder::get_raw_view(std::size_t n) {
  KV_TRY(at, take(n));
  return std::span<const std::uint8_t>(*at, n);
}

template <class U>
Result<U> Decoder::get_le() {
  auto bytes = take(sizeof(U));
  if (!bytes) return std::unexpected(bytes.error());
  U v = 0;
  for (std::size_t i = 0; i < sizeof(U); ++i) v |= static_cast<U>((*bytes)[i]) << (8 * i);
  return v;
}

Result<std::uint8_t> Decoder::get_u8() {
  auto bytes = take(1);
  if (!bytes) return std::unexpected(bytes.error());
  return **bytes;
}

Result<std::uint32_t> Decoder::get_u32() { return get_le<std::uint32_t>(); }
Result<std::uint64_t> Decoder::get_u64() { return get_le<std::uint64_t>(); }

Result<std::int64_t> Decoder::get_i64() {
  auto v = get_le<std::uint64_t>();
  if (!v) return std::unexpected(v.error());
  return static_cast<std::int64_t>(*v);
}

Result<float> Decoder::get_f32() {
  auto v = get_le<std::uint32_t>();
  if (!v) return std::unexpected(v.error());
  return std::bit_cast<float>(*v);
}

Result<double> Decoder::get_f64() {
  auto v = get_le<std::uint64_t>();
  if (!v) return std::unexpected(v.error());
  return std::bit_cast<double>(*v);
}

Result<bool> Decoder::get_bool() {
  auto byte = get_u8();
  if (!byte) return std::unexpected(byte.error());
  if (*byte > 1) {
    return decode_error("invalid u8 while decoding bool, expected 0 or 1, found " +
                        std::to_string(*byte));
  }
  return *byte == 1;
}

Result<bool> Decoder::get_optional_tag() {
  auto byte = get_u8();
  if (!byte) return std::unexpected(byte.error());
  if (*byte > 1) return decode_error("tag for enum is not valid, found " + std::to_string(*byte));
  return *byte == 1;
}

Result<std::uint32_t> Decoder::get_variant(std::uint32_t variant_count) {
  auto index = get_u32();
  if (!index) return index;
  if (*index >= variant_count) {
    return decode_error("invalid value: integer `" + std::to_string(*index) +
                        "`, expected variant index 0 <= i < " + std::to_string(variant_count));
  }
  return index;
}

Result<std::uint64_t> Decoder::get_length(std::size_t min_element_size) {
  auto count = get_u64();
  if (!count) return count;
  const std::uint64_t element = std::max<std::size_t>(min_element_size, 1);
  // count * element > remaining, without overflow.
  if (*count > remaining() / element) return unexpected_end_error();
  return count;
}

Result<std::span<const std::uint8_t>> Decoder::get_bytes_view() {
  auto length = get_length(1);
  if (!length) return std::unexpected(length.error());
  const std::size_t n = static_cast<std::size_t>(*length);
  auto bytes = take(n);
  if (!bytes) return std::unexpected(bytes.error());
  return std::span<const std::uint8_t>(*bytes, n);
}

Result<std::vector<std::uint8_t>> Decoder::get_bytes() {
  auto bytes = get_bytes_view();
  if (!bytes) return std::unexpected(bytes.error());
  return std::vector<std::uint8_t>(bytes->begin(), bytes->end());
}

Result<std::string> Decoder::get_string() {
  auto bytes = get_bytes_view();
  if (!bytes) return std::unexpected(bytes.error());
  const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  if (auto bad = validate_utf8(text)) {
    return decode_error("string is not valid utf8: " + bad->describe());
  }
  return std::string(text);
}

Result<std::array<std::uint8_t, 16>> Decoder::get_uuid_bytes() {
  auto bytes = get_bytes_view();
  if (!bytes) return std::unexpected(bytes.error());
  if (bytes->size() != 16) {
    return decode_error("UUID parsing failed: invalid length: expected 16 bytes, found " +
                        std::to_string(bytes->size()));
  }
  std::array<std::uint8_t, 16> out;
  std::copy(bytes->begin(), bytes->end(), out.begin());
  return out;
}

template <class T>
Status Decoder::get_number_list(std::vector<T>& out) {
  auto count = get_length(sizeof(T));
  if (!count) return std::unexpected(count.error());
  const std::size_t n = static_cast<std::size_t>(*count);
  auto bytes = take(n * sizeof(T));  // fits: get_length checked it against the input
  if (!bytes) return std::unexpected(bytes.error());
  out.resize(n);
  if constexpr (std::endian::native == std::endian::little) {
    if (n != 0) std::memcpy(out.data(), *bytes, n * sizeof(T));
  } else {
    using U = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    for (std::size_t i = 0; i < n; ++i) {
      U v = 0;
      for (std::size_t b = 0; b < sizeof(T); ++b) {
        v |= static_cast<U>((*bytes)[i * sizeof(T) + b]) << (8 * b);
      }
      out[i] = std::bit_cast<T>(v);
    }
  }
  return {};
}

Status Decoder::get_f32_list(std::vector<float>& out) { return get_number_list(out); }
Status Decoder::get_u32_list(std::vector<std::uint32_t>& out) { return get_number_list(out); }

namespace {

void append_hex(std::string& out, std::uint32_t value, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char buffer[8];
  int n = 0;
  do {
    buffer[n++] = digits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (n > 0) out.push_back(buffer[--n]);
}

}  // namespace

std::string quote_path(std::string_view path) {
  std::string out;
  out.reserve(path.size() + 2);
  out.push_back('"');
  while (!path.empty()) {
    const auto c = decode_utf8_char(path);
    if (!c) {
      // Every byte of a broken sequence is shown on its own.
      out += "\\x";
      const auto byte = static_cast<std::uint8_t>(path.front());
      if (byte < 0x10) out.push_back('0');
      append_hex(out, byte, true);
      path.remove_prefix(1);
      continue;
    }
    const char32_t cp = c->code_point;
    switch (cp) {
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      case U'\0': out += "\\0"; break;
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
          out += "\\u{";
          append_hex(out, cp, false);
          out.push_back('}');
        } else {
          out.append(path.substr(0, c->length));
        }
    }
    path.remove_prefix(c->length);
  }
  out.push_back('"');
  return out;
}

}  // namespace karvalith
