#include "core/document/id_table.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <random>
#include <span>
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
  // Grown a quarter at a time up to four fifths full: at least 64% full, in
  // 3-byte cells.
  EXPECT_EQ(table.cell_width(), 3u);
  EXPECT_LE(table.memory_bytes(), 47 * ids.size() / 10 + 1);
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

// Slots up to 2^24 - 2 fit 3-byte cells (all ones marks a free one); the
// first slot beyond re-lays the table out in 4-byte cells, keeping every id.
// The slot list is a sparse mapping: only the slots named are ever touched.
TEST(IdTable, WidensItsCellsForTheFirstSlotBeyondThreeBytes) {
  constexpr std::size_t SLOTS = (std::size_t{1} << 24) + 64;
  void* region = mmap(nullptr, SLOTS * sizeof(Uuid), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  const std::span<Uuid> ids(static_cast<Uuid*>(region), SLOTS);
  IdTable table;
  std::vector<std::uint32_t> used;
  const auto add = [&](std::uint32_t slot) {
    ids[slot] = numbered(std::uint64_t{slot} * 7919 + 1);
    table.assign(ids, ids[slot], slot);
    used.push_back(slot);
  };
  for (std::uint32_t slot = 0; slot < 1000; ++slot) add(slot);
  add(0xFFFFFE);  // the largest 3-byte slot, one below the free mark
  EXPECT_EQ(table.cell_width(), 3u);
  EXPECT_EQ(table.find(ids, ids[0xFFFFFE]), 0xFFFFFEu);
  add(0xFFFFFF);
  add(0x1000010);
  EXPECT_EQ(table.cell_width(), 4u);
  EXPECT_EQ(table.size(), used.size());
  for (const std::uint32_t slot : used) ASSERT_EQ(table.find(ids, ids[slot]), slot);
  // Erasing in 4-byte cells keeps the probe runs whole.
  for (std::uint32_t slot = 0; slot < 1000; slot += 2) table.erase(ids, ids[slot]);
  for (const std::uint32_t slot : used) {
    if (slot < 1000 && slot % 2 == 0) EXPECT_FALSE(table.contains(ids, ids[slot]));
    else ASSERT_EQ(table.find(ids, ids[slot]), slot);
  }
  EXPECT_FALSE(table.contains(ids, numbered(3)));
  table.clear();
  EXPECT_EQ(table.cell_width(), 3u);
  munmap(region, SLOTS * sizeof(Uuid));
}

}  // namespace
}  // namespace karvalith
