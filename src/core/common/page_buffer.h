// A growable byte array, for the large arrays that grow one element at a
// time (the graph's node blocks). From a megabyte on it has an anonymous
// mapping of its own (below, heap memory), and growing never copies: on Linux the mapping is enlarged with mremap, which moves page
// tables, not bytes, so a build does not hold the old and the new array at
// once (a std::vector doubling does, for a moment: twice the array). Spare
// capacity is address space only: pages count as resident once written.
// New bytes read as zero. Mapped arrays start on a huge-page boundary; those
// made with Pages::Huge ask for transparent huge pages (a hint), so random
// walks over a large array miss the TLB less, but only for the 2 MiB regions
// the array fills: the partly filled last one stays in small pages, as a
// huge page there would make up to 2 MiB resident that holds nothing (42
// bytes per document of a 38,600-document collection). Columns read one
// element at a time use Pages::Small throughout.
//
// Allocation failure throws std::bad_alloc, as a std::vector would.
#pragma once

#include <cstddef>
#include <cstdint>

namespace karvalith {

class PageBuffer {
 public:
  // Mapped: small pages in a mapping of its own from the first byte, so
  // clear() gives every page back at once (freed heap memory may stay
  // resident), for arrays that are dropped and grown again.
  enum class Pages { Huge, Small, Mapped };

  PageBuffer() = default;
  explicit PageBuffer(Pages pages) : huge_pages_(pages == Pages::Huge), always_mapped_(pages == Pages::Mapped) {}
  PageBuffer(const PageBuffer& other);
  PageBuffer(PageBuffer&& other) noexcept;
  PageBuffer& operator=(PageBuffer other) noexcept;
  ~PageBuffer();

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t capacity() const { return capacity_; }

  // Takes over `mapped` bytes (a multiple of the page size, at least
  // MAP_FROM) mapped at `data` with mmap, of which the first `size` are the
  // contents: a private mapping of a file, read in place. Bytes past `size`
  // are zeroed (they copy at most one page). Such a mapping stays in the
  // file's small pages; growing moves it whole and maps fresh memory after
  // it (a later growth, once that memory has huge pages, copies).
  static PageBuffer adopt_mapping(std::uint8_t* data, std::size_t size, std::size_t mapped);
  // Arrays from this size on are mapped (below, heap memory).
  static constexpr std::size_t MAP_FROM = std::size_t{1} << 20;

  // Grows or shrinks to `size` bytes; bytes past the old size read as zero.
  void resize(std::size_t size);
  // `size` zero bytes (the old contents and mapping are dropped).
  void assign_zero(std::size_t size);
  void clear();

  friend void swap(PageBuffer& a, PageBuffer& b) noexcept;

 private:
  // Whether data_ is a mapping (else heap memory or null).
  bool mapped() const;
  // Makes room for `need` bytes, keeping the contents.
  void grow(std::size_t need);
  // Moves the mapped bytes from data_ into `target` (a fresh mapping of
  // `wanted` bytes) and releases the old mapping.
  void move_into(std::uint8_t* target, std::size_t wanted);
  // Copies the bytes from offset `from` on into `target` and unmaps them.
  void copy_into(std::uint8_t* target, std::size_t from);
  // Asks for huge pages on the whole 2 MiB regions below size_ not yet asked
  // for; those below `old_size` (already written) are collapsed into them.
  void promote_huge_pages(std::size_t old_size);

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;  // bytes allocated; when mapped, those past size_ are zero
  bool huge_pages_ = true;    // ask for transparent huge pages when mapped
  bool always_mapped_ = false;  // mapped from the first byte (Pages::Mapped)
  std::size_t huge_bytes_ = 0;  // prefix of a mapping asked to use huge pages
};

}  // namespace karvalith
