#include "core/codec/codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace karvalith {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes le_u64(std::uint64_t v) {
  Bytes out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string decode_failure(const Bytes& input, auto&& get) {
  Decoder decoder(input);
  auto result = get(decoder);
  if (result) return "<decoded>";
  EXPECT_EQ(result.error().kind, ErrorKind::InvalidData);
  return result.error().message;
}

const std::array<std::uint8_t, 16> SAMPLE_UUID = {0x67, 0xe5, 0x50, 0x44, 0x10, 0xb1, 0x42, 0x6f,
                                                  0x92, 0x47, 0xbb, 0x68, 0x0e, 0x5f, 0xe0, 0xc8};

// Writes one of everything; used for the size and round-trip checks.
void encode_sample(auto& enc) {
  enc.put_u8(0xAB);
  enc.put_u32(0x01020304);
  enc.put_u64(0x0102030405060708ULL);
  enc.put_i64(-2);
  enc.put_f32(-1.5f);
  enc.put_f64(0.1);
  enc.put_bool(true);
  enc.put_bool(false);
  enc.put_string("h\xC3\xA9llo");
  enc.put_bytes(Bytes{1, 2, 3});
  enc.put_uuid_bytes(SAMPLE_UUID);
  enc.put_optional_tag(true);
  enc.put_u32(7);
  enc.put_optional_tag(false);
  enc.put_variant(2);
  enc.put_length(2);
  enc.put_string("");
  enc.put_string("x");
  const float floats[] = {1.0f, -0.0f, std::numeric_limits<float>::infinity()};
  enc.put_f32_list(floats);
  const std::uint32_t ids[] = {0, 0xFFFFFFFF};
  enc.put_u32_list(ids);
}

TEST(Encoding, ExactSizeAndLittleEndianLayout) {
  const Bytes out = encode_exact([](auto& enc) { encode_sample(enc); });
  EXPECT_EQ(out.size(), out.capacity());
  SizeCounter counter;
  encode_sample(counter);
  EXPECT_EQ(counter.sink().size(), out.size());

  const Bytes head = {0xAB, 0x04, 0x03, 0x02, 0x01, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,
                      0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // -2
                      0x00, 0x00, 0xC0, 0xBF,                          // -1.5f
                      0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xB9, 0x3F,  // 0.1
                      0x01, 0x00};
  ASSERT_GE(out.size(), head.size());
  EXPECT_EQ(Bytes(out.begin(), out.begin() + head.size()), head);
  // The string: u64 byte length 6, then its bytes without terminator.
  const Bytes text = concat({le_u64(6), bytes_of("h\xC3\xA9llo")});
  EXPECT_EQ(Bytes(out.begin() + head.size(), out.begin() + head.size() + text.size()), text);
  // The UUID: length 16 then the bytes in order.
  const std::size_t uuid_at = head.size() + text.size() + 8 + 3;
  EXPECT_EQ(Bytes(out.begin() + uuid_at, out.begin() + uuid_at + 8), le_u64(16));
  EXPECT_EQ(out[uuid_at + 8], 0x67);
  EXPECT_EQ(out[uuid_at + 23], 0xc8);
}

TEST(Decoding, RoundTripsEveryPrimitive) {
  const Bytes out = encode_exact([](auto& enc) { encode_sample(enc); });
  Decoder d(out);
  EXPECT_EQ(*d.get_u8(), 0xAB);
  EXPECT_EQ(*d.get_u32(), 0x01020304u);
  EXPECT_EQ(*d.get_u64(), 0x0102030405060708ULL);
  EXPECT_EQ(*d.get_i64(), -2);
  EXPECT_EQ(*d.get_f32(), -1.5f);
  EXPECT_EQ(*d.get_f64(), 0.1);
  EXPECT_TRUE(*d.get_bool());
  EXPECT_FALSE(*d.get_bool());
  EXPECT_EQ(*d.get_string(), "h\xC3\xA9llo");
  EXPECT_EQ(*d.get_bytes(), (Bytes{1, 2, 3}));
  EXPECT_EQ(*d.get_uuid_bytes(), SAMPLE_UUID);
  EXPECT_TRUE(*d.get_optional_tag());
  EXPECT_EQ(*d.get_u32(), 7u);
  EXPECT_FALSE(*d.get_optional_tag());
  EXPECT_EQ(*d.get_variant(3), 2u);
  EXPECT_EQ(*d.get_length(8), 2u);
  EXPECT_EQ(*d.get_string(), "");
  EXPECT_EQ(*d.get_string(), "x");
  std::vector<float> floats;
  ASSERT_TRUE(d.get_f32_list(floats).has_value());
  ASSERT_EQ(floats.size(), 3u);
  EXPECT_EQ(floats[0], 1.0f);
  EXPECT_TRUE(std::signbit(floats[1]));
  EXPECT_TRUE(std::isinf(floats[2]));
  std::vector<std::uint32_t> ids;
  ASSERT_TRUE(d.get_u32_list(ids).has_value());
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{0, 0xFFFFFFFF}));
  EXPECT_EQ(d.remaining(), 0u);
  EXPECT_EQ(d.position(), out.size());
}

// Reads the sample back field by field; the first failure's message, or "".
std::string decode_sample(Decoder& d) {
  std::string error;
  auto ok = [&](const auto& result) {
    if (!result) error = result.error().message;
    return result.has_value();
  };
  std::vector<float> floats;
  std::vector<std::uint32_t> ids;
  ok(d.get_u8()) && ok(d.get_u32()) && ok(d.get_u64()) && ok(d.get_i64()) && ok(d.get_f32()) &&
      ok(d.get_f64()) && ok(d.get_bool()) && ok(d.get_bool()) && ok(d.get_string()) &&
      ok(d.get_bytes()) && ok(d.get_uuid_bytes()) && ok(d.get_optional_tag()) && ok(d.get_u32()) &&
      ok(d.get_optional_tag()) && ok(d.get_variant(3)) && ok(d.get_length(8)) &&
      ok(d.get_string()) && ok(d.get_string()) && ok(d.get_f32_list(floats)) &&
      ok(d.get_u32_list(ids));
  return error;
}

TEST(Decoding, EarlyEndAtEveryCut) {
  const Bytes out = encode_exact([](auto& enc) { encode_sample(enc); });
  Decoder whole(out);
  EXPECT_EQ(decode_sample(whole), "");
  for (std::size_t cut = 0; cut < out.size(); ++cut) {
    Decoder part(std::span<const std::uint8_t>(out).first(cut));
    ASSERT_EQ(decode_sample(part), "io error: failed to fill whole buffer") << "cut at " << cut;
  }
}

TEST(Decoding, DamagedInputFailsCleanly) {
  const Bytes sample = encode_exact([](auto& enc) { encode_sample(enc); });
  std::mt19937 random(12345);
  const std::vector<std::string> known = {
      "io error: failed to fill whole buffer", "invalid u8 while decoding bool",
      "tag for enum is not valid", "invalid value: integer", "string is not valid utf8",
      "UUID parsing failed"};
  int failures = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes damaged = sample;
    for (int flips = 1 + round % 4; flips > 0; --flips) {
      damaged[random() % damaged.size()] = static_cast<std::uint8_t>(random());
    }
    Decoder decoder(damaged);
    const std::string error = decode_sample(decoder);
    if (error.empty()) continue;
    ++failures;
    ASSERT_TRUE(std::any_of(known.begin(), known.end(),
                            [&](const std::string& k) { return error.starts_with(k); }))
        << error;
  }
  EXPECT_GT(failures, 1000);
}

TEST(Decoding, InvalidValueMessages) {
  EXPECT_EQ(decode_failure({2}, [](Decoder& d) { return d.get_bool(); }),
            "invalid u8 while decoding bool, expected 0 or 1, found 2");
  EXPECT_EQ(decode_failure({255}, [](Decoder& d) { return d.get_bool(); }),
            "invalid u8 while decoding bool, expected 0 or 1, found 255");
  EXPECT_EQ(decode_failure({5}, [](Decoder& d) { return d.get_optional_tag(); }),
            "tag for enum is not valid, found 5");
  EXPECT_EQ(decode_failure({3, 0, 0, 0}, [](Decoder& d) { return d.get_variant(3); }),
            "invalid value: integer `3`, expected variant index 0 <= i < 3");
  EXPECT_EQ(decode_failure({9, 0, 0, 0}, [](Decoder& d) { return d.get_variant(6); }),
            "invalid value: integer `9`, expected variant index 0 <= i < 6");
  EXPECT_EQ(decode_failure({0xFF, 0xFF, 0xFF, 0xFF}, [](Decoder& d) { return d.get_variant(4); }),
            "invalid value: integer `4294967295`, expected variant index 0 <= i < 4");
  EXPECT_EQ(decode_failure({}, [](Decoder& d) { return d.get_u8(); }),
            "io error: failed to fill whole buffer");

  const Bytes short_uuid = concat({le_u64(15), Bytes(15, 1)});
  EXPECT_EQ(decode_failure(short_uuid, [](Decoder& d) { return d.get_uuid_bytes(); }),
            "UUID parsing failed: invalid length: expected 16 bytes, found 15");
  const Bytes long_uuid = concat({le_u64(17), Bytes(17, 1)});
  EXPECT_EQ(decode_failure(long_uuid, [](Decoder& d) { return d.get_uuid_bytes(); }),
            "UUID parsing failed: invalid length: expected 16 bytes, found 17");
}

TEST(Decoding, StringsMustBeStrictUtf8) {
  auto string_error = [](std::string_view raw) {
    return decode_failure(concat({le_u64(raw.size()), bytes_of(raw)}),
                          [](Decoder& d) { return d.get_string(); });
  };
  const std::string prefix = "string is not valid utf8: ";
  const std::string one_at_0 = prefix + "invalid utf-8 sequence of 1 bytes from index 0";
  EXPECT_EQ(string_error("ab\xFF"),
            prefix + "invalid utf-8 sequence of 1 bytes from index 2");
  EXPECT_EQ(string_error("\xC0\x80"), one_at_0);
  EXPECT_EQ(string_error("\xE0\x80\x80"), one_at_0);
  EXPECT_EQ(string_error("x\xED\xA0\x80"),
            prefix + "invalid utf-8 sequence of 1 bytes from index 1");
  EXPECT_EQ(string_error("\xF4\x90\x80\x80"), one_at_0);
  EXPECT_EQ(string_error("\xF5\x80\x80\x80"), one_at_0);
  EXPECT_EQ(string_error("\xE2\x82" "A"),
            prefix + "invalid utf-8 sequence of 2 bytes from index 0");
  EXPECT_EQ(string_error("\xF0\x9F\x98" "A"),
            prefix + "invalid utf-8 sequence of 3 bytes from index 0");
  EXPECT_EQ(string_error("0123456789\xE2\x82"),
            prefix + "incomplete utf-8 byte sequence from index 10");
  EXPECT_EQ(string_error(std::string_view("a\0b", 3)), "<decoded>");
  // Largest scalar values of each width, and the edges around the surrogates.
  EXPECT_EQ(string_error("\x7F\xDF\xBF\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF"),
            "<decoded>");
}

TEST(Decoding, LengthsBeyondTheInputFailWithoutAllocating) {
  const std::string early = "io error: failed to fill whole buffer";
  // 2^60 bytes / elements: would exhaust memory if reserved.
  const Bytes huge = concat({le_u64(std::uint64_t{1} << 60), Bytes(32, 0)});
  EXPECT_EQ(decode_failure(huge, [](Decoder& d) { return d.get_string(); }), early);
  EXPECT_EQ(decode_failure(huge, [](Decoder& d) { return d.get_bytes(); }), early);
  EXPECT_EQ(decode_failure(huge, [](Decoder& d) { return d.get_uuid_bytes(); }), early);
  EXPECT_EQ(decode_failure(huge, [](Decoder& d) {
              std::vector<float> out;
              return d.get_f32_list(out);
            }),
            early);
  // count * element size overflows 64 bits.
  const Bytes wraps = concat({le_u64(std::uint64_t{1} << 62), Bytes(32, 0)});
  EXPECT_EQ(decode_failure(wraps, [](Decoder& d) {
              std::vector<std::uint32_t> out;
              return d.get_u32_list(out);
            }),
            early);
  EXPECT_EQ(decode_failure(wraps, [](Decoder& d) { return d.get_length(16); }), early);

  // get_length allows exactly what fits, with a minimum element size of 1.
  const Bytes four = concat({le_u64(4), Bytes(8, 0)});
  EXPECT_EQ(*Decoder(four).get_length(2), 4u);
  EXPECT_EQ(decode_failure(four, [](Decoder& d) { return d.get_length(3); }), early);
  EXPECT_EQ(*Decoder(four).get_length(0), 4u);
  const Bytes nine = concat({le_u64(9), Bytes(8, 0)});
  EXPECT_EQ(decode_failure(nine, [](Decoder& d) { return d.get_length(0); }), early);
}

TEST(QuotePath, EscapesLikeADebugString) {
  EXPECT_EQ(quote_path("/data/a.kvl"), "\"/data/a.kvl\"");
  EXPECT_EQ(quote_path("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quote_path("t\tr\rn\n"), "\"t\\tr\\rn\\n\"");
  EXPECT_EQ(quote_path(std::string_view("z\0", 2)), "\"z\\0\"");
  EXPECT_EQ(quote_path("\x1b[\x7f"), "\"\\u{1b}[\\u{7f}\"");
  EXPECT_EQ(quote_path("\xC2\x85"), "\"\\u{85}\"");
  EXPECT_EQ(quote_path("caf\xC3\xA9 '\xE2\x82\xAC'"), "\"caf\xC3\xA9 '\xE2\x82\xAC'\"");
  EXPECT_EQ(quote_path("a\xFF" "b"), "\"a\\xFFb\"");
  EXPECT_EQ(quote_path("\xE2\x82" "A\x80"), "\"\\xE2\\x82A\\x80\"");
  EXPECT_EQ(quote_path("\x05"), "\"\\u{5}\"");
  EXPECT_EQ(quote_path(""), "\"\"");
}

}  // namespace
}  // namespace karvalith
