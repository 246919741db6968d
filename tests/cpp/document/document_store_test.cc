#include "core/document/document_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace karvalith {
namespace {

Metadata every_kind() {
  Metadata m;
  m.insert_or_assign("min", std::numeric_limits<std::int64_t>::min());
  m.insert_or_assign("max", std::numeric_limits<std::int64_t>::max());
  m.insert_or_assign("minus one", std::int64_t{-1});
  m.insert_or_assign("zero", std::int64_t{0});
  m.insert_or_assign("big", std::int64_t{1} << 40);
  m.insert_or_assign("negative zero", -0.0);
  m.insert_or_assign("infinity", std::numeric_limits<double>::infinity());
  m.insert_or_assign("pi", 3.141592653589793);
  m.insert_or_assign("yes", true);
  m.insert_or_assign("no", false);
  m.insert_or_assign("", std::string("empty key"));
  m.insert_or_assign("nul", std::string("a\0b", 3));
  m.insert_or_assign(std::string(300, 'k'), std::string(200, 'v'));  // multi-byte lengths
  return m;
}

void expect_same(const Metadata& a, const Metadata& b) {
  ASSERT_EQ(a.size(), b.size());
  for (const auto& [key, value] : a) {
    const MetadataValue* other = b.find(key);
    ASSERT_NE(other, nullptr) << key;
    if (const double* d = std::get_if<double>(&value)) {
      ASSERT_TRUE(std::holds_alternative<double>(*other)) << key;
      // Bit for bit: -0.0 stays negative, NaN stays NaN.
      EXPECT_EQ(std::signbit(*d), std::signbit(std::get<double>(*other))) << key;
      if (std::isnan(*d)) EXPECT_TRUE(std::isnan(std::get<double>(*other))) << key;
      else EXPECT_EQ(*d, std::get<double>(*other)) << key;
    } else {
      EXPECT_EQ(value, *other) << key;
    }
  }
}

TEST(DocumentStore, KeepsEveryValueKindExactly) {
  DocumentStore store;
  Metadata with_nan = every_kind();
  with_nan.insert_or_assign("nan", std::numeric_limits<double>::quiet_NaN());
  const std::string text = "caf\xc3\xa9 " + std::string(1000, 'x');
  store.put(3, text, with_nan);
  store.put(0, "", {});

  EXPECT_EQ(store.size(), 2u);
  EXPECT_FALSE(store.contains(1));
  EXPECT_FALSE(store.contains(4));
  EXPECT_FALSE(store.contains(std::numeric_limits<std::uint32_t>::max()));
  EXPECT_TRUE(store.record(2).empty());
  EXPECT_EQ(store.text(3), text);
  expect_same(store.metadata(3), with_nan);
  const Uuid id{{1, 2, 3}};
  const Document document = store.document(3, id);
  EXPECT_EQ(document.id, id);
  EXPECT_EQ(document.text, text);
  expect_same(document.metadata, with_nan);
  EXPECT_EQ(store.text(0), "");
  EXPECT_TRUE(store.metadata(0).empty());
}

TEST(DocumentStore, PutReplacesEraseForgetsAndSlotsIterateInOrder) {
  DocumentStore store;
  store.put(5, "five", {});
  store.put(1, "one", every_kind());
  store.put(1, "one again", {});
  store.erase(5);
  store.erase(5);  // twice: nothing
  store.erase(9);  // never held: nothing
  store.put(2, "two", {});
  std::vector<std::uint32_t> slots;
  store.for_each_slot([&](std::uint32_t slot) { slots.push_back(slot); });
  EXPECT_EQ(slots, (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(store.size(), 2u);
  EXPECT_EQ(store.text(1), "one again");
  EXPECT_TRUE(store.metadata(1).empty());
}

TEST(DocumentStore, PutMayTakeItsTextFromTheStoreItself) {
  // update_metadata passes the slot's own text view while replacing it.
  DocumentStore store;
  const std::string text(5000, 't');
  store.put(0, text, {});
  for (int round = 0; round < 400; ++round) {  // enough garbage to compact several times
    Metadata m;
    m.insert_or_assign("round", std::int64_t{round});
    store.put(0, store.text(0), m);
  }
  EXPECT_EQ(store.text(0), text);
  EXPECT_EQ(std::get<std::int64_t>(*store.metadata(0).find("round")), 399);
  EXPECT_EQ(store.memory_bytes(), 5 + store.record(0).size()) << "garbage is not counted";
  EXPECT_LE(store.arena_bytes(), (2u << 20) + 20000u) << "garbage is compacted away";
}

TEST(DocumentStore, RecordsCopyBetweenStores) {
  DocumentStore a;
  a.put(7, "text", every_kind());
  DocumentStore b;
  b.put_record(0, a.record(7));
  EXPECT_TRUE(std::ranges::equal(a.record(7), b.record(0)));
  EXPECT_EQ(b.text(0), "text");
  expect_same(b.metadata(0), every_kind());
}

TEST(DocumentStore, ChurnAgreesWithAModelThroughCompactions) {
  // A quarter of the puts are empty documents (no text, no metadata), which
  // take no arena bytes: slots switch between both kinds across compactions.
  std::mt19937 rng(7);
  DocumentStore store;
  std::map<std::uint32_t, std::pair<std::string, std::optional<std::int64_t>>> model;
  for (int step = 0; step < 20000; ++step) {
    const std::uint32_t slot = rng() % 500;
    if (rng() % 3 == 0) {
      store.erase(slot);
      model.erase(slot);
    } else if (rng() % 4 == 0) {
      store.put(slot, "", Metadata{});
      model[slot] = {"", std::nullopt};
    } else {
      const std::string text(rng() % 600, static_cast<char>('a' + rng() % 26));
      const auto value = static_cast<std::int64_t>(rng()) - (std::int64_t{1} << 31);
      Metadata m;
      m.insert_or_assign("v", value);
      store.put(slot, text, m);
      model[slot] = {text, value};
    }
  }
  ASSERT_EQ(store.size(), model.size());
  std::uint64_t live_bytes = 0;
  std::size_t empty = 0;
  for (const auto& [slot, expected] : model) {
    ASSERT_TRUE(store.contains(slot));
    EXPECT_EQ(store.text(slot), expected.first);
    const Metadata metadata = store.metadata(slot);
    if (expected.second) {
      EXPECT_EQ(std::get<std::int64_t>(*metadata.find("v")), *expected.second);
      live_bytes += store.record(slot).size();
    } else {
      EXPECT_TRUE(metadata.empty());
      EXPECT_EQ(store.record(slot).size(), 2u);  // still a whole record for copying
      ++empty;
    }
  }
  EXPECT_GT(empty, 50u);
  EXPECT_EQ(store.memory_bytes(), 5 * 500 + live_bytes);
  // About 5 MB were written; compaction keeps the garbage below the live
  // bytes or its 1 MiB floor.
  EXPECT_LE(store.arena_bytes(), 2 * live_bytes + (1u << 20));
}

// A stored arena is taken back only when every record is well formed and
// the records follow one another in slot order; otherwise nothing changes.
TEST(DocumentStore, AssignRecordsKeepsEmptyRecordsOutOfTheArena) {
  // A stored arena holds empty records as two zero bytes; the store takes
  // them as empty documents without arena bytes, first, in the middle, last.
  DocumentStore source;
  source.put(0, "", {});
  source.put(1, "one", {});
  source.put(2, "", {});
  source.put(3, "three", {});
  source.put(5, "", {});
  std::vector<std::uint64_t> offsets(6, DocumentStore::ABSENT);
  std::vector<std::uint8_t> arena;
  for (std::uint32_t slot : {0u, 1u, 2u, 3u, 5u}) {
    offsets[slot] = arena.size();
    const auto record = source.record(slot);
    arena.insert(arena.end(), record.begin(), record.end());
  }
  DocumentStore store;
  ASSERT_EQ(store.assign_records(offsets, arena, [](std::string_view) { return true; }), std::nullopt);
  EXPECT_EQ(store.size(), 5u);
  EXPECT_FALSE(store.contains(4));
  for (std::uint32_t slot : {0u, 1u, 2u, 3u, 5u}) {
    EXPECT_EQ(store.text(slot), source.text(slot)) << slot;
    EXPECT_TRUE(std::ranges::equal(store.record(slot), source.record(slot))) << slot;
  }
  const std::uint64_t text_records = source.record(1).size() + source.record(3).size();
  EXPECT_EQ(store.arena_bytes(), text_records);
  EXPECT_EQ(store.memory_bytes(), 5 * 6 + text_records);
  store.erase(2);
  store.put(4, "four", {});
  EXPECT_EQ(store.text(3), "three");
  EXPECT_EQ(store.text(4), "four");
  EXPECT_FALSE(store.contains(2));
}

TEST(DocumentStore, AssignRecordsChecksEveryRecordAndKeepsTheStoreOnFailure) {
  DocumentStore source;
  source.put(0, "zero", every_kind());
  source.put(2, "two \xc3\xa9", {});
  Metadata one;
  one.insert_or_assign("flag", true);
  source.put(3, "three", one);
  std::vector<std::uint64_t> offsets(4, DocumentStore::ABSENT);
  std::vector<std::uint8_t> arena;
  for (std::uint32_t slot : {0u, 2u, 3u}) {
    offsets[slot] = arena.size();
    const auto record = source.record(slot);
    arena.insert(arena.end(), record.begin(), record.end());
  }
  auto any_text = [](std::string_view) { return true; };

  DocumentStore store;
  store.put(5, "kept", {});
  ASSERT_EQ(store.assign_records(offsets, arena, any_text), std::nullopt);
  EXPECT_EQ(store.size(), 3u);
  EXPECT_FALSE(store.contains(1));
  EXPECT_FALSE(store.contains(5));
  EXPECT_EQ(store.text(2), "two \xc3\xa9");
  expect_same(store.metadata(0), every_kind());
  expect_same(store.metadata(3), one);

  const std::size_t last = offsets[3];  // "three": length 5, text, 1 entry, key "flag", tag, bool
  struct Case {
    const char* what;
    std::function<void(std::vector<std::uint64_t>&, std::vector<std::uint8_t>&)> damage;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"gap", [](auto& o, auto&) { o[2] += 1; }, "document of slot 2 at offset"},
      {"trailing byte", [](auto&, auto& a) { a.push_back(0); }, "document records end at"},
      {"cut", [](auto&, auto& a) { a.pop_back(); }, "document of slot 3: bad bool value"},
      {"bool 2", [](auto&, auto& a) { a.back() = 2; }, "document of slot 3: bad bool value"},
      {"unknown tag", [&](auto&, auto& a) { a[a.size() - 2] = 7; }, "document of slot 3: unknown metadata tag 7"},
      {"text length", [&](auto&, auto& a) { a[last] = 0x7f; }, "document of slot 3: bad text length"},
      {"endless varint", [&](auto&, auto& a) {
         a.resize(last);
         a.insert(a.end(), 11, 0x80);
       }, "document of slot 3: bad text length"},
      {"entry count", [&](auto&, auto& a) { a[last + 6] = 9; }, "document of slot 3: "},
  };
  for (const Case& c : cases) {
    auto o = offsets;
    auto a = arena;
    c.damage(o, a);
    DocumentStore target;
    target.put(1, "before", {});
    auto problem = target.assign_records(o, a, any_text);
    ASSERT_TRUE(problem.has_value()) << c.what;
    EXPECT_NE(problem->find(c.expected), std::string::npos) << c.what << ": " << *problem;
    EXPECT_EQ(target.size(), 1u) << c.what;
    EXPECT_EQ(target.text(1), "before") << c.what;
  }
  // Texts, keys and string values all go through the text check.
  for (const char* refused : {"two \xc3\xa9", "flag", "empty key"}) {
    DocumentStore target;
    auto problem =
        target.assign_records(offsets, arena, [&](std::string_view s) { return s != std::string_view(refused); });
    ASSERT_TRUE(problem.has_value()) << refused;
    EXPECT_NE(problem->find("is not valid utf8"), std::string::npos) << *problem;
  }
}

}  // namespace
}  // namespace karvalith
