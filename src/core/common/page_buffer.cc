#include "core/common/page_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace karvalith {

namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
// Arrays from this size on get a mapping of their own.
constexpr std::size_t MAP_FROM = std::size_t{1} << 20;

std::size_t page_size() {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

std::size_t round_up(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit * unit; }

void advise(void* p, std::size_t bytes, bool huge_pages) {
  if (huge_pages) (void)::madvise(p, bytes, MADV_HUGEPAGE);  // a hint: failure is harmless
}

// A fresh zeroed mapping of `bytes` (a multiple of the page size), starting
// on a huge-page boundary where transparent huge pages can back it: a larger
// range is mapped and its ends given back.
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
  advise(start, bytes, huge_pages);
  return start;
}

}  // namespace

PageBuffer::PageBuffer(const PageBuffer& other) : huge_pages_(other.huge_pages_) {
  if (other.size_ == 0) return;
  grow(other.size_);
  std::memcpy(data_, other.data_, other.size_);
  size_ = other.size_;
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
}

void PageBuffer::clear() {
  if (data_ != nullptr) {
    if (capacity_ >= MAP_FROM) ::munmap(data_, capacity_);
    else std::free(data_);
  }
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

void PageBuffer::grow(std::size_t need) {
  if (need <= capacity_) return;
  // Geometric growth keeps the number of remaps logarithmic; the spare part
  // is address space until written.
  const std::size_t wanted = round_up(need > capacity_ + capacity_ / 2 ? need : capacity_ + capacity_ / 2, page_size());
  if (wanted < MAP_FROM) {
    // Small arrays stay on the heap: a mapping each would spend the
    // process's limited count of mappings on tiny collections.
    void* p = std::realloc(data_, wanted);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(p);
    std::memset(data_ + capacity_, 0, wanted - capacity_);
    capacity_ = wanted;
    return;
  }
  if (capacity_ < MAP_FROM) {
    std::uint8_t* fresh = map(wanted, huge_pages_);
    if (data_ != nullptr) std::memcpy(fresh, data_, size_);
    std::free(data_);
    data_ = fresh;
    capacity_ = wanted;
    return;
  }
#ifdef __linux__
  // The pages move (no copy) into a fresh aligned range, which the move
  // replaces.
  std::uint8_t* target = map(wanted, huge_pages_);
  void* p = ::mremap(data_, capacity_, wanted, MREMAP_MAYMOVE | MREMAP_FIXED, target);
  if (p == MAP_FAILED) {
    ::munmap(target, wanted);
    throw std::bad_alloc();
  }
  data_ = static_cast<std::uint8_t*>(p);
  advise(data_, wanted, huge_pages_);
#else
  std::uint8_t* fresh = map(wanted, huge_pages_);
  std::memcpy(fresh, data_, size_);
  ::munmap(data_, capacity_);
  data_ = fresh;
#endif
  capacity_ = wanted;
}

void PageBuffer::resize(std::size_t size) {
  if (size > size_) {
    grow(size);
  } else if (size < size_) {
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
