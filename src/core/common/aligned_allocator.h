// An allocator whose blocks start on a cache line, so arrays of fixed-size
// records have a predictable line layout.
#pragma once

#include <cstddef>
#include <new>

namespace karvalith {

template <class T>
struct AlignedAllocator {
  using value_type = T;
  static constexpr std::align_val_t ALIGNMENT{64};

  AlignedAllocator() = default;
  template <class U>
  AlignedAllocator(const AlignedAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) { return static_cast<T*>(::operator new(count * sizeof(T), ALIGNMENT)); }
  void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, ALIGNMENT); }

  template <class U>
  bool operator==(const AlignedAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace karvalith
