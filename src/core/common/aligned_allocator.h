// An allocator for the big arrays graph walks read at random: blocks start on
// a cache line, and arrays of a megabyte or more start on a 2 MiB boundary
// and ask the kernel for transparent huge pages, so a walk that touches
// nodes all over a large index misses the TLB far less often.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>

namespace karvalith {

template <class T>
struct AlignedAllocator {
  using value_type = T;
  static constexpr std::size_t LINE = 64;
  static constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
  static constexpr std::size_t HUGE_FROM = std::size_t{1} << 20;

  AlignedAllocator() = default;
  template <class U>
  AlignedAllocator(const AlignedAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    const std::size_t bytes = count * sizeof(T);
    const std::size_t alignment = bytes >= HUGE_FROM ? HUGE_PAGE : LINE;
    const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
    void* p = std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded);
    if (p == nullptr) throw std::bad_alloc();
    if (alignment == HUGE_PAGE) (void)::madvise(p, rounded, MADV_HUGEPAGE);  // a hint: failure is harmless
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t) noexcept { std::free(p); }

  template <class U>
  bool operator==(const AlignedAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace karvalith
