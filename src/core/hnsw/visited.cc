#include "core/hnsw/visited.h"

#include <algorithm>

namespace karvalith {

void VisitedSet::grow(std::size_t node_count) {
  if (node_count > marks_.size()) marks_.resize(node_count);  // new marks read as zero
}

void VisitedSet::next_epoch() {
  if (epoch_ == LAST_EPOCH) {
    std::fill(marks_.begin(), marks_.end(), Mark{0});
    epoch_ = 1;
  } else {
    ++epoch_;
  }
}

}  // namespace karvalith
