#include "core/engine/slot_set.h"

#include <algorithm>
#include <bit>

#include "core/quantization/simd.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace karvalith {

namespace {

// Below this many slots the array stays, whatever the density: a few dozen
// slots are cheaper as an array than as any bitmap worth its overhead.
constexpr std::uint32_t MIN_DENSE = 64;

std::size_t words_for(std::uint64_t slot_count) { return static_cast<std::size_t>((slot_count + 63) / 64); }

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("popcnt"))) std::uint64_t count_with_popcnt(std::span<const std::uint64_t> words) {
  std::uint64_t count = 0;
  for (const std::uint64_t word : words) count += static_cast<std::uint64_t>(__builtin_popcountll(word));
  return count;
}
#endif

// The bits of word w of `words` not set in `cleared`, below `limit`.
inline std::uint64_t listed_bits(std::span<const std::uint64_t> words, std::span<const std::uint64_t> cleared,
                                 std::uint32_t limit, std::size_t w) {
  std::uint64_t bits = words[w] & ~(w < cleared.size() ? cleared[w] : 0);
  if (w * 64 + 64 > limit) bits &= (std::uint64_t{1} << (limit - w * 64)) - 1;  // the last word's tail
  return bits;
}

inline std::size_t listed_words(std::span<const std::uint64_t> words, std::uint32_t limit) {
  return std::min(words.size(), (std::size_t{limit} + 63) / 64);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Writes the slots of words [from, to) (each word's bits, less those of
// `cleared` when CLEARED) at out[n...], GROUP at a time, the first GROUP
// whatever their number (tzcnt of a spent word is 64 and the writes past the
// last bit are overwritten by the next word's): no branch on whether a word
// has bits, which scattered slots would mispredict every other word. A
// sparse list (GROUP 1) skips empty words instead, a branch that is then
// predictable. `out` is grown a block of words at a time, so the loop over a
// word checks nothing but its own bits.
template <int GROUP, bool CLEARED>
__attribute__((target("popcnt,bmi"))) std::size_t list_words(const std::uint64_t* words, const std::uint64_t* cleared,
                                                             std::size_t from, std::size_t to,
                                                             std::vector<std::uint32_t>& out, std::size_t n) {
  constexpr std::size_t BLOCK = 16;
  for (std::size_t block = from; block < to; block += BLOCK) {
    if (out.size() < n + BLOCK * 64 + GROUP) out.resize(std::max(n + BLOCK * 64 + GROUP, 2 * out.size()));
    std::uint32_t* const first = out.data();
    for (std::size_t w = block, last = std::min(to, block + BLOCK); w < last; ++w) {
      std::uint64_t bits = CLEARED ? words[w] & ~cleared[w] : words[w];
      if (GROUP == 1 && bits == 0) continue;
      std::uint32_t* at = first + n;
      const auto base = static_cast<std::uint32_t>(w * 64);
      const auto count = static_cast<std::size_t>(__builtin_popcountll(bits));
      std::uint32_t* const end = at + count;
      do {
        for (int i = 0; i < GROUP; ++i) {
          at[i] = base + static_cast<std::uint32_t>(_tzcnt_u64(bits));
          bits = _blsr_u64(bits);
        }
        at += GROUP;
      } while (at < end);
      n += count;
    }
  }
  return n;
}

// The listing: the words `cleared` covers, those beyond it, and a last word
// cut at `limit` through the portable loop.
template <int GROUP>
std::size_t list_with_bmi(std::span<const std::uint64_t> words, std::span<const std::uint64_t> cleared,
                          std::uint32_t limit, std::vector<std::uint32_t>& out) {
  const std::size_t used = listed_words(words, limit);
  const std::size_t whole = used * 64 > limit ? used - 1 : used;  // words with no bit at or beyond limit
  const std::size_t covered = std::min(whole, cleared.size());
  std::size_t n = list_words<GROUP, true>(words.data(), cleared.data(), 0, covered, out, 0);
  n = list_words<GROUP, false>(words.data(), nullptr, covered, whole, out, n);
  if (whole < used) {
    if (out.size() < n + 64) out.resize(n + 64);
    for (std::uint64_t bits = listed_bits(words, cleared, limit, whole); bits != 0; bits &= bits - 1) {
      out[n++] = static_cast<std::uint32_t>(whole * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
    }
  }
  return n;
}
#endif

}  // namespace

void list_slots(std::span<const std::uint64_t> words, std::span<const std::uint64_t> cleared, std::uint32_t limit,
                std::uint64_t expected, std::vector<std::uint32_t>& out) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  static const bool has_bmi = __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi");
  if (has_bmi) {
    // Fewer slots than words: skip the empty words; otherwise two bits a
    // word at a time, unconditionally.
    const std::size_t used = listed_words(words, limit);
    const std::size_t n = expected < used ? list_with_bmi<1>(words, cleared, limit, out)
                                          : list_with_bmi<2>(words, cleared, limit, out);
    out.resize(n);
    return;
  }
#endif
  out.clear();
  for (std::size_t w = 0, used = listed_words(words, limit); w < used; ++w) {
    for (std::uint64_t bits = listed_bits(words, cleared, limit, w); bits != 0; bits &= bits - 1) {
      out.push_back(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(bits))));
    }
  }
}

std::uint64_t count_slots(std::span<const std::uint64_t> words) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  static const bool has_vector_popcnt = cpu_has_avx512_popcnt();
  if (has_vector_popcnt) return avx512_count_bits(words.data(), words.size());
  static const bool has_popcnt = __builtin_cpu_supports("popcnt");
  if (has_popcnt) return count_with_popcnt(words);
#endif
  std::uint64_t count = 0;
  for (const std::uint64_t word : words) count += static_cast<std::uint64_t>(std::popcount(word));
  return count;
}

bool SlotSet::insert(std::uint32_t slot) {
  if (dense_) {
    const std::size_t word = slot >> 6;
    if (word >= words_.size()) words_.resize(std::max(word + 1, words_.size() + words_.size() / 2), 0);
    const std::uint64_t bit = std::uint64_t{1} << (slot & 63);
    if ((words_[word] & bit) != 0) return false;
    words_[word] |= bit;
    ++count_;
    return true;
  }
  // Slots are handed out in ascending order, so appending is the usual case.
  if (slots_.empty() || slots_.back() < slot) {
    slots_.push_back(slot);
  } else {
    const auto at = std::lower_bound(slots_.begin(), slots_.end(), slot);
    if (at != slots_.end() && *at == slot) return false;
    slots_.insert(at, slot);
  }
  ++count_;
  // Four bytes a slot against one bit per slot up to the largest.
  if (count_ >= MIN_DENSE && std::uint64_t{count_} * 32 > std::uint64_t{slots_.back()} + 1) make_dense();
  return true;
}

bool SlotSet::erase(std::uint32_t slot) {
  if (dense_) {
    const std::size_t word = slot >> 6;
    const std::uint64_t bit = std::uint64_t{1} << (slot & 63);
    if (word >= words_.size() || (words_[word] & bit) == 0) return false;
    words_[word] &= ~bit;
    --count_;
    // Back to an array below one slot in 64, half the density that made it
    // dense, so a set near the line does not flip at every change.
    if (count_ < words_.size() || count_ < MIN_DENSE / 2) make_sparse();
    return true;
  }
  const auto at = std::lower_bound(slots_.begin(), slots_.end(), slot);
  if (at == slots_.end() || *at != slot) return false;
  slots_.erase(at);
  --count_;
  if (slots_.empty()) slots_.shrink_to_fit();
  return true;
}

bool SlotSet::contains(std::uint32_t slot) const {
  if (dense_) return test_slot(words_, slot);
  return std::binary_search(slots_.begin(), slots_.end(), slot);
}

void SlotSet::make_dense() {
  words_.assign(words_for(std::uint64_t{slots_.back()} + 1), 0);
  for (const std::uint32_t s : slots_) words_[s >> 6] |= std::uint64_t{1} << (s & 63);
  slots_ = {};
  dense_ = true;
}

void SlotSet::make_sparse() {
  std::vector<std::uint32_t> slots;
  slots.reserve(count_);
  for (std::size_t w = 0; w < words_.size(); ++w) {
    for (std::uint64_t bits = words_[w]; bits != 0; bits &= bits - 1) {
      slots.push_back(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(bits))));
    }
  }
  slots_ = std::move(slots);
  words_ = {};
  dense_ = false;
}

void SlotSet::or_into(std::span<std::uint64_t> words) const {
  if (dense_) {
    const std::size_t n = std::min(words.size(), words_.size());
    for (std::size_t i = 0; i < n; ++i) words[i] |= words_[i];
    return;
  }
  const std::uint64_t limit = std::uint64_t{words.size()} * 64;
  for (const std::uint32_t s : slots_) {
    if (s >= limit) break;
    words[s >> 6] |= std::uint64_t{1} << (s & 63);
  }
}

void SlotSet::clear_from(std::span<std::uint64_t> words) const {
  if (dense_) {
    const std::size_t n = std::min(words.size(), words_.size());
    for (std::size_t i = 0; i < n; ++i) words[i] &= ~words_[i];
    return;
  }
  const std::uint64_t limit = std::uint64_t{words.size()} * 64;
  for (const std::uint32_t s : slots_) {
    if (s >= limit) break;
    words[s >> 6] &= ~(std::uint64_t{1} << (s & 63));
  }
}

std::uint64_t SlotSet::memory_bytes() const {
  return sizeof(SlotSet) + (dense_ ? 8 * std::uint64_t{words_.size()} : 4 * std::uint64_t{count_});
}

}  // namespace karvalith
