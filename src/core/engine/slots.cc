#include "core/engine/slots.h"

#include <string>
#include <utility>
#include <vector>

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
    if (!state.slot_of(id)) return id;
    if (attempt == 255) {
      // Every attempt byte taken by chosen ids: spend the slot bytes too.
      id.bytes[8] = static_cast<std::uint8_t>(id.bytes[8] + 1);
      attempt = 0;
    }
  }
}

namespace {

// The slot `id` held before it moved, retired and renamed to a retired id.
void give_up_slot(CollectionState& state, std::uint32_t previous_slot) {
  retire_slot(state, previous_slot);
  const Uuid retired = retired_slot_id(state, previous_slot);
  state.internal_to_uuid[previous_slot] = retired;
  state.uuid_to_internal.assign(state.internal_to_uuid, retired, previous_slot);
}

Status check_room(const CollectionState& state, std::size_t count) {
  const std::uint64_t next = state.internal_to_uuid.size();
  if (next + count > MAX_SLOTS) {
    return make_error(ErrorKind::InvalidInput,
                      "collection '" + state.name + "' has used all " + std::to_string(MAX_SLOTS) +
                          " slots; rebuild it to reclaim the slots of deleted documents");
  }
  const std::uint64_t nodes = state.keeps_vectors() ? next : 0;
  if (state.hnsw.node_count() != nodes) {
    return make_error(ErrorKind::Internal,
                      "collection '" + state.name + "' has " + std::to_string(next) +
                          " slots but its graph has " + std::to_string(state.hnsw.node_count()) + " nodes");
  }
  return {};
}

}  // namespace

Status place_in_next_slots(CollectionState& state, std::span<const PendingDocument> documents,
                           std::span<const float> vectors, std::span<QuantizedVector> quantized, unsigned threads) {
  for (const PendingDocument& document : documents) {
    if (document.embedding.size() != state.dimension) {
      return make_error(ErrorKind::InvalidInput,
                        "embedding has " + std::to_string(document.embedding.size()) + " values but collection '" +
                            state.name + "' has dimension " + std::to_string(state.dimension));
    }
  }
  if (Status room = check_room(state, documents.size()); !room) return room;
  const auto first = static_cast<std::uint32_t>(state.internal_to_uuid.size());

  // Id maps and keyword index first, as for one document; the previous slot
  // of each id is remembered so a failure can restore it.
  std::vector<std::pair<std::size_t, std::uint32_t>> previous;
  for (std::size_t i = 0; i < documents.size(); ++i) {
    const Uuid& id = documents[i].document.id;
    const auto slot = static_cast<std::uint32_t>(first + i);
    if (const std::optional<std::uint32_t> held = state.slot_of(id)) previous.emplace_back(i, *held);
    state.internal_to_uuid.push_back(id);
    state.uuid_to_internal.assign(state.internal_to_uuid, id, slot);
    state.inverted_index.add_document(slot, documents[i].document.text);
  }

  Status inserted = state.keeps_vectors() ? state.hnsw.insert_batch(vectors, quantized, threads) : Status{};
  if (!inserted) {
    // Nothing reached the graph (it refuses before its first change).
    for (std::size_t i = documents.size(); i-- > 0;) {
      state.inverted_index.remove_document(static_cast<std::uint32_t>(first + i));
      state.uuid_to_internal.erase(state.internal_to_uuid, documents[i].document.id);
      state.internal_to_uuid.pop_back();
    }
    for (const auto& [i, slot] : previous) {
      state.uuid_to_internal.assign(state.internal_to_uuid, documents[i].document.id, slot);
    }
    return inserted;
  }
  for (const auto& [i, slot] : previous) give_up_slot(state, slot);
  return {};
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
  if (Status room = check_room(state, 1); !room) return room;
  const auto slot = static_cast<std::uint32_t>(state.internal_to_uuid.size());

  // The steps below run in this order: id maps, keyword index, graph.
  const std::optional<std::uint32_t> previous = state.slot_of(id);

  state.internal_to_uuid.push_back(id);
  state.uuid_to_internal.assign(state.internal_to_uuid, id, slot);
  state.inverted_index.add_document(slot, text);

  Status inserted = state.keeps_vectors() ? state.hnsw.insert(slot, embedding, std::move(qv)) : Status{};
  if (!inserted) {
    // The graph is unchanged; undo the maps and the postings.
    state.inverted_index.remove_document(slot);
    if (previous) {
      state.uuid_to_internal.assign(state.internal_to_uuid, id, *previous);
    } else {
      state.uuid_to_internal.erase(state.internal_to_uuid, id);
    }
    state.internal_to_uuid.pop_back();
    return inserted;
  }
  if (previous) give_up_slot(state, *previous);
  return {};
}

}  // namespace karvalith
