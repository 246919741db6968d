// Binary heaps of candidates stored in caller-owned vectors (so they can be
// reused across searches). Entries are ordered by distance alone with a
// partial comparison: NaN compares equal to everything and ids never break
// ties. The far heap keeps the farthest entry on top, the near heap the
// closest.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "core/hnsw/candidate.h"

namespace karvalith {

namespace heap_detail {

// Below(a, b): a must sit below b in the heap.
template <class Below>
inline void sift_up(Candidate* h, std::size_t i, Below below) {
  Candidate item = h[i];
  while (i > 0) {
    std::size_t parent = (i - 1) / 2;
    if (!below(h[parent], item)) break;
    h[i] = h[parent];
    i = parent;
  }
  h[i] = item;
}

template <class Below>
inline void sift_down(Candidate* h, std::size_t size, std::size_t i, Below below) {
  Candidate item = h[i];
  for (;;) {
    std::size_t child = 2 * i + 1;
    if (child >= size) break;
    if (child + 1 < size && below(h[child], h[child + 1])) ++child;
    if (!below(item, h[child])) break;
    h[i] = h[child];
    i = child;
  }
  h[i] = item;
}

struct FarBelow {
  bool operator()(const Candidate& a, const Candidate& b) const { return a.distance < b.distance; }
};
struct NearBelow {
  bool operator()(const Candidate& a, const Candidate& b) const { return b.distance < a.distance; }
};

}  // namespace heap_detail

inline void far_heap_push(std::vector<Candidate>& h, Candidate c) {
  h.push_back(c);
  heap_detail::sift_up(h.data(), h.size() - 1, heap_detail::FarBelow{});
}

inline void far_heap_pop(std::vector<Candidate>& h) {
  h.front() = h.back();
  h.pop_back();
  if (!h.empty()) heap_detail::sift_down(h.data(), h.size(), 0, heap_detail::FarBelow{});
}

inline void near_heap_push(std::vector<Candidate>& h, Candidate c) {
  h.push_back(c);
  heap_detail::sift_up(h.data(), h.size() - 1, heap_detail::NearBelow{});
}

inline void near_heap_pop(std::vector<Candidate>& h) {
  h.front() = h.back();
  h.pop_back();
  if (!h.empty()) heap_detail::sift_down(h.data(), h.size(), 0, heap_detail::NearBelow{});
}

// Heap sort of a far heap in place: ascending by distance afterwards.
inline void far_heap_sort(std::vector<Candidate>& h) {
  for (std::size_t end = h.size(); end > 1; --end) {
    std::swap(h[0], h[end - 1]);
    heap_detail::sift_down(h.data(), end - 1, 0, heap_detail::FarBelow{});
  }
}

}  // namespace karvalith
