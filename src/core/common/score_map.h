// A per-id score accumulator for the searches' hot loops.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace karvalith {

// Accumulates one score per id: open addressing keyed by id over dense
// id/score arrays kept in first-seen order. Cleared by bumping an epoch, so a
// reused (per thread) map costs nothing to reset. Keyword scoring sums a
// document's term parts in it, hybrid fusion its two lists' contributions.
class ScoreMap {
 public:
  // Starts an empty map able to hold `expected` documents before it grows.
  void reset(std::size_t expected) {
    ids_.clear();
    scores_.clear();
    if (++epoch_ == 0) {  // wrapped: stale slots could look current
      for (Slot& s : slots_) s.epoch = 0;
      epoch_ = 1;
    }
    if (slots_.empty() || expected * 2 > slots_.size()) rehash(table_size_for(expected));
    ids_.reserve(expected);
    scores_.reserve(expected);
  }

  // scores[doc] = part + scores[doc], a missing score being 0 (so a lone
  // -0 part gives +0).
  void add(std::uint32_t doc, float part) {
    std::size_t pos = home(doc);
    while (slots_[pos].epoch == epoch_) {
      if (slots_[pos].doc_id == doc) {
        float& score = scores_[slots_[pos].index];
        score = part + score;
        return;
      }
      pos = (pos + 1) & mask_;
    }
    slots_[pos] = Slot{epoch_, doc, static_cast<std::uint32_t>(ids_.size())};
    ids_.push_back(doc);
    scores_.push_back(part + 0.0f);
    if (ids_.size() * 2 > slots_.size()) rehash(slots_.size() * 2);
  }

  const std::vector<std::uint32_t>& ids() const { return ids_; }
  const std::vector<float>& scores() const { return scores_; }

 private:
  struct Slot {
    std::uint32_t epoch;  // the slot is in use when it equals the map's epoch
    std::uint32_t doc_id;
    std::uint32_t index;  // position in ids_ / scores_
  };

  static std::size_t table_size_for(std::size_t n) {
    std::size_t size = 16;
    while (size < n * 2) size *= 2;
    return size;
  }

  std::size_t home(std::uint32_t doc) const {
    return static_cast<std::size_t>((doc * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  void rehash(std::size_t table_size) {
    slots_.assign(table_size, Slot{0, 0, 0});
    epoch_ = 1;
    mask_ = table_size - 1;
    shift_ = 64 - std::countr_zero(table_size);
    for (std::size_t i = 0; i < ids_.size(); ++i) {
      std::size_t pos = home(ids_[i]);
      while (slots_[pos].epoch == epoch_) pos = (pos + 1) & mask_;
      slots_[pos] = Slot{epoch_, ids_[i], static_cast<std::uint32_t>(i)};
    }
  }

  std::vector<Slot> slots_;
  std::vector<std::uint32_t> ids_;
  std::vector<float> scores_;
  std::uint32_t epoch_ = 0;
  std::size_t mask_ = 0;
  int shift_ = 64;
};

}  // namespace karvalith
