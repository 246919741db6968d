#include "core/document/id_table.h"

#include <algorithm>
#include <bit>

namespace karvalith {

namespace {

// At most four fifths full: linear probes stay short (about 3 cells for an id
// present, 13 for one absent), and the table grows by a quarter at a time,
// so it is 64-80% full (about 4.2 bytes per id in 3-byte cells; doubling
// power-of-two sizes of 4-byte cells at three quarters averaged 7).
bool over_load(std::size_t count, std::size_t capacity) { return 5 * count > 4 * capacity; }

// Slots from this one on need 4-byte cells (3-byte cells keep all ones free).
constexpr std::uint32_t FIRST_WIDE_SLOT = 0xFFFFFFu;

unsigned width_for(std::size_t slot) { return slot >= FIRST_WIDE_SLOT ? 4 : 3; }

}  // namespace

std::size_t IdTable::locate(std::span<const Uuid> ids, const Uuid& id) const {
  const std::uint32_t free = free_cell();
  for (std::size_t cell = home(id);; cell = next(cell)) {
    const std::uint32_t slot = get(cell);
    if (slot == free || ids[slot] == id) return cell;
  }
}

std::optional<std::uint32_t> IdTable::find(std::span<const Uuid> ids, const Uuid& id) const {
  if (count_ == 0) return std::nullopt;
  const std::uint32_t slot = get(locate(ids, id));
  if (slot == free_cell()) return std::nullopt;
  return slot;
}

void IdTable::reset(std::size_t capacity, unsigned width) {
  capacity_ = capacity;
  width_ = width;
  cells_.assign(capacity * width + 1, 0xFF);
}

void IdTable::grow(std::span<const Uuid> ids, std::size_t need, unsigned width) {
  std::size_t capacity = capacity_ == 0 ? 16 : capacity_;
  while (over_load(need, capacity)) capacity += capacity / 4;
  width = std::max(width, width_);
  if (capacity == capacity_ && width == width_) return;
  IdTable old = std::move(*this);
  reset(capacity, width);
  count_ = old.count_;
  const std::uint32_t old_free = old.free_cell();
  for (std::size_t cell = 0; cell < old.capacity_; ++cell) {
    const std::uint32_t slot = old.get(cell);
    if (slot != old_free) set(locate(ids, ids[slot]), slot);
  }
}

void IdTable::assign(std::span<const Uuid> ids, const Uuid& id, std::uint32_t slot) {
  grow(ids, count_ + 1, width_for(slot));
  const std::size_t cell = locate(ids, id);
  if (get(cell) == free_cell()) ++count_;
  set(cell, slot);
}

void IdTable::erase(std::span<const Uuid> ids, const Uuid& id) {
  if (count_ == 0) return;
  std::size_t hole = locate(ids, id);
  const std::uint32_t free = free_cell();
  if (get(hole) == free) return;
  set(hole, free);
  --count_;
  // Backward shift: pull later cells of the probe run into the hole when
  // their home position lies at or before it, so no lookup stops early.
  for (std::size_t cell = next(hole); get(cell) != free; cell = next(cell)) {
    const std::uint32_t slot = get(cell);
    const std::size_t want = home(ids[slot]);
    const bool movable = distance(want, cell) >= distance(hole, cell);
    if (movable) {
      set(hole, slot);
      set(cell, free);
      hole = cell;
    }
  }
}

void IdTable::assign_all(std::span<const Uuid> ids) {
  clear();
  grow(ids, ids.size(), ids.empty() ? 3 : width_for(ids.size() - 1));
  // Each placed cell keeps 32 bits of its id's hash in `tags` while the table
  // fills, and a probe compares them before the ids: stepping past an
  // occupied cell then reads the tag beside it instead of that cell's id at
  // a random place in `ids` (at a million ids, most of the build's time went
  // to those misses). The cells are read at random too: fetching a later
  // id's home cell while this one is placed hides most of those misses.
  std::vector<std::uint32_t> tags(capacity_);
  const std::uint32_t free = free_cell();
  constexpr std::size_t AHEAD = 16;
  for (std::size_t slot = 0; slot < ids.size(); ++slot) {
    if (slot + AHEAD < ids.size()) {
      const std::size_t ahead = home_of(UuidHash{}(ids[slot + AHEAD]));
      __builtin_prefetch(cells_.data() + ahead * width_);
      __builtin_prefetch(tags.data() + ahead);
    }
    const std::uint64_t hash = UuidHash{}(ids[slot]);
    const auto tag = static_cast<std::uint32_t>(hash);
    for (std::size_t cell = home_of(hash);; cell = next(cell)) {
      const std::uint32_t held = get(cell);
      if (held == free) {
        set(cell, static_cast<std::uint32_t>(slot));
        tags[cell] = tag;
        ++count_;
        break;
      }
      if (tags[cell] == tag && ids[held] == ids[slot]) {  // a repeat: the later slot, as assign keeps
        set(cell, static_cast<std::uint32_t>(slot));
        break;
      }
    }
  }
}

void IdTable::clear() {
  cells_.clear();
  capacity_ = 0;
  width_ = 3;
  count_ = 0;
}

}  // namespace karvalith
