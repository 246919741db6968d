#include "core/document/id_table.h"

#include <bit>

namespace karvalith {

namespace {

// At most four fifths full: linear probes stay short (about 3 cells for an id
// present, 13 for one absent), and the table grows by a quarter at a time,
// so it is 64-80% full (about 5.6 bytes per id; doubling power-of-two sizes
// at three quarters averaged 7).
bool over_load(std::size_t count, std::size_t capacity) { return 5 * count > 4 * capacity; }

}  // namespace

std::size_t IdTable::locate(std::span<const Uuid> ids, const Uuid& id) const {
  for (std::size_t cell = home(id);; cell = next(cell)) {
    const std::uint32_t slot = cells_[cell];
    if (slot == EMPTY || ids[slot] == id) return cell;
  }
}

std::optional<std::uint32_t> IdTable::find(std::span<const Uuid> ids, const Uuid& id) const {
  if (count_ == 0) return std::nullopt;
  const std::uint32_t slot = cells_[locate(ids, id)];
  if (slot == EMPTY) return std::nullopt;
  return slot;
}

void IdTable::grow(std::span<const Uuid> ids, std::size_t need) {
  std::size_t capacity = cells_.empty() ? 16 : cells_.size();
  while (over_load(need, capacity)) capacity += capacity / 4;
  if (capacity == cells_.size()) return;
  std::vector<std::uint32_t> old = std::move(cells_);
  cells_.assign(capacity, EMPTY);
  for (const std::uint32_t slot : old) {
    if (slot != EMPTY) cells_[locate(ids, ids[slot])] = slot;
  }
}

void IdTable::assign(std::span<const Uuid> ids, const Uuid& id, std::uint32_t slot) {
  grow(ids, count_ + 1);
  const std::size_t cell = locate(ids, id);
  if (cells_[cell] == EMPTY) ++count_;
  cells_[cell] = slot;
}

void IdTable::erase(std::span<const Uuid> ids, const Uuid& id) {
  if (count_ == 0) return;
  std::size_t hole = locate(ids, id);
  if (cells_[hole] == EMPTY) return;
  cells_[hole] = EMPTY;
  --count_;
  // Backward shift: pull later cells of the probe run into the hole when
  // their home position lies at or before it, so no lookup stops early.
  for (std::size_t cell = next(hole); cells_[cell] != EMPTY; cell = next(cell)) {
    const std::size_t want = home(ids[cells_[cell]]);
    const bool movable = distance(want, cell) >= distance(hole, cell);
    if (movable) {
      cells_[hole] = cells_[cell];
      cells_[cell] = EMPTY;
      hole = cell;
    }
  }
}

void IdTable::assign_all(std::span<const Uuid> ids) {
  clear();
  grow(ids, ids.size());
  // Each placed cell keeps 32 bits of its id's hash in `tags` while the table
  // fills, and a probe compares them before the ids: stepping past an
  // occupied cell then reads the tag beside it instead of that cell's id at
  // a random place in `ids` (at a million ids, most of the build's time went
  // to those misses). The cells are read at random too: fetching a later
  // id's home cell while this one is placed hides most of those misses.
  std::vector<std::uint32_t> tags(cells_.size());
  constexpr std::size_t AHEAD = 16;
  for (std::size_t slot = 0; slot < ids.size(); ++slot) {
    if (slot + AHEAD < ids.size()) {
      const std::size_t ahead = home_of(UuidHash{}(ids[slot + AHEAD]));
      __builtin_prefetch(cells_.data() + ahead);
      __builtin_prefetch(tags.data() + ahead);
    }
    const std::uint64_t hash = UuidHash{}(ids[slot]);
    const auto tag = static_cast<std::uint32_t>(hash);
    for (std::size_t cell = home_of(hash);; cell = next(cell)) {
      const std::uint32_t held = cells_[cell];
      if (held == EMPTY) {
        cells_[cell] = static_cast<std::uint32_t>(slot);
        tags[cell] = tag;
        ++count_;
        break;
      }
      if (tags[cell] == tag && ids[held] == ids[slot]) {  // a repeat: the later slot, as assign keeps
        cells_[cell] = static_cast<std::uint32_t>(slot);
        break;
      }
    }
  }
}

void IdTable::clear() {
  cells_.clear();
  count_ = 0;
}

}  // namespace karvalith
