#include "core/engine/passing_set.h"

#include <vector>

#include "core/common/thread_scratch.h"

namespace karvalith {

namespace {

struct PassingBuffers {
  std::vector<std::uint64_t> passing;
  std::vector<std::uint64_t> scratch;
};

// Reused across calls, so a steady stream of filtered queries allocates
// nothing once the buffers have grown.
PassingBuffers& passing_buffers() { return thread_scratch<PassingBuffers>(); }

}  // namespace

PassingSet passing_set(const CollectionState& state, const MetadataFilter& filter) {
  PassingBuffers& buffers = passing_buffers();
  const std::uint64_t count =
      state.metadata_index.evaluate(filter, state.internal_to_uuid.size(), buffers.passing, buffers.scratch);
  return PassingSet{buffers.passing, count};
}

}  // namespace karvalith
