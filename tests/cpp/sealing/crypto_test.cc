#include "core/sealing/crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace karvalith {

// Reaches the fixed-nonce sealing core for known-answer checks.
struct EncryptionKeyTestAccess {
  static std::vector<std::uint8_t> seal(const EncryptionKey& key,
                                        const std::array<std::uint8_t, 12>& nonce,
                                        const std::vector<std::uint8_t>& plaintext) {
    std::vector<std::uint8_t> out(plaintext.size() + EncryptionKey::SEAL_OVERHEAD);
    auto sealed = key.seal_with_nonce(nonce, plaintext, out);
    EXPECT_TRUE(sealed.has_value());
    return out;
  }
};

namespace {

std::vector<std::uint8_t> from_hex_bytes(const std::string& hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

EncryptionKeyPtr key_from(const std::string& hex) {
  auto key = EncryptionKey::from_hex(hex);
  EXPECT_TRUE(key.has_value()) << (key ? "" : key.error().message);
  return key ? *key : nullptr;
}

// Two keys are equal when each opens what the other sealed.
bool same_key(const EncryptionKey& a, const EncryptionKey& b) {
  const std::vector<std::uint8_t> text = {1, 2, 3};
  auto sealed = a.encrypt(text);
  return sealed && b.decrypt(*sealed).has_value();
}

const std::string KEY_A = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const std::string KEY_B = std::string(63, '7') + "8";

std::string key_error(std::string_view text) {
  auto key = EncryptionKey::from_hex(text);
  if (key) return "<accepted>";
  EXPECT_EQ(key.error().kind, ErrorKind::InvalidInput);
  return key.error().message;
}

// GCM paper test cases 13 to 15 (AES-256, 96-bit IV, no associated data).
struct KnownAnswer {
  std::string key, iv, plaintext, ciphertext, tag;
};

const KnownAnswer KNOWN_ANSWERS[] = {
    {std::string(64, '0'), std::string(24, '0'), "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
    {std::string(64, '0'), std::string(24, '0'), std::string(32, '0'),
     "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
    {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
     "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
     "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
     "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
     "b094dac5d93471bdec1a502270e3cc6c"},
};

TEST(Sealing, MatchesGcmKnownAnswers) {
  for (const KnownAnswer& kat : KNOWN_ANSWERS) {
    auto key = key_from(kat.key);
    ASSERT_TRUE(key);
    std::array<std::uint8_t, 12> nonce;
    const auto iv = from_hex_bytes(kat.iv);
    std::copy(iv.begin(), iv.end(), nonce.begin());
    const auto plaintext = from_hex_bytes(kat.plaintext);

    const auto sealed = EncryptionKeyTestAccess::seal(*key, nonce, plaintext);
    std::vector<std::uint8_t> expected(iv);
    for (auto part : {from_hex_bytes(kat.ciphertext), from_hex_bytes(kat.tag)}) {
      expected.insert(expected.end(), part.begin(), part.end());
    }
    EXPECT_EQ(sealed, expected) << kat.tag;

    auto opened = key->decrypt(expected);
    ASSERT_TRUE(opened.has_value()) << opened.error().message;
    EXPECT_EQ(*opened, plaintext);
  }
}

TEST(KeyParsing, TrimsUnicodeWhiteSpace) {
  auto plain = key_from(KEY_A);
  ASSERT_TRUE(plain);
  for (const std::string& wrapped :
       {"  " + KEY_A + "\n", "\t\r\n\v\f" + KEY_A, "\u3000" + KEY_A + "\u3000",
        "\u00a0\u1680\u2000\u200a" + KEY_A + "\u2028\u2029\u202f\u205f\u0085 "}) {
    auto key = key_from(wrapped);
    ASSERT_TRUE(key) << wrapped;
    EXPECT_TRUE(same_key(*plain, *key));
  }
  // Zero-width space is not White_Space: it counts towards the length.
  EXPECT_EQ(key_error("\u200b" + KEY_A),
            "encryption key must be 64 hex characters (32 bytes), got 67");
}

TEST(KeyParsing, RejectsAnyOtherLength) {
  const std::string prefix = "encryption key must be 64 hex characters (32 bytes), got ";
  EXPECT_EQ(key_error(KEY_A.substr(0, 63)), prefix + "63");
  EXPECT_EQ(key_error(KEY_A + "0"), prefix + "65");
  EXPECT_EQ(key_error(""), prefix + "0");
  EXPECT_EQ(key_error("   \n "), prefix + "0");
  EXPECT_EQ(key_error(KEY_A + KEY_A), prefix + "128");
  // Length is counted in bytes: 31 pairs plus one two-byte character.
  EXPECT_EQ(key_error(KEY_A.substr(0, 62) + "\u00e9"),
            "invalid hex at position 62: invalid digit found in string");
}

TEST(KeyParsing, HexDigitsInEitherCase) {
  const std::string lower = "abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789";
  std::string upper = lower;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  auto a = key_from(lower);
  auto b = key_from(upper);
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(same_key(*a, *b));
  EXPECT_FALSE(same_key(*a, *key_from(KEY_A)));
}

TEST(KeyParsing, ReportsTheFirstBadPairByItsStart) {
  auto at = [](std::size_t offset, const std::string& pair) {
    std::string text = KEY_A;
    text.replace(offset, 2, pair);
    return key_error(text);
  };
  EXPECT_EQ(at(4, "zz"), "invalid hex at position 4: invalid digit found in string");
  EXPECT_EQ(at(10, "0g"), "invalid hex at position 10: invalid digit found in string");
  EXPECT_EQ(at(62, "G0"), "invalid hex at position 62: invalid digit found in string");
  EXPECT_EQ(at(0, "-7"), "invalid hex at position 0: invalid digit found in string");
  EXPECT_EQ(at(2, "7+"), "invalid hex at position 2: invalid digit found in string");
  EXPECT_EQ(at(2, "++"), "invalid hex at position 2: invalid digit found in string");
  // Two bad pairs: the leftmost is named.
  std::string twice = KEY_A;
  twice.replace(20, 2, "x0");
  twice.replace(6, 2, " 1");
  EXPECT_EQ(key_error(twice), "invalid hex at position 6: invalid digit found in string");
  // A non-ASCII byte anywhere in a pair.
  // (61 ASCII bytes, a two-byte character straddling pairs 30 and 31, "0")
  const std::string non_ascii = KEY_A.substr(0, 61) + "\u00e9" + "0";
  ASSERT_EQ(non_ascii.size(), 64u);
  EXPECT_EQ(key_error(non_ascii), "invalid hex at position 60: invalid digit found in string");
}

TEST(KeyParsing, PlusSignPairReadsAsOneDigit) {
  std::string with_plus = KEY_A;  // pair 0 is "00", pair 7 is "07"
  with_plus.replace(14, 2, "+7");
  auto a = key_from(with_plus);
  ASSERT_TRUE(a);
  EXPECT_TRUE(same_key(*a, *key_from(KEY_A)));
  std::string plus_c = KEY_A;
  plus_c.replace(24, 2, "+C");  // pair 12 is "0c"
  EXPECT_TRUE(same_key(*key_from(plus_c), *key_from(KEY_A)));
}

TEST(Sealing, EmptyPlaintextGivesOverheadOnly) {
  auto key = key_from(KEY_A);
  auto sealed = key->encrypt({});
  ASSERT_TRUE(sealed.has_value());
  EXPECT_EQ(sealed->size(), 28u);
  auto opened = key->decrypt(*sealed);
  ASSERT_TRUE(opened.has_value());
  EXPECT_TRUE(opened->empty());
}

TEST(Sealing, FreshNonceEachTime) {
  auto key = key_from(KEY_A);
  const std::vector<std::uint8_t> text(100, 0x5a);
  auto first = key->encrypt(text);
  auto second = key->encrypt(text);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->size(), 128u);
  EXPECT_NE(*first, *second);
  EXPECT_NE(std::vector(first->begin(), first->begin() + 12),
            std::vector(second->begin(), second->begin() + 12));
  EXPECT_EQ(*key->decrypt(*first), text);
  EXPECT_EQ(*key->decrypt(*second), text);
}

TEST(Sealing, EncryptIntoWritesTheSameLayout) {
  auto key = key_from(KEY_A);
  const std::vector<std::uint8_t> text = {9, 8, 7, 6};
  std::vector<std::uint8_t> buffer(text.size() + 28);
  ASSERT_TRUE(key->encrypt_into(text, buffer).has_value());
  EXPECT_EQ(*key->decrypt(buffer), text);
  std::vector<std::uint8_t> wrong_size(text.size() + 27);
  EXPECT_FALSE(key->encrypt_into(text, wrong_size).has_value());
}

TEST(Opening, ShortInputNamesItsLength) {
  auto key = key_from(KEY_A);
  for (std::size_t n : {0, 1, 27}) {
    auto opened = key->decrypt(std::vector<std::uint8_t>(n, 0));
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error().kind, ErrorKind::InvalidData);
    EXPECT_EQ(opened.error().message,
              "encrypted data too short: " + std::to_string(n) + " bytes (minimum 28)");
  }
}

TEST(Opening, AnyChangedBitOrWrongKeyFails) {
  auto key = key_from(KEY_A);
  const std::vector<std::uint8_t> text = {'s', 'e', 'c', 'r', 'e', 't'};
  auto sealed = key->encrypt(text);
  ASSERT_TRUE(sealed);
  const std::string failed = "decryption failed: wrong key or corrupted data";
  for (std::size_t bit = 0; bit < sealed->size() * 8; ++bit) {
    std::vector<std::uint8_t> damaged = *sealed;
    damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    auto opened = key->decrypt(damaged);
    ASSERT_FALSE(opened.has_value()) << "bit " << bit;
    EXPECT_EQ(opened.error().kind, ErrorKind::InvalidData);
    EXPECT_EQ(opened.error().message, failed);
  }
  std::vector<std::uint8_t> extended = *sealed;
  extended.push_back(0);
  EXPECT_EQ(key->decrypt(extended).error().message, failed);
  std::vector<std::uint8_t> shortened(sealed->begin(), sealed->end() - 1);
  EXPECT_EQ(key->decrypt(shortened).error().message, failed);

  auto other = key_from(KEY_B);
  auto wrong = other->decrypt(*sealed);
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().message, failed);
}

}  // namespace
}  // namespace karvalith
