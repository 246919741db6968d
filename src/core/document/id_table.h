// Id -> slot lookup for a collection whose slots each carry one id. The table
// stores only slot numbers (open addressing with linear probing); the ids
// themselves are read from the slot -> id list the caller passes in, so each
// id is held once. A cell takes 3 bytes while every slot fits below 2^24 - 1
// and 4 from the first slot that does not (the table is re-laid out once then),
// so a table 64-80% full costs about 4.2 bytes per id below 16.7 million
// slots. A hash map of id -> slot would spend about 56 bytes per document.
//
// Every call takes that list; a cell's slot must index it, and an id is found
// through the cell whose slot names it. Thread safety: none of its own.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "core/document/uuid.h"

namespace karvalith {

class IdTable {
 public:
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

  std::optional<std::uint32_t> find(std::span<const Uuid> ids, const Uuid& id) const;
  bool contains(std::span<const Uuid> ids, const Uuid& id) const { return find(ids, id).has_value(); }
  // Makes `id` map to `slot` (ids[slot] == id), replacing the slot it mapped to.
  void assign(std::span<const Uuid> ids, const Uuid& id, std::uint32_t slot);
  // Forgets `id`; nothing when absent. Every remaining cell's slot must still
  // name its id in `ids`.
  void erase(std::span<const Uuid> ids, const Uuid& id);
  // Every slot of `ids` under its id (ids must not repeat).
  void assign_all(std::span<const Uuid> ids);
  void clear();

  std::uint64_t memory_bytes() const { return cells_.size(); }
  // Bytes per cell: 3, or 4 once a slot of 2^24 - 1 or more was assigned.
  unsigned cell_width() const { return width_; }

 private:
  // A free cell holds all ones in its width.
  std::uint32_t free_cell() const { return width_ == 3 ? 0xFFFFFFu : UINT32_MAX; }
  std::size_t cell_count() const { return capacity_; }
  // One 4-byte load and a mask: cells_ keeps a byte after the last cell.
  std::uint32_t get(std::size_t cell) const {
    std::uint32_t slot;
    std::memcpy(&slot, cells_.data() + cell * width_, sizeof slot);
    return width_ == 3 ? slot & 0xFFFFFFu : slot;
  }
  void set(std::size_t cell, std::uint32_t slot) { std::memcpy(cells_.data() + cell * width_, &slot, width_); }
  // A table of `capacity` free cells of `width` bytes.
  void reset(std::size_t capacity, unsigned width);

  // The hash scaled to the table (any size, not only powers of two).
  std::size_t home(const Uuid& id) const { return home_of(UuidHash{}(id)); }
  std::size_t home_of(std::uint64_t hash) const {
    return static_cast<std::size_t>((static_cast<unsigned __int128>(hash) * capacity_) >> 64);
  }
  std::size_t next(std::size_t cell) const { return cell + 1 == capacity_ ? 0 : cell + 1; }
  // Cells from `from` forward to `to`, wrapping around the end.
  std::size_t distance(std::size_t from, std::size_t to) const {
    return to >= from ? to - from : to + capacity_ - from;
  }
  // The cell holding `id`, or the empty cell where it would go.
  std::size_t locate(std::span<const Uuid> ids, const Uuid& id) const;
  // Room for `need` ids with cells of at least `width` bytes.
  void grow(std::span<const Uuid> ids, std::size_t need, unsigned width);

  std::vector<std::uint8_t> cells_;  // capacity_ cells of width_ bytes, then one spare byte
  std::size_t capacity_ = 0;
  unsigned width_ = 3;
  std::size_t count_ = 0;
};

}  // namespace karvalith
