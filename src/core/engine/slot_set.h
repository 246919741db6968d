// A set of collection slots that changes its form with its density: a sorted
// array of slot numbers while sparse, one bit per slot once the array would
// take more bytes than the bits (the idea of a roaring container, over the
// whole slot range). The metadata index keeps one per field value.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace karvalith {

class SlotSet {
 public:
  // False when the slot was already in the set.
  bool insert(std::uint32_t slot);
  // False when the slot was not in the set.
  bool erase(std::uint32_t slot);
  bool contains(std::uint32_t slot) const;

  std::uint64_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  bool dense() const { return dense_; }

  // words |= this set (or words &= ~this set), one bit per slot; slots at or
  // beyond words.size() * 64 are left out.
  void or_into(std::span<std::uint64_t> words) const;
  void clear_from(std::span<std::uint64_t> words) const;

  // Calls fn(slot) for every slot, ascending.
  template <class Fn>
  void for_each(Fn&& fn) const {
    if (!dense_) {
      for (const std::uint32_t slot : slots_) fn(slot);
      return;
    }
    for (std::size_t w = 0; w < words_.size(); ++w) {
      for (std::uint64_t bits = words_[w]; bits != 0; bits &= bits - 1) {
        fn(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits))));
      }
    }
  }

  // Bytes held: the object and its array or bits (capacity ignored).
  std::uint64_t memory_bytes() const;

 private:
  void make_dense();
  void make_sparse();

  std::vector<std::uint32_t> slots_;  // ascending, while sparse
  std::vector<std::uint64_t> words_;  // bit s of word s / 64, while dense
  std::uint32_t count_ = 0;
  bool dense_ = false;
};

// Slot-bit helpers shared by the index and the planner.

// The number of set bits; uses the POPCNT instruction where the processor
// has it (the library is built for baseline x86-64, whose software count is
// several times slower).
std::uint64_t count_slots(std::span<const std::uint64_t> words);

// The slots below `limit` whose bit is set in `words` and clear in
// `cleared` (a shorter `cleared` reads as clear beyond its end), ascending,
// into `out` (resized to their number). `expected`, about how many there
// are, picks the loop that suits their density; any value gives the same list.
void list_slots(std::span<const std::uint64_t> words, std::span<const std::uint64_t> cleared, std::uint32_t limit,
                std::uint64_t expected, std::vector<std::uint32_t>& out);

inline bool test_slot(std::span<const std::uint64_t> words, std::uint32_t slot) {
  const std::size_t word = slot >> 6;
  return word < words.size() && ((words[word] >> (slot & 63)) & 1u) != 0;
}

}  // namespace karvalith
