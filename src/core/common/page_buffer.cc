#include "core/common/page_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace karvalith {

namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

std::size_t page_size() {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

std::size_t round_up(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit * unit; }

#ifndef MADV_COLLAPSE
#define MADV_COLLAPSE 25
#endif

// A fresh zeroed mapping of `bytes` (a multiple of the page size), starting
// on a huge-page boundary where transparent huge pages can back it: a larger
// range is mapped and its ends given back. Mappings that want huge pages
// start without them (see promote_huge_pages).
std::uint8_t* map(std::size_t bytes, bool huge_pages) {
  const std::size_t slack = HUGE_PAGE;
  void* p = ::mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  auto* start = static_cast<std::uint8_t*>(p);
  const auto address = reinterpret_cast<std::uintptr_t>(start);
  const std::size_t head = round_up(address, HUGE_PAGE) - address;
  if (head != 0) ::munmap(start, head);
  if (slack - head != 0) ::munmap(start + head + bytes, slack - head);
  start += head;
  if (huge_pages) (void)::madvise(start, bytes, MADV_NOHUGEPAGE);  // hints: failure is harmless
  return start;
}

}  // namespace

PageBuffer::PageBuffer(const PageBuffer& other)
    : huge_pages_(other.huge_pages_), always_mapped_(other.always_mapped_) {
  if (other.size_ == 0) return;
  grow(other.size_);
  std::memcpy(data_, other.data_, other.size_);
  size_ = other.size_;
  promote_huge_pages(size_);
}

PageBuffer PageBuffer::adopt_mapping(std::uint8_t* data, std::size_t size, std::size_t mapped) {
  PageBuffer buffer;
  buffer.data_ = data;
  buffer.size_ = size;
  buffer.capacity_ = mapped;
  // The whole mapping counts as one part that was never given advice, so
  // growth moves it with one mremap and promote_huge_pages leaves it alone.
  buffer.huge_bytes_ = mapped;
  if (mapped > size) std::memset(data + size, 0, mapped - size);
  return buffer;
}

PageBuffer::PageBuffer(PageBuffer&& other) noexcept { swap(*this, other); }

PageBuffer& PageBuffer::operator=(PageBuffer other) noexcept {
  swap(*this, other);
  return *this;
}

PageBuffer::~PageBuffer() { clear(); }

void swap(PageBuffer& a, PageBuffer& b) noexcept {
  std::swap(a.data_, b.data_);
  std::swap(a.size_, b.size_);
  std::swap(a.capacity_, b.capacity_);
  std::swap(a.huge_pages_, b.huge_pages_);
  std::swap(a.always_mapped_, b.always_mapped_);
  std::swap(a.huge_bytes_, b.huge_bytes_);
}

bool PageBuffer::mapped() const { return capacity_ != 0 && (always_mapped_ || capacity_ >= MAP_FROM); }

void PageBuffer::clear() {
  if (data_ != nullptr) {
    if (mapped()) ::munmap(data_, capacity_);
    else std::free(data_);
  }
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
  huge_bytes_ = 0;
}

void PageBuffer::grow(std::size_t need) {
  if (need <= capacity_) return;
  // Geometric growth keeps the number of remaps logarithmic; the spare part
  // is address space until written.
  const std::size_t wanted = round_up(need > capacity_ + capacity_ / 2 ? need : capacity_ + capacity_ / 2, page_size());
  if (wanted < MAP_FROM && !always_mapped_) {
    // Small arrays stay on the heap: a mapping each would spend the
    // process's limited count of mappings on tiny collections.
    // Spare heap capacity is left unwritten (resize zeroes what it takes),
    // so the allocator's untouched pages stay out of the resident set.
    void* p = std::realloc(data_, wanted);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(p);
    capacity_ = wanted;
    return;
  }
  if (!mapped()) {
    std::uint8_t* fresh = map(wanted, huge_pages_);
    if (data_ != nullptr) std::memcpy(fresh, data_, size_);
    std::free(data_);
    data_ = fresh;
    capacity_ = wanted;
    return;
  }
  std::uint8_t* target = map(wanted, huge_pages_);
  move_into(target, wanted);
  data_ = target;
  capacity_ = wanted;
}

void PageBuffer::move_into(std::uint8_t* target, std::size_t wanted) {
#ifdef __linux__
  // The pages move (no copy) into the fresh aligned range, which the move
  // replaces. Advice splits a mapping in two (the huge-page prefix, the
  // tail) and one mremap moves only one: each part moves on its own, with
  // their advice. Should the kernel refuse, the bytes are copied.
  if (huge_bytes_ != 0 &&
      ::mremap(data_, huge_bytes_, huge_bytes_, MREMAP_MAYMOVE | MREMAP_FIXED, target) == MAP_FAILED) {
    copy_into(target, 0);
    return;
  }
  const std::size_t tail = capacity_ - huge_bytes_;
  if (tail != 0 && ::mremap(data_ + huge_bytes_, tail, wanted - huge_bytes_, MREMAP_MAYMOVE | MREMAP_FIXED,
                            target + huge_bytes_) == MAP_FAILED) {
    copy_into(target, huge_bytes_);
  }
#else
  copy_into(target, 0);
#endif
}

void PageBuffer::copy_into(std::uint8_t* target, std::size_t from) {
  if (size_ > from) std::memcpy(target + from, data_ + from, size_ - from);
  ::munmap(data_ + from, capacity_ - from);
}

void PageBuffer::promote_huge_pages(std::size_t old_size) {
  if (!huge_pages_ || !mapped()) return;
  const std::size_t full = size_ / HUGE_PAGE * HUGE_PAGE;
  if (full <= huge_bytes_) return;
  (void)::madvise(data_ + huge_bytes_, full - huge_bytes_, MADV_HUGEPAGE);
  // Regions written in small pages while they were the tail are collapsed
  // now, so a built array is backed by huge pages like a loaded one; regions
  // nothing has written yet get huge pages when first written.
  const std::size_t written = std::min(full, round_up(old_size, HUGE_PAGE));
  if (written > huge_bytes_) (void)::madvise(data_ + huge_bytes_, written - huge_bytes_, MADV_COLLAPSE);
  huge_bytes_ = full;
}

void PageBuffer::resize(std::size_t size) {
  if (size > size_) {
    grow(size);
    if (!mapped()) std::memset(data_ + size_, 0, size - size_);
    const std::size_t old_size = size_;
    size_ = size;
    promote_huge_pages(old_size);
    return;
  }
  if (size < size_) {
    // Bytes past the new size must read as zero when it grows again.
    std::memset(data_ + size, 0, size_ - size);
  }
  size_ = size;
}

void PageBuffer::assign_zero(std::size_t size) {
  clear();
  resize(size);
}

}  // namespace karvalith
