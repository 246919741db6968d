// The numbers of one metadata field in ascending order: the slots of each
// distinct value, and the same slots grouped into blocks of consecutive
// values. A range is the union of the blocks inside it and, value by value,
// of the at most one block it cuts, so a wide range costs word-wide ORs of
// a few bitmaps instead of one write per slot.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "core/engine/slot_set.h"
#include "core/search/filter_types.h"

namespace karvalith {

class NumberIndex {
 public:
  // `value` is never NaN (NaN equals nothing and orders with nothing).
  void insert(double value, std::uint32_t slot);
  void erase(double value, std::uint32_t slot);
  bool empty() const { return values_.empty(); }

  // Slots whose value x has x == v or |x - v| < FILTER_EPSILON (the
  // evaluator's own expression), or'ed into `words`, or cleared from them
  // when `clear`.
  void equal_into(double v, std::span<std::uint64_t> words, bool clear) const;
  // Slots whose value compares to v by `op` (Gt, Gte, Lt or Lte), or'ed
  // into `words`. v is not NaN.
  void range_into(FilterOp op, double v, std::span<std::uint64_t> words) const;

  std::size_t block_count() const { return blocks_.size(); }
  // 48 bytes per distinct value, 16 per block, and the sets.
  std::uint64_t memory_bytes() const;

 private:
  // Holds the slots of the values in [low, the next block's low); the
  // first block starts at -infinity, the last one ends after +infinity.
  struct Block {
    double low;
    SlotSet slots;
  };

  std::size_t block_of(double value) const;
  void split(std::size_t block);
  // One block's values passing the range, by value (the block's bitmap
  // minus the failing values when most pass).
  void partial_into(std::size_t block, FilterOp op, double v, std::span<std::uint64_t> words) const;

  std::map<double, SlotSet> values_;
  std::vector<Block> blocks_;
  std::uint64_t count_ = 0;
};

}  // namespace karvalith
