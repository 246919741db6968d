#include "core/engine/number_index.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace karvalith {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
// A block splits above max(MIN_BLOCK, count / BLOCKS) slots: about BLOCKS
// blocks of a few percent of the documents each, dense enough to be bitmaps.
constexpr std::uint64_t MIN_BLOCK = 64;
constexpr std::uint64_t BLOCKS = 16;

}  // namespace

std::size_t NumberIndex::block_of(double value) const {
  const auto after = std::upper_bound(blocks_.begin(), blocks_.end(), value,
                                      [](double v, const Block& block) { return v < block.low; });
  return static_cast<std::size_t>(after - blocks_.begin()) - 1;
}

void NumberIndex::insert(double value, std::uint32_t slot) {
  if (!values_[value].insert(slot)) return;
  ++count_;
  if (blocks_.empty()) blocks_.push_back(Block{-INF, {}});
  const std::size_t block = block_of(value);
  blocks_[block].slots.insert(slot);
  if (blocks_[block].slots.size() > std::max(MIN_BLOCK, count_ / BLOCKS)) split(block);
}

void NumberIndex::erase(double value, std::uint32_t slot) {
  const auto found = values_.find(value);
  if (found == values_.end() || !found->second.erase(slot)) return;
  if (found->second.empty()) values_.erase(found);
  --count_;
  blocks_[block_of(value)].slots.erase(slot);
  if (count_ == 0) blocks_.clear();
}

void NumberIndex::split(std::size_t block) {
  const auto first = values_.lower_bound(blocks_[block].low);
  const auto end = block + 1 < blocks_.size() ? values_.lower_bound(blocks_[block + 1].low) : values_.end();
  // The new block starts at the first value past half of the slots; a block
  // of one value cannot split.
  const std::uint64_t half = blocks_[block].slots.size() / 2;
  std::uint64_t seen = 0;
  auto cut = first;
  while (cut != end && seen + cut->second.size() <= half) seen += (cut++)->second.size();
  if (cut == first) ++cut;
  if (cut == end) return;

  // Rebuilt in ascending slot order, so every insert appends.
  auto gather = [](auto from, auto to) {
    std::vector<std::uint32_t> slots;
    for (auto it = from; it != to; ++it) {
      it->second.for_each([&](std::uint32_t slot) { slots.push_back(slot); });
    }
    std::sort(slots.begin(), slots.end());
    SlotSet set;
    for (const std::uint32_t slot : slots) set.insert(slot);
    return set;
  };
  Block upper{cut->first, gather(cut, end)};
  blocks_[block].slots = gather(first, cut);
  blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(block) + 1, std::move(upper));
}

void NumberIndex::equal_into(double v, std::span<std::uint64_t> words, bool clear) const {
  // The values within FILTER_EPSILON of v form one run of the ordered keys
  // (x - v only grows with x). The run starts at or after v - 2 epsilon.
  for (auto it = values_.lower_bound(v - 2 * FILTER_EPSILON); it != values_.end(); ++it) {
    const double difference = it->first - v;
    if (difference >= FILTER_EPSILON) break;
    // An infinity equals itself although inf - inf is NaN.
    if (it->first == v || std::fabs(difference) < FILTER_EPSILON) {
      if (clear) {
        it->second.clear_from(words);
      } else {
        it->second.or_into(words);
      }
    }
  }
}

void NumberIndex::partial_into(std::size_t block, FilterOp op, double v, std::span<std::uint64_t> words) const {
  const auto first = values_.lower_bound(blocks_[block].low);
  const auto end = block + 1 < blocks_.size() ? values_.lower_bound(blocks_[block + 1].low) : values_.end();
  // The keys are ordered, so the passing values of the block are one run at
  // its start (lt, lte) or its end (gt, gte), cut where v falls: the passing
  // run is counted, then the run that changes the bits is walked, instead of
  // testing every value of the block twice.
  const bool below = op == FilterOp::Lt || op == FilterOp::Lte;
  // The cut follows v when v itself lies on the lower side (lte, gt), else
  // it comes before v (lt, gte). range_into passes only a block whose range
  // holds v (neither wholly inside nor wholly outside), never NaN: the cut
  // lies in [first, end].
  const bool v_below = op == FilterOp::Lte || op == FilterOp::Gt;
  const auto cut = v_below ? values_.upper_bound(v) : values_.lower_bound(v);
  const auto pass_first = below ? first : cut, pass_end = below ? cut : end;
  const auto fail_first = below ? cut : first, fail_end = below ? end : cut;
  std::uint64_t passing = 0;
  for (auto it = pass_first; it != pass_end; ++it) passing += it->second.size();
  if (passing * 2 > blocks_[block].slots.size()) {
    blocks_[block].slots.or_into(words);
    for (auto it = fail_first; it != fail_end; ++it) it->second.clear_from(words);
    return;
  }
  for (auto it = pass_first; it != pass_end; ++it) it->second.or_into(words);
}

void NumberIndex::range_into(FilterOp op, double v, std::span<std::uint64_t> words) const {
  for (std::size_t b = 0; b < blocks_.size(); ++b) {
    const double low = blocks_[b].low;
    const bool last = b + 1 == blocks_.size();
    const double next = last ? INF : blocks_[b + 1].low;  // values of a block lie in [low, next)
    bool inside = false;
    bool outside = false;
    switch (op) {
      case FilterOp::Gt: inside = low > v; outside = !last && next <= v; break;
      case FilterOp::Gte: inside = low >= v; outside = !last && next <= v; break;
      case FilterOp::Lt: inside = !last && next <= v; outside = low >= v; break;
      case FilterOp::Lte: inside = !last && next <= v; outside = low > v; break;
      default: return;
    }
    if (outside || blocks_[b].slots.empty()) continue;
    if (inside) {
      blocks_[b].slots.or_into(words);
    } else {
      partial_into(b, op, v, words);
    }
  }
}

std::uint64_t NumberIndex::memory_bytes() const {
  std::uint64_t bytes = 0;
  for (const auto& [value, set] : values_) bytes += 48 + set.memory_bytes();
  for (const Block& block : blocks_) bytes += 16 + block.slots.memory_bytes();
  return bytes;
}

}  // namespace karvalith
