#include "core/bm25/term_map.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include "test_strings.h"

namespace karvalith {
namespace {

using test::numbered;

TEST(TermMap, InsertFindErase) {
  TermMap<int> map;
  EXPECT_EQ(map.find("x"), nullptr);
  EXPECT_FALSE(map.erase("x"));
  auto [value, inserted] = map.try_emplace("alpha");
  EXPECT_TRUE(inserted);
  EXPECT_EQ(*value, 0);
  *value = 5;
  EXPECT_FALSE(map.try_emplace("alpha").second);
  map["beta"] = 7;
  EXPECT_EQ(*map.find("alpha"), 5);
  EXPECT_EQ(*map.find(std::string("beta")), 7);
  EXPECT_EQ(map.find("alph"), nullptr);
  EXPECT_EQ(map.size(), 2u);
  EXPECT_TRUE(map.erase("alpha"));
  EXPECT_EQ(map.find("alpha"), nullptr);
  EXPECT_EQ(*map.find("beta"), 7);
  map.clear();
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.find("beta"), nullptr);
}

// Random inserts and erases (through both erase paths) against std::map,
// through many growths; exercises backward-shift deletion in long runs.
TEST(TermMap, MatchesAnOrderedMapUnderChurn) {
  std::mt19937 rng(11);
  TermMap<std::uint32_t> map;
  std::map<std::string, std::uint32_t> reference;
  for (int step = 0; step < 60000; ++step) {
    std::string key = numbered("k", rng() % 5000);
    switch (rng() % 4) {
      case 0:
      case 1:
        map[key] = static_cast<std::uint32_t>(step);
        reference[key] = static_cast<std::uint32_t>(step);
        break;
      case 2:
        EXPECT_EQ(map.erase(key), reference.erase(key) == 1);
        break;
      default:
        if (!map.empty()) {
          std::size_t i = rng() % map.size();
          reference.erase(map.key_at(i));
          map.erase_at(i);
        }
    }
  }
  ASSERT_EQ(map.size(), reference.size());
  for (const auto& [key, value] : reference) {
    const std::uint32_t* found = map.find(key);
    ASSERT_NE(found, nullptr) << key;
    EXPECT_EQ(*found, value);
  }
  std::map<std::string, std::uint32_t> iterated(map.begin(), map.end());
  EXPECT_EQ(iterated, reference);
}

TEST(TermMap, HashUsesEveryByte) {
  TermHash hash;
  EXPECT_NE(hash("abcdefgh"), hash("abcdefgi"));
  EXPECT_NE(hash("abcdefghijklmnop"), hash("abcdefghijklmnoq"));
  EXPECT_NE(hash("ab"), hash(std::string_view("ab\0", 3)));  // length matters
  EXPECT_EQ(hash(std::string("term")), hash(std::string_view("term")));
}

}  // namespace
}  // namespace karvalith
