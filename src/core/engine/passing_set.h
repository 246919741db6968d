// The documents of a collection that pass a metadata filter, one bit per
// slot, as the metadata index computes them. Search plans with it; get,
// count and delete_where read it.
#pragma once

#include <cstdint>
#include <span>

#include "core/engine/collection.h"
#include "core/engine/slot_set.h"
#include "core/search/filter_types.h"

namespace karvalith {

struct PassingSet {
  std::span<const std::uint64_t> words;
  std::uint64_t count = 0;

  bool operator()(std::uint32_t slot) const { return test_slot(words, slot); }

  // Calls fn(slot) for every passing slot, ascending.
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (std::size_t w = 0; w < words.size(); ++w) {
      for (std::uint64_t bits = words[w]; bits != 0; bits &= bits - 1) {
        fn(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits))));
      }
    }
  }
};

// The live slots of `state` passing `filter` (which has passed check_filter),
// computed in the calling thread's buffers: valid until the thread's next
// call. The caller holds the state's lock (shared suffices) while it reads
// the result.
PassingSet passing_set(const CollectionState& state, const MetadataFilter& filter);

}  // namespace karvalith
