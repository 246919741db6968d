// The collection's memory estimate: the bytes of its arrays as laid out,
// ignoring allocator overhead and spare capacity.
#include "core/engine/collection.h"

namespace karvalith {

std::uint64_t estimate_memory_bytes(const CollectionState& state) {
  if (state.internal_to_uuid.empty()) return 0;
  return state.hnsw.layout_bytes() + state.inverted_index.estimate_memory_bytes() +
         state.metadata_index.estimate_memory_bytes() + state.documents.memory_bytes() +
         state.uuid_to_internal.memory_bytes() + sizeof(Uuid) * state.internal_to_uuid.size();
}

CollectionSummary summarize(const Collection& collection) {
  auto state = collection.state().read();
  const std::uint64_t live = state->documents.size();
  const std::uint64_t slots = state->internal_to_uuid.size();
  return CollectionSummary{state->name,
                           state->dimension,
                           live,
                           estimate_memory_bytes(*state),
                           state->hnsw.config().distance_metric,
                           slots > live ? slots - live : 0,
                           static_cast<std::uint8_t>(state->hnsw.walk_bits() == 0 ? 8 : state->hnsw.walk_bits())};
}

std::uint64_t Collection::estimate_memory_bytes() const {
  return karvalith::estimate_memory_bytes(*state_.read());
}

}  // namespace karvalith
