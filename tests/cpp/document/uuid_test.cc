#include "core/document/uuid.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

namespace karvalith {
namespace {

constexpr const char* kCanonical = "67e55044-10b1-426f-9247-bb680e5fe0c8";

TEST(Uuid, ParsesEveryTextFormAndPrintsLowerCaseHyphenated) {
  for (const char* form : {kCanonical, "67e5504410b1426f9247bb680e5fe0c8", "67E55044-10B1-426F-9247-BB680E5FE0C8",
                           "{67e55044-10b1-426f-9247-bb680e5fe0c8}", "{67E5504410B1426F9247BB680E5FE0C8}",
                           "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8", "URN:UUID:67E55044-10B1-426F-9247-BB680E5FE0C8"}) {
    Result<Uuid> id = Uuid::parse(form);
    ASSERT_TRUE(id.has_value()) << form << ": " << id.error().message;
    EXPECT_EQ(id->bytes[0], 0x67) << form;
    EXPECT_EQ(id->bytes[15], 0xc8) << form;
    EXPECT_EQ(id->to_string(), kCanonical) << form;
  }
  char buffer[37];
  buffer[36] = '#';
  Uuid::parse(kCanonical)->format_into(buffer);
  EXPECT_EQ(std::string(buffer, 37), std::string(kCanonical) + "#");  // exactly 36 bytes written
}

TEST(Uuid, RejectsMalformedTextWithAReason) {
  const std::pair<std::string_view, const char*> cases[] = {
      {"", "invalid length"},
      {"67e55", "found 5"},
      {"67e5504410b1426f9247bb680e5fe0c8a", "found 33"},
      {"67eg5044-10b1-426f-9247-bb680e5fe0c8", "found `g` at index 3"},
      {"67e55044-10b-1426f-9247-bb680e5fe0c8", "invalid group length in group 2 of 8-4-4-4-12: expected 4, found 3"},
      {"-67e55044-10b1-426f9247-bb680e5fe0c8", "group 1 of 8-4-4-4-12: expected 8, found 0"},
      {"67e55044-10b1-426f-9247bb680e5fe0c8", "expected 5 groups"},
      {"{67e55044-10b1-426f-9247-bb680e5fe0c8", "must close with `}`"},
      {"urn:uuid:{67e55044-10b1-426f-9247-bb680e5fe0c8}", "found `{` at index 9"},
      {"67e55044-10b1-426f-9247-bb680e5fe0\xc3\xa9", "found `\xc3\xa9` at index 34"},
      {"67e55044-10b1-426f-9247-bb680e5fe0\xff", "found `\\xff`"},
      {std::string_view("67e5\0", 5), "found `\\x00` at index 4"},
  };
  for (const auto& [text, reason] : cases) {
    Result<Uuid> id = Uuid::parse(text);
    ASSERT_FALSE(id.has_value()) << text;
    EXPECT_EQ(id.error().kind, ErrorKind::InvalidInput);
    EXPECT_NE(id.error().message.find(reason), std::string::npos) << text << " -> " << id.error().message;
  }
}

TEST(Uuid, GeneratedIdsCarryVersion4AndVariantBits) {
  std::unordered_set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    Result<Uuid> id = Uuid::generate_v4();
    ASSERT_TRUE(id.has_value());
    const std::string text = id->to_string();
    EXPECT_EQ(text[14], '4') << text;
    EXPECT_NE(std::string("89ab").find(text[19]), std::string::npos) << text;
    EXPECT_TRUE(seen.insert(text).second);
  }
}

TEST(Uuid, HashSpreadsStructuredIds) {
  const UuidHash hash;
  std::unordered_set<std::size_t> single_byte;  // ids differing in one byte, anywhere
  for (std::size_t byte = 0; byte < 16; ++byte) {
    for (int value = 1; value < 64; ++value) {
      Uuid id;
      id.bytes[byte] = static_cast<std::uint8_t>(value);
      single_byte.insert(hash(id));
    }
  }
  EXPECT_EQ(single_byte.size(), 16u * 63u);
  std::unordered_set<std::size_t> buckets;  // a counter in the last bytes, seen through low bits
  for (std::uint32_t counter = 0; counter < 4096; ++counter) {
    Uuid id;
    id.bytes[14] = static_cast<std::uint8_t>(counter >> 8);
    id.bytes[15] = static_cast<std::uint8_t>(counter);
    buckets.insert(hash(id) & 1023);
  }
  EXPECT_GT(buckets.size(), 950u);  // about 1005 expected for a uniform hash
}

}  // namespace
}  // namespace karvalith
