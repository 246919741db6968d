#include "core/document/id_table.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>
#include <vector>

namespace karvalith {
namespace {

Uuid numbered(std::uint64_t n) {
  Uuid id;
  for (int b = 0; b < 8; ++b) id.bytes[15 - b] = static_cast<std::uint8_t>(n >> (8 * b));
  return id;
}

TEST(IdTable, FindsEverySlotOfAList) {
  std::vector<Uuid> ids;
  for (std::uint64_t n = 0; n < 5000; ++n) ids.push_back(numbered(n * 7919));  // structured ids cluster
  IdTable table;
  EXPECT_FALSE(table.find(ids, ids[0]).has_value());
  table.assign_all(ids);
  EXPECT_EQ(table.size(), ids.size());
  for (std::uint32_t slot = 0; slot < ids.size(); ++slot) EXPECT_EQ(table.find(ids, ids[slot]), slot);
  EXPECT_FALSE(table.contains(ids, numbered(1)));
  // Grown a quarter at a time up to four fifths full: at least 64% full.
  EXPECT_LE(table.memory_bytes(), 63 * ids.size() / 10);
}

// A damaged file can list an id twice: the table holds it once (so the
// loader sees fewer entries than slots), under its later slot, as assign does.
TEST(IdTable, AssignAllKeepsOneCellPerRepeatedId) {
  std::vector<Uuid> ids;
  for (std::uint64_t n = 0; n < 3000; ++n) ids.push_back(numbered(n));
  ids.push_back(numbered(17));
  ids.push_back(numbered(2999));
  ids.push_back(numbered(17));
  IdTable table;
  table.assign_all(ids);
  EXPECT_EQ(table.size(), 3000u);
  EXPECT_EQ(table.find(ids, numbered(17)), 3002u);
  EXPECT_EQ(table.find(ids, numbered(2999)), 3001u);
  EXPECT_EQ(table.find(ids, numbered(18)), 18u);
}

// The moves a collection makes: append a slot for an id (which may already
// hold one), rename the old slot, drop the newest slot again.
TEST(IdTable, AgreesWithAHashMapThroughAppendsRenamesAndRollbacks) {
  std::mt19937_64 rng(11);
  std::vector<Uuid> ids;
  std::unordered_map<Uuid, std::uint32_t, UuidHash> model;
  IdTable table;
  std::uint64_t fresh = 1;
  for (int step = 0; step < 30000; ++step) {
    const auto action = rng() % 10;
    if (action < 6 || ids.empty()) {
      // A new id, or an existing one moving to a new slot under a new name.
      const bool move = !ids.empty() && action == 5;
      const Uuid id = move ? ids[rng() % ids.size()] : numbered(fresh++);
      const std::uint32_t previous = move ? model.at(id) : 0;
      ids.push_back(id);
      table.assign(ids, id, static_cast<std::uint32_t>(ids.size() - 1));
      model[id] = static_cast<std::uint32_t>(ids.size() - 1);
      if (move) {
        const Uuid renamed = numbered(fresh++ | (std::uint64_t{1} << 63));
        ids[previous] = renamed;
        table.assign(ids, renamed, previous);
        model[renamed] = previous;
      }
    } else if (action < 8) {
      // Roll back the newest slot of an id that had no other.
      const Uuid id = ids.back();
      table.erase(ids, id);
      model.erase(id);
      ids.pop_back();
    } else {
      const Uuid probe = rng() % 2 ? ids[rng() % ids.size()] : numbered(rng() | 1);
      const auto found = model.find(probe);
      if (found == model.end()) EXPECT_FALSE(table.find(ids, probe).has_value());
      else EXPECT_EQ(table.find(ids, probe), found->second);
    }
    ASSERT_EQ(table.size(), model.size());
  }
  for (const auto& [id, slot] : model) ASSERT_EQ(table.find(ids, id), slot);
}

}  // namespace
}  // namespace karvalith
