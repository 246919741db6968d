// The binary encoding of snapshot payloads and log entries: little-endian
// integers at full width, IEEE floats, bools as one byte 0/1, u64 lengths in
// front of strings, byte strings, lists and maps, a one-byte tag in front of
// optional values, a u32 variant number in front of enumeration fields, and
// UUIDs as the byte string of their 16 bytes.
//
// Encoding and size computation share one code path: write an encode function
// generic over the encoder (`[&](auto& enc) { ... }`) and pass it to
// `encode_exact`, which runs it once with a counting sink and once into a
// vector reserved to exactly that size.
//
// The decoder treats every length as untrusted: `get_length` rejects counts
// whose smallest possible encoding exceeds the remaining input, so callers may
// reserve that many elements without risk.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/common/result.h"

namespace karvalith {

// Counts bytes without storing them.
class CountingSink {
 public:
  void write(const std::uint8_t*, std::size_t n) { size_ += n; }
  std::uint64_t size() const { return size_; }

 private:
  std::uint64_t size_ = 0;
};

// Appends to a vector (reserve it first to avoid regrowth).
class VectorSink {
 public:
  explicit VectorSink(std::vector<std::uint8_t>& out) : out_(&out) {}
  void write(const std::uint8_t* data, std::size_t n) { out_->insert(out_->end(), data, data + n); }

 private:
  std::vector<std::uint8_t>* out_;
};

template <class Sink>
class BasicEncoder {
 public:
  template <class... Args>
  explicit BasicEncoder(Args&&... args) : sink_(std::forward<Args>(args)...) {}

  Sink& sink() { return sink_; }

  void put_u8(std::uint8_t v) { sink_.write(&v, 1); }
  void put_u32(std::uint32_t v) { put_le(v); }
  void put_u64(std::uint64_t v) { put_le(v); }
  void put_i64(std::int64_t v) { put_le(static_cast<std::uint64_t>(v)); }
  void put_f32(float v) { put_le(std::bit_cast<std::uint32_t>(v)); }
  void put_f64(double v) { put_le(std::bit_cast<std::uint64_t>(v)); }
  void put_bool(bool v) { put_u8(v ? 1 : 0); }

  // Element count of a list or entry count of a map.
  void put_length(std::uint64_t count) { put_u64(count); }
  // Enumeration variant number; the variant's fields follow.
  void put_variant(std::uint32_t index) { put_u32(index); }
  // 1 when the optional value follows, 0 when it is absent.
  void put_optional_tag(bool present) { put_u8(present ? 1 : 0); }

  void put_string(std::string_view s) {
    put_u64(s.size());
    sink_.write(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  }
  // Byte string; also a list of u8.
  void put_bytes(std::span<const std::uint8_t> bytes) {
    put_u64(bytes.size());
    sink_.write(bytes.data(), bytes.size());
  }
  // Bytes with no length in front (the length was written already).
  void put_raw(std::span<const std::uint8_t> bytes) { sink_.write(bytes.data(), bytes.size()); }
  // A UUID: byte string of length 16, bytes in textual order.
  void put_uuid_bytes(std::span<const std::uint8_t, 16> bytes) { put_bytes(bytes); }

  // Lists of fixed-width numbers, written in one block on little-endian hosts.
  void put_f32_list(std::span<const float> values) { put_number_list(values); }
  void put_u32_list(std::span<const std::uint32_t> values) { put_number_list(values); }
  // The elements of a u32 list without its length (written already), for a
  // list written a block at a time.
  void put_u32_values(std::span<const std::uint32_t> values) { put_numbers(values); }

 private:
  template <class U>
  void put_le(U v) {
    std::array<std::uint8_t, sizeof(U)> bytes;
    for (std::size_t i = 0; i < sizeof(U); ++i) bytes[i] = static_cast<std::uint8_t>(v >> (8 * i));
    sink_.write(bytes.data(), bytes.size());
  }

  template <class T>
  void put_number_list(std::span<const T> values) {
    put_u64(values.size());
    put_numbers(values);
  }

  template <class T>
  void put_numbers(std::span<const T> values) {
    if constexpr (std::endian::native == std::endian::little) {
      sink_.write(reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes());
    } else {
      for (const T& v : values) {
        if constexpr (sizeof(T) == 4) put_le(std::bit_cast<std::uint32_t>(v));
        else put_le(std::bit_cast<std::uint64_t>(v));
      }
    }
  }

  Sink sink_;
};

using SizeCounter = BasicEncoder<CountingSink>;
using Encoder = BasicEncoder<VectorSink>;

// Runs `encode(encoder)` twice: first counting, then writing into a buffer of
// exactly the counted size, which is returned. `encode` must write the same
// bytes both times (it may not depend on state that changes in between).
template <class EncodeFn>
std::vector<std::uint8_t> encode_exact(EncodeFn&& encode) {
  SizeCounter counter;
  encode(counter);
  std::vector<std::uint8_t> out;
  out.reserve(counter.sink().size());
  Encoder encoder(out);
  encode(encoder);
  return out;
}

class Decoder {
 public:
  explicit Decoder(std::span<const std::uint8_t> input) : input_(input) {}

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return input_.size() - pos_; }

  Result<std::uint8_t> get_u8();
  Result<std::uint32_t> get_u32();
  Result<std::uint64_t> get_u64();
  Result<std::int64_t> get_i64();
  Result<float> get_f32();
  Result<double> get_f64();
  // "invalid u8 while decoding bool, expected 0 or 1, found N" for other bytes.
  Result<bool> get_bool();

  // Tag in front of an optional value: true when the value follows.
  // "tag for enum is not valid, found N" for tags other than 0 and 1.
  Result<bool> get_optional_tag();
  // Variant number of an enumeration with `variant_count` variants: "invalid
  // value: integer `N`, expected variant index 0 <= i < COUNT" outside it.
  Result<std::uint32_t> get_variant(std::uint32_t variant_count);

  // A list or map count, rejected (with the early-end error) when `count`
  // elements of at least `min_element_size` bytes each (taken as 1 if 0)
  // cannot fit in the remaining input. Callers may reserve `count` elements.
  Result<std::uint64_t> get_length(std::size_t min_element_size);

  // Strict UTF-8: "string is not valid utf8: ..." otherwise.
  Result<std::string> get_string();
  // A byte string, borrowed from the input.
  Result<std::span<const std::uint8_t>> get_bytes_view();
  Result<std::vector<std::uint8_t>> get_bytes();
  // "UUID parsing failed: invalid length: expected 16 bytes, found N" for a
  // byte string of another length.
  Result<std::array<std::uint8_t, 16>> get_uuid_bytes();

  // `n` bytes as they stand, borrowed from the input (the early-end error
  // when fewer remain).
  Result<std::span<const std::uint8_t>> get_raw_view(std::size_t n);

  // Lists of fixed-width numbers into `out` (replacing its contents).
  Status get_f32_list(std::vector<float>& out);
  Status get_u32_list(std::vector<std::uint32_t>& out);

 private:
  // Takes `n` bytes or fails with the early-end error.
  Result<const std::uint8_t*> take(std::size_t n);
  template <class U>
  Result<U> get_le();
  template <class T>
  Status get_number_list(std::vector<T>& out);

  std::span<const std::uint8_t> input_;
  std::size_t pos_ = 0;
};

// Propagates the error of a Result/Status expression.
#define KV_TRY(var, expr)                                       \
  auto var = (expr);                                            \
  if (!var) return std::unexpected(std::move(var).error())

// ErrorKind::InvalidData with `message`: the kind of every decoding failure.
std::unexpected<Error> decode_error(std::string message);
// The error for input that ends before the value does:
// "io error: failed to fill whole buffer".
std::unexpected<Error> unexpected_end_error();

// The double-quoted debug form of a path: backslash, double quote and control
// characters escaped (\t \r \n \0 \" \\, \u{..} for other controls), bytes
// that are not valid UTF-8 written as \xNN.
std::string quote_path(std::string_view path);

}  // namespace karvalith
