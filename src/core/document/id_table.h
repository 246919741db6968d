// Id -> slot lookup for a collection whose slots each carry one id. The table
// stores only slot numbers (4 bytes per cell, open addressing with linear
// probing); the ids themselves are read from the slot -> id list the caller
// passes in, so each id is held once. A hash map of id -> slot would spend
// about 56 bytes per document instead of 5 to 11.
//
// Every call takes that list; a cell's slot must index it, and an id is found
// through the cell whose slot names it. Thread safety: none of its own.
#pragma once

#include <cstdint>
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

  std::uint64_t memory_bytes() const { return 4 * cells_.size(); }

 private:
  static constexpr std::uint32_t EMPTY = UINT32_MAX;

  // The hash scaled to the table (any size, not only powers of two).
  std::size_t home(const Uuid& id) const { return home_of(UuidHash{}(id)); }
  std::size_t home_of(std::uint64_t hash) const {
    return static_cast<std::size_t>((static_cast<unsigned __int128>(hash) * cells_.size()) >> 64);
  }
  std::size_t next(std::size_t cell) const { return cell + 1 == cells_.size() ? 0 : cell + 1; }
  // Cells from `from` forward to `to`, wrapping around the end.
  std::size_t distance(std::size_t from, std::size_t to) const {
    return to >= from ? to - from : to + cells_.size() - from;
  }
  // The cell holding `id`, or the empty cell where it would go.
  std::size_t locate(std::span<const Uuid> ids, const Uuid& id) const;
  void grow(std::span<const Uuid> ids, std::size_t need);

  std::vector<std::uint32_t> cells_;  // slot numbers, EMPTY when free
  std::size_t count_ = 0;
};

}  // namespace karvalith
