// A growable array of trivially copyable values over a PageBuffer, for the
// per-slot columns of a collection (ids, record offsets, levels, document
// lengths, visited marks). A std::vector that doubles leaves up to half its
// capacity touched and, in the heap, the freed old arrays behind as resident
// free memory; here growth moves pages, spare capacity is address space until
// written, and nothing is left behind. Elements past size() read as zero.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

#include "core/common/page_buffer.h"

namespace karvalith {

template <class T>
class PageArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  using value_type = T;

  PageArray() : bytes_(PageBuffer::Pages::Small) {}
  explicit PageArray(PageBuffer::Pages pages) : bytes_(pages) {}
  explicit PageArray(std::span<const T> values) : PageArray() { assign(values); }

  std::size_t size() const { return bytes_.size() / sizeof(T); }
  bool empty() const { return bytes_.empty(); }
  T* data() { return reinterpret_cast<T*>(bytes_.data()); }
  const T* data() const { return reinterpret_cast<const T*>(bytes_.data()); }
  T* begin() { return data(); }
  T* end() { return data() + size(); }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size(); }

  T& operator[](std::size_t i) {
    assert(i < size());
    return data()[i];
  }
  const T& operator[](std::size_t i) const {
    assert(i < size());
    return data()[i];
  }
  T& front() { return (*this)[0]; }
  const T& front() const { return (*this)[0]; }
  T& back() { return (*this)[size() - 1]; }
  const T& back() const { return (*this)[size() - 1]; }

  operator std::span<const T>() const { return {data(), size()}; }  // NOLINT: used like a vector
  std::span<const T> view() const { return {data(), size()}; }

  void push_back(const T& value) {
    const std::size_t n = size();
    bytes_.resize((n + 1) * sizeof(T));
    std::memcpy(bytes_.data() + n * sizeof(T), &value, sizeof(T));
  }
  void pop_back() { resize(size() - 1); }
  // New elements are zero bytes.
  void resize(std::size_t n) { bytes_.resize(n * sizeof(T)); }
  void resize(std::size_t n, const T& value) {
    const std::size_t old = size();
    resize(n);
    for (std::size_t i = old; i < n; ++i) data()[i] = value;
  }
  void assign(std::size_t n, const T& value) {
    clear();
    resize(n, value);
  }
  void assign(std::span<const T> values) {
    clear();
    bytes_.resize(values.size() * sizeof(T));
    if (!values.empty()) std::memcpy(bytes_.data(), values.data(), values.size_bytes());
  }
  void clear() { bytes_.clear(); }

  // Bytes of the elements (spare capacity not counted).
  std::size_t bytes() const { return bytes_.size(); }

 private:
  PageBuffer bytes_;
};

template <class T>
bool operator==(const PageArray<T>& a, const PageArray<T>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.bytes()) == 0);
}

template <class T>
bool operator==(const PageArray<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.bytes()) == 0);
}

}  // namespace karvalith
