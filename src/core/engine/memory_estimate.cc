// The collection's memory estimate: fixed per-item costs, ignoring allocator
// overhead, spare capacity and hash-table structure.
#include "core/engine/collection.h"

namespace karvalith {

namespace {

constexpr std::uint64_t DOCUMENT_BYTES = 80;        // per live document, plus its text
constexpr std::uint64_t METADATA_ENTRY_BYTES = 64;  // per metadata entry of a live document
constexpr std::uint64_t ID_MAP_ENTRY_BYTES = 24;    // per uuid_to_internal entry
constexpr std::uint64_t SLOT_BYTES = 16;            // per internal_to_uuid entry

}  // namespace

std::uint64_t estimate_memory_bytes(const CollectionState& state) {
  std::uint64_t bytes = state.hnsw.estimate_memory_bytes() + state.inverted_index.estimate_memory_bytes() +
                        state.metadata_index.estimate_memory_bytes();
  for (const auto& [id, document] : state.documents) {
    bytes += DOCUMENT_BYTES + document->text.size() + METADATA_ENTRY_BYTES * document->metadata.size();
  }
  bytes += ID_MAP_ENTRY_BYTES * state.uuid_to_internal.size();
  bytes += SLOT_BYTES * state.internal_to_uuid.size();
  return bytes;
}

CollectionSummary summarize(const Collection& collection) {
  auto state = collection.state().read();
  const std::uint64_t live = state->documents.size();
  const std::uint64_t slots = state->hnsw.node_count();
  return CollectionSummary{state->name,
                           state->dimension,
                           live,
                           estimate_memory_bytes(*state),
                           state->hnsw.config().distance_metric,
                           slots > live ? slots - live : 0};
}

std::uint64_t Collection::estimate_memory_bytes() const {
  return karvalith::estimate_memory_bytes(*state_.read());
}

}  // namespace karvalith
