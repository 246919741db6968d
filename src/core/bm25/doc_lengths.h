// The length in terms of every document of a keyword index, by dense doc id,
// in two bytes per document. A length below OVERFLOW_MARK (0xFFFF) is stored
// as it is; a larger one is stored as OVERFLOW_MARK with its exact value in a
// side table sorted by doc id (65,535 terms is a long book chapter, so the
// table is empty or tiny in practice). Readers always get the exact u32
// value, so scores and stored snapshots are the same as with u32 lengths.
// Entries are kept up to the last id with a nonzero length: a collection of
// embeddings with empty texts keeps none (2 bytes per document saved), while
// size() still covers every id added, as stored files list them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/common/page_array.h"

namespace karvalith {

class DocLengths {
 public:
  using Packed = std::uint16_t;
  static constexpr Packed OVERFLOW_MARK = 0xFFFF;

  DocLengths() = default;
  explicit DocLengths(std::span<const std::uint32_t> lengths) { assign(lengths); }

  // Ids covered: 0 .. size() - 1 (a removed or never added id reads 0).
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // The exact length of `doc_id` (< size()).
  std::uint32_t operator[](std::size_t doc_id) const {
    if (doc_id >= packed_.size()) return 0;
    const Packed packed = packed_[doc_id];
    return packed != OVERFLOW_MARK ? packed : overflow_length(static_cast<std::uint32_t>(doc_id));
  }

  // Sets the length of `doc_id`, first extending the ids covered with zero
  // lengths when it is beyond them.
  void set(std::uint32_t doc_id, std::uint32_t length);
  // Replaces every length by `lengths` (lengths[i] is the length of id i).
  void assign(std::span<const std::uint32_t> lengths);

  // The exact lengths of ids [first, first + out.size()) (within size()),
  // written to `out`: a block at a time, writers need no full u32 copy.
  void copy_to(std::size_t first, std::span<std::uint32_t> out) const;
  std::vector<std::uint32_t> to_vector() const;

  // The packed array for the scoring loop: entry i (i < packed_size()) is
  // the length of id i, or OVERFLOW_MARK, then overflow_length(i) is the
  // length; ids from packed_size() on have length 0.
  const Packed* packed() const { return packed_.data(); }
  std::size_t packed_size() const { return packed_.size(); }
  // The exact length of an id whose packed entry is OVERFLOW_MARK (a binary
  // search of the side table).
  std::uint32_t overflow_length(std::uint32_t doc_id) const;
  std::size_t overflow_count() const { return overflow_.size(); }

  // 2 per id plus 8 per overflow entry (spare capacity not counted).
  std::uint64_t memory_bytes() const {
    return 2 * static_cast<std::uint64_t>(packed_.size()) + 8 * static_cast<std::uint64_t>(overflow_.size());
  }

  friend bool operator==(const DocLengths& a, const DocLengths& b);

 private:
  struct Overflow {
    std::uint32_t doc_id;
    std::uint32_t length;  // >= OVERFLOW_MARK
    friend bool operator==(const Overflow&, const Overflow&) = default;
  };

  PageArray<Packed> packed_;  // up to the last nonzero length
  std::size_t size_ = 0;
  // One entry per id whose packed entry is OVERFLOW_MARK, ascending by id.
  std::vector<Overflow> overflow_;
};

// Equal exact lengths: the representation of a set of lengths is unique.
bool operator==(const DocLengths& a, const DocLengths& b);
bool operator==(const DocLengths& a, std::span<const std::uint32_t> b);
inline bool operator==(const DocLengths& a, const std::vector<std::uint32_t>& b) {
  return a == std::span<const std::uint32_t>(b);
}

}  // namespace karvalith
