#include "core/engine/slots.h"

#include <string>
#include <utility>

namespace karvalith {

void retire_slot(CollectionState& state, std::uint32_t slot) {
  state.hnsw.mark_deleted(slot);  // false (nothing to do) when slot is not a node
  state.inverted_index.remove_document(slot);
}

Uuid retired_slot_id(const CollectionState& state, std::uint32_t slot) {
  static constexpr char MARK[7] = {'r', 'e', 't', 'i', 'r', 'e', 'd'};
  Uuid id;
  for (std::size_t i = 0; i < 7; ++i) id.bytes[i] = static_cast<std::uint8_t>(MARK[i]);
  for (int b = 0; b < 8; ++b) id.bytes[15 - b] = static_cast<std::uint8_t>(std::uint64_t{slot} >> (8 * b));
  for (unsigned attempt = 0;; ++attempt) {
    id.bytes[7] = static_cast<std::uint8_t>(attempt);
    if (!state.uuid_to_internal.contains(id)) return id;
    if (attempt == 255) {
      // Every attempt byte taken by chosen ids: spend the slot bytes too.
      id.bytes[8] = static_cast<std::uint8_t>(id.bytes[8] + 1);
      attempt = 0;
    }
  }
}

Status place_in_next_slot(CollectionState& state, const Uuid& id, std::string_view text,
                          std::span<const float> embedding, QuantizedVector qv) {
  // A vector of another length would shift every later node in the graph's
  // fixed-stride arrays.
  if (embedding.size() != state.dimension) {
    return make_error(ErrorKind::InvalidInput,
                      "embedding has " + std::to_string(embedding.size()) + " values but collection '" +
                          state.name + "' has dimension " + std::to_string(state.dimension));
  }
  const std::uint64_t next = state.internal_to_uuid.size();
  if (next >= MAX_SLOTS) {
    return make_error(ErrorKind::InvalidInput,
                      "collection '" + state.name + "' has used all " + std::to_string(MAX_SLOTS) +
                          " slots; rebuild it to reclaim the slots of deleted documents");
  }
  if (state.hnsw.node_count() != next) {
    return make_error(ErrorKind::Internal,
                      "collection '" + state.name + "' has " + std::to_string(next) +
                          " slots but its graph has " + std::to_string(state.hnsw.node_count()) + " nodes");
  }
  const auto slot = static_cast<std::uint32_t>(next);

  // The steps below run in this order: id maps, keyword index, graph.
  const auto previous = state.uuid_to_internal.find(id);
  const bool had_slot = previous != state.uuid_to_internal.end();
  const std::uint32_t previous_slot = had_slot ? previous->second : 0;

  state.internal_to_uuid.push_back(id);
  state.uuid_to_internal.insert_or_assign(id, slot);
  state.inverted_index.add_document(slot, text);

  Status inserted = state.hnsw.insert(slot, embedding, std::move(qv));
  if (!inserted) {
    // The graph is unchanged; undo the maps and the postings.
    state.inverted_index.remove_document(slot);
    state.internal_to_uuid.pop_back();
    if (had_slot) {
      state.uuid_to_internal[id] = previous_slot;
    } else {
      state.uuid_to_internal.erase(id);
    }
    return inserted;
  }
  if (had_slot) {
    retire_slot(state, previous_slot);
    const Uuid retired = retired_slot_id(state, previous_slot);
    state.internal_to_uuid[previous_slot] = retired;
    state.uuid_to_internal.emplace(retired, previous_slot);
  }
  return {};
}

}  // namespace karvalith
