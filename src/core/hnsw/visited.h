// Per-thread visited marks for graph walks: one 8-bit stamp per node and a
// current epoch, so starting a new walk costs one increment instead of a
// clear. The marks are cleared only when the epoch wraps (every 255 walks):
// one byte per node and thread context instead of two, for a memset of the
// marks every 255 walks (at a million nodes, 4 KB per walk).
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/common/page_array.h"
#include "core/hnsw/graph.h"

namespace karvalith {

class VisitedSet {
 public:
  // Extends the marks to cover `node_count` ids (new marks are 0); never shrinks.
  void grow(std::size_t node_count);

  using Mark = std::uint8_t;
  static constexpr Mark LAST_EPOCH = 0xFF;

  // Starts a new walk: epoch + 1, or after LAST_EPOCH every mark is zeroed
  // and the epoch restarts at 1.
  void next_epoch();

  // Marks `id` and returns true when it was not yet visited in this walk.
  bool visit(std::uint32_t id) {
    assert(id < marks_.size());
    Mark& mark = marks_[id];
    if (mark == epoch_) return false;
    mark = epoch_;
    return true;
  }

  // Marks every id of `ids` and writes the ones not yet visited, in order,
  // to `out` (room for ids.size()); returns how many. One tight loop per id
  // width with the marks and the epoch in registers.
  std::size_t visit_all(const LinkList& ids, std::uint32_t* out) {
    return ids.width() == 3 ? visit_each<3>(ids.bytes(), ids.size(), out)
                            : visit_each<4>(ids.bytes(), ids.size(), out);
  }

  // Frees the marks; the next grow starts them again at zero.
  void release() {
    marks_.clear();
    epoch_ = 1;
  }

  bool is_visited(std::uint32_t id) const { return id < marks_.size() && marks_[id] == epoch_; }

  std::size_t size() const { return marks_.size(); }
  Mark epoch() const { return epoch_; }

  // Lets tests reach the wrap without 255 walks.
  void set_epoch_for_testing(Mark epoch) { epoch_ = epoch; }

 private:
  template <unsigned WIDTH>
  std::size_t visit_each(const std::uint8_t* bytes, std::size_t n, std::uint32_t* out) {
    Mark* const marks = marks_.data();
    const Mark epoch = epoch_;
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i, bytes += WIDTH) {
      const std::uint32_t id = LinkList::read_id(bytes, WIDTH);
      assert(id < marks_.size());
      out[count] = id;
      count += marks[id] != epoch;
      marks[id] = epoch;
    }
    return count;
  }

  // In a mapping of their own, so release() gives the pages back.
  PageArray<Mark> marks_{PageBuffer::Pages::Mapped};
  Mark epoch_ = 1;
};

}  // namespace karvalith
