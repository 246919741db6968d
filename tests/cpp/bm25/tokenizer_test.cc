#include "core/bm25/tokenizer.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>
#include "test_strings.h"

namespace karvalith {
namespace {

using test::numbered;

std::vector<std::string> terms(std::string_view text) {
  Tokens tokens = tokenize(text);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < tokens.size(); ++i) out.emplace_back(tokens.term(i));
  return out;
}

using Terms = std::vector<std::string>;

TEST(Tokenizer, ExampleSentences) {
  EXPECT_EQ(terms("The Quick-Brown fox's 2 eggs"), (Terms{"quick", "brown", "fox", "eggs"}));
  EXPECT_EQ(terms("Il gatto è nero"), (Terms{"gatto", "è", "nero"}));
  EXPECT_EQ(terms("naïve café_au_lait"), (Terms{"naïve", "café", "au", "lait"}));
}

TEST(Tokenizer, ShortTermsAndSeparators) {
  EXPECT_TRUE(terms("").empty());
  EXPECT_TRUE(terms(" ... --- !!! 1 2 3 ").empty());
  EXPECT_TRUE(terms("A I O").empty());
  EXPECT_EQ(terms("AI"), (Terms{"ai"}));
  EXPECT_EQ(terms("e-mail"), (Terms{"mail"}));
  EXPECT_EQ(terms("x86_64"), (Terms{"x86", "64"}));
  EXPECT_EQ(terms("abc123"), (Terms{"abc123"}));
  EXPECT_EQ(terms("é"), (Terms{"é"}));  // one character, two bytes: kept
  EXPECT_EQ(terms("ab\0cd"), (Terms{"ab"}));  // C string literal stops at NUL
  EXPECT_EQ(terms(std::string_view("ab\0cd", 5)), (Terms{"ab", "cd"}));
}

TEST(Tokenizer, StopWordsInBothLanguages) {
  EXPECT_TRUE(terms("THE").empty());
  EXPECT_EQ(terms("Theory"), (Terms{"theory"}));
  EXPECT_EQ(STOP_WORDS.size(), 64u);
  std::string all;
  for (std::string_view w : STOP_WORDS.words()) {
    EXPECT_TRUE(STOP_WORDS.contains(w)) << w;
    all += std::string(w) + " ";
    for (char c : w) all += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    all += ", ";
  }
  EXPECT_TRUE(terms(all).empty()) << all;
  // Lookup is by exact bytes: prefixes and extensions of stop words are terms.
  EXPECT_EQ(terms("the thee their theirs del dell dello dellos anch anche"),
            (Terms{"thee", "theirs", "dell", "dellos", "anch"}));
  EXPECT_FALSE(STOP_WORDS.contains(""));
  EXPECT_FALSE(STOP_WORDS.contains("andx"));
  EXPECT_FALSE(STOP_WORDS.contains("the "));
}

TEST(Tokenizer, UnicodeCaseMapping) {
  EXPECT_EQ(terms("ΟΔΟΣ"), (Terms{"οδο\u03c2"}));
  EXPECT_EQ(terms("ΣΑΣ."), (Terms{"\u03c3α\u03c2"}));  // initial sigma small, final sigma final
  EXPECT_EQ(terms("ΟΔΟΣΟ"), (Terms{"οδο\u03c3ο"}));
  EXPECT_EQ(terms("über Über ÜBER"), (Terms{"über", "über", "über"}));
  EXPECT_EQ(terms("straße STRASSE"), (Terms{"straße", "strasse"}));
  // Full mapping: İ (2 bytes) lowers to i + combining dot (3 bytes).
  EXPECT_EQ(tokenize("İ").lowered, "i\u0307");
}

TEST(Tokenizer, UnicodeLettersAndNumbers) {
  EXPECT_EQ(terms("東京 ٣٤ Ⅻ ½"), (Terms{"東京", "٣٤", "ⅻ", "½"}));
  EXPECT_EQ(terms("smile😀face"), (Terms{"smile", "face"}));  // symbols separate
  EXPECT_EQ(terms("l'été—chaud"), (Terms{"été", "chaud"}));
}

TEST(Tokenizer, IllFormedUtf8IsASeparator) {
  EXPECT_EQ(terms("abc\xFF\xFE" "def"), (Terms{"abc", "def"}));
  EXPECT_EQ(terms("caf\xC3"), (Terms{"caf"}));  // truncated sequence at the end
  EXPECT_EQ(terms("\xE2\x82"), Terms{});
}

TEST(Tokenizer, SpansAreOnePerOccurrenceInTextOrder) {
  Tokens tokens = tokenize("Cat dog, CAT; cat.");
  ASSERT_EQ(tokens.size(), 4u);
  const std::uint32_t expected[4][2] = {{0, 3}, {4, 7}, {9, 12}, {14, 17}};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(tokens.spans[i].start, expected[i][0]);
    EXPECT_EQ(tokens.spans[i].end, expected[i][1]);
  }
  EXPECT_EQ(tokens.lowered, "cat dog, cat; cat.");
}

TEST(Tokenizer, AsciiLoweringAcrossBlockBoundaries) {
  // Every length up to 70 and every offset of the capitals around the
  // 16-byte blocks must lower exactly like a byte-by-byte mapping.
  const std::string alphabet = "AZaz@[`{09 -_QW";
  for (std::size_t length = 0; length <= 70; ++length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += alphabet[(i * 7 + length) % alphabet.size()];
    std::string expected = text;
    for (char& c : expected) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(tokenize(text).lowered, expected) << text;
  }
}

TEST(Tokenizer, LateNonAsciiSendsTheWholeTextThroughUnicodeMapping) {
  std::string text;
  Terms expected;
  for (int i = 0; i < 20; ++i) {
    text += numbered("WORD", i) + " ";
    expected.push_back(numbered("word", i));
  }
  text += "ÉTÉ ΟΔΟΣ";
  expected.push_back("été");
  expected.push_back("οδο\u03c2");
  ASSERT_GT(text.find("\xC3"), 64u);
  EXPECT_EQ(terms(text), expected);
}

TEST(Tokenizer, ReusedBuffersGiveTheSameResult) {
  Tokens reused;
  tokenize_into("A much longer first text, with Ünïcödé and many words in it", reused);
  tokenize_into("Short TEXT", reused);
  Tokens fresh = tokenize("Short TEXT");
  EXPECT_EQ(reused.lowered, fresh.lowered);
  ASSERT_EQ(reused.size(), fresh.size());
  for (std::size_t i = 0; i < fresh.size(); ++i) EXPECT_EQ(reused.term(i), fresh.term(i));
  tokenize_into("", reused);
  EXPECT_TRUE(reused.empty());
  EXPECT_TRUE(reused.lowered.empty());
}

}  // namespace
}  // namespace karvalith
