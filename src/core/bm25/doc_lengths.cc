#include "core/bm25/doc_lengths.h"

#include <algorithm>

namespace karvalith {

void DocLengths::set(std::uint32_t doc_id, std::uint32_t length) {
  size_ = std::max(size_, std::size_t{doc_id} + 1);
  if (doc_id >= packed_.size()) {
    if (length == 0) return;  // reads as 0 already
    packed_.resize(std::size_t{doc_id} + 1);
  }
  Packed& packed = packed_[doc_id];
  const bool was_overflow = packed == OVERFLOW_MARK;
  if (length < OVERFLOW_MARK && !was_overflow) {
    packed = static_cast<Packed>(length);
    return;
  }
  // Ids mostly come in increasing order, so a new entry is usually appended.
  auto it = overflow_.end();
  if (!overflow_.empty() && overflow_.back().doc_id >= doc_id) {
    it = std::lower_bound(overflow_.begin(), overflow_.end(), doc_id,
                          [](const Overflow& entry, std::uint32_t id) { return entry.doc_id < id; });
  }
  const bool found = it != overflow_.end() && it->doc_id == doc_id;
  if (length < OVERFLOW_MARK) {
    if (found) overflow_.erase(it);
    packed = static_cast<Packed>(length);
  } else if (found) {
    it->length = length;
  } else {
    overflow_.insert(it, Overflow{doc_id, length});
    packed = OVERFLOW_MARK;
  }
}

void DocLengths::assign(std::span<const std::uint32_t> lengths) {
  overflow_.clear();
  packed_.clear();
  size_ = lengths.size();
  std::size_t stored = lengths.size();
  while (stored > 0 && lengths[stored - 1] == 0) --stored;
  packed_.resize(stored);
  Packed* packed = packed_.data();
  for (std::size_t i = 0; i < stored; ++i) {
    const std::uint32_t length = lengths[i];
    if (length < OVERFLOW_MARK) {
      packed[i] = static_cast<Packed>(length);
    } else {
      packed[i] = OVERFLOW_MARK;
      overflow_.push_back(Overflow{static_cast<std::uint32_t>(i), length});
    }
  }
  overflow_.shrink_to_fit();
}

std::uint32_t DocLengths::overflow_length(std::uint32_t doc_id) const {
  const auto it = std::lower_bound(overflow_.begin(), overflow_.end(), doc_id,
                                   [](const Overflow& entry, std::uint32_t id) { return entry.doc_id < id; });
  // Always found while the two stay in step, which every mutation keeps.
  return it != overflow_.end() && it->doc_id == doc_id ? it->length : OVERFLOW_MARK;
}

void DocLengths::copy_to(std::size_t first, std::span<std::uint32_t> out) const {
  const std::size_t stored = first < packed_.size() ? std::min(out.size(), packed_.size() - first) : 0;
  const Packed* packed = packed_.data() + first;
  for (std::size_t i = 0; i < stored; ++i) {
    const Packed value = packed[i];
    out[i] = value != OVERFLOW_MARK ? value : overflow_length(static_cast<std::uint32_t>(first + i));
  }
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(stored), out.end(), 0u);
}

std::vector<std::uint32_t> DocLengths::to_vector() const {
  std::vector<std::uint32_t> out(size());
  copy_to(0, out);
  return out;
}

bool operator==(const DocLengths& a, const DocLengths& b) {
  if (a.size_ != b.size_ || a.overflow_ != b.overflow_) return false;
  // Entries past the shorter array are zero lengths.
  const std::size_t common = std::min(a.packed_.size(), b.packed_.size());
  if (!std::equal(a.packed_.begin(), a.packed_.begin() + common, b.packed_.begin())) return false;
  const auto zero = [](DocLengths::Packed value) { return value == 0; };
  return std::all_of(a.packed_.begin() + common, a.packed_.end(), zero) &&
         std::all_of(b.packed_.begin() + common, b.packed_.end(), zero);
}

bool operator==(const DocLengths& a, std::span<const std::uint32_t> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace karvalith
