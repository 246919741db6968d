// A hash map from term text to a value, tuned for the keyword index: lookups
// take a string_view (no std::string is built to look a term up), entries sit
// in one dense array (fast to iterate, as the delete path and snapshots do),
// and the table is open addressing with linear probing over 8-byte slots
// that carry 32 bits of the hash, so a miss rarely touches an entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace karvalith {

// A fast hash for short byte strings (terms average under 10 bytes): 8-byte
// chunks folded through a 64x64->128 multiply. Transparent, so standard
// unordered containers can use it with string_view lookups too.
struct TermHash {
  using is_transparent = void;

  std::size_t operator()(std::string_view s) const noexcept {
    const char* p = s.data();
    const std::size_t n = s.size();
    std::uint64_t h = SEED ^ (static_cast<std::uint64_t>(n) * MUL_B);
    // The tail is read with overlapping loads rather than copied into a
    // zeroed word byte by byte (which stalls store forwarding); the length
    // in the seed keeps strings of different lengths apart.
    if (n >= 8) {
      std::size_t i = 0;
      for (; i + 8 < n; i += 8) h = fold(h ^ load64(p + i), MUL_A);
      h = fold(h ^ load64(p + n - 8), MUL_A);
    } else if (n >= 4) {
      h = fold(h ^ (load32(p) | (static_cast<std::uint64_t>(load32(p + n - 4)) << 32)), MUL_A);
    } else if (n > 0) {
      const std::uint64_t chunk = static_cast<unsigned char>(p[0]) |
                                  (static_cast<std::uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8) |
                                  (static_cast<std::uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16);
      h = fold(h ^ chunk, MUL_A);
    }
    return static_cast<std::size_t>(fold(h, MUL_B));
  }

 private:
  static constexpr std::uint64_t SEED = 0x243F6A8885A308D3ull;
  static constexpr std::uint64_t MUL_A = 0x9E3779B97F4A7C15ull;
  static constexpr std::uint64_t MUL_B = 0xD6E8FEB86659FD93ull;
  static std::uint64_t load64(const char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  }
  static std::uint32_t load32(const char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  }
  static std::uint64_t fold(std::uint64_t a, std::uint64_t b) {
    unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
  }
};

template <class V>
class TermMap {
 public:
  using value_type = std::pair<std::string, V>;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  // Iteration order is unspecified and changes on erase.
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  // Entry `i` of the iteration order, 0 <= i < size().
  const std::string& key_at(std::size_t i) const { return entries_[i].first; }
  V& value_at(std::size_t i) { return entries_[i].second; }
  const V& value_at(std::size_t i) const { return entries_[i].second; }

  V* find(std::string_view key) {
    std::size_t slot = find_slot(key, hash_tag(key));
    return slot == NOT_FOUND ? nullptr : &entries_[slots_[slot].index].second;
  }
  const V* find(std::string_view key) const { return const_cast<TermMap*>(this)->find(key); }
  bool contains(std::string_view key) const { return find(key) != nullptr; }

  // The value of `key`, default-constructed and inserted when absent; the
  // bool tells whether it was inserted.
  std::pair<V*, bool> try_emplace(std::string_view key) {
    if ((entries_.size() + 1) * 2 > slots_.size()) grow();
    const std::uint32_t tag = hash_tag(key);
    std::size_t pos = tag & mask_;
    while (slots_[pos].index != EMPTY) {
      const Slot s = slots_[pos];
      if (s.tag == tag && entries_[s.index].first == key) return {&entries_[s.index].second, false};
      pos = (pos + 1) & mask_;
    }
    slots_[pos] = Slot{tag, static_cast<std::uint32_t>(entries_.size())};
    entries_.emplace_back(std::string(key), V());
    return {&entries_.back().second, true};
  }
  V& operator[](std::string_view key) { return *try_emplace(key).first; }

  bool erase(std::string_view key) {
    std::size_t slot = find_slot(key, hash_tag(key));
    if (slot == NOT_FOUND) return false;
    erase_at(slots_[slot].index);
    return true;
  }

  // Removes entry `i` of the iteration order; the last entry takes its place,
  // so a loop erasing while it walks should walk from the back.
  void erase_at(std::size_t i) {
    const std::size_t last = entries_.size() - 1;
    remove_slot(slot_of(i));
    if (i != last) {
      slots_[slot_of(last)].index = static_cast<std::uint32_t>(i);
      entries_[i] = std::move(entries_[last]);
    }
    entries_.pop_back();
  }

  void reserve(std::size_t n) {
    entries_.reserve(n);
    if (n * 2 > slots_.size()) rehash(table_size_for(n));
  }

  void clear() {
    entries_.clear();
    for (Slot& s : slots_) s.index = EMPTY;
  }

 private:
  struct Slot {
    std::uint32_t tag;    // high 32 bits of the hash; its low bits pick the home slot
    std::uint32_t index;  // position in entries_, EMPTY for a free slot
  };
  static constexpr std::uint32_t EMPTY = 0xFFFFFFFFu;
  static constexpr std::size_t NOT_FOUND = static_cast<std::size_t>(-1);

  static std::uint32_t hash_tag(std::string_view key) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(TermHash{}(key)) >> 32);
  }

  static std::size_t table_size_for(std::size_t n) {
    std::size_t size = 16;
    while (size < n * 2) size *= 2;
    return size;
  }

  std::size_t find_slot(std::string_view key, std::uint32_t tag) const {
    if (slots_.empty()) return NOT_FOUND;
    for (std::size_t pos = tag & mask_;; pos = (pos + 1) & mask_) {
      const Slot s = slots_[pos];
      if (s.index == EMPTY) return NOT_FOUND;
      if (s.tag == tag && entries_[s.index].first == key) return pos;
    }
  }

  // The slot that points at entry i (which exists).
  std::size_t slot_of(std::size_t i) const {
    std::size_t pos = hash_tag(entries_[i].first) & mask_;
    while (slots_[pos].index != i) pos = (pos + 1) & mask_;
    return pos;
  }

  // Backward-shift deletion: later members of the probe run move into the
  // hole when their home allows it, so no tombstones are needed.
  void remove_slot(std::size_t hole) {
    for (std::size_t j = (hole + 1) & mask_; slots_[j].index != EMPTY; j = (j + 1) & mask_) {
      const std::size_t home = slots_[j].tag & mask_;
      if (((j - home) & mask_) >= ((j - hole) & mask_)) {
        slots_[hole] = slots_[j];
        hole = j;
      }
    }
    slots_[hole].index = EMPTY;
  }

  void grow() { rehash(slots_.empty() ? 16 : slots_.size() * 2); }

  void rehash(std::size_t table_size) {
    slots_.assign(table_size, Slot{0, EMPTY});
    mask_ = table_size - 1;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const std::uint32_t tag = hash_tag(entries_[i].first);
      std::size_t pos = tag & mask_;
      while (slots_[pos].index != EMPTY) pos = (pos + 1) & mask_;
      slots_[pos] = Slot{tag, static_cast<std::uint32_t>(i)};
    }
  }

  std::vector<value_type> entries_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

}  // namespace karvalith
