// Slot bookkeeping of a collection: giving a document the next slot in both
// indexes and the id maps, and retiring a slot when its document goes. Shared
// by insert, delete and the catch-up phase of rebuild.
//
// Every function here works on a CollectionState whose exclusive lock the
// caller holds.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/common/result.h"
#include "core/document/uuid.h"
#include "core/quantization/scalar.h"
#include "core/engine/collection.h"

namespace karvalith {

// Slot numbers are u32, so a collection holds at most this many slots
// between rebuilds.
inline constexpr std::uint64_t MAX_SLOTS = std::uint64_t{1} << 32;

// Gives `id` the next slot s = internal_to_uuid.size(): uuid_to_internal[id]
// = s, id appended to internal_to_uuid, the text indexed under s, the vector
// inserted as graph node s. The document itself is not stored.
//
// Refuses (ErrorKind::InvalidInput) an embedding whose length is not the
// collection's dimension and a collection whose slots are used up; fails
// (ErrorKind::Internal) when the graph and the id list disagree on the slot
// count or the graph refuses the node. On any failure the state is as before.
//
// An id that already holds a slot (a deleted or a replaced document) gives
// that slot up: the old slot is retired (see retire_slot) and renamed to a
// retired id (retired_slot_id), so every slot keeps exactly one id of its own
// and uuid_to_internal keeps one entry per slot, as snapshots require.
Status place_in_next_slot(CollectionState& state, const Uuid& id, std::string_view text,
                          std::span<const float> embedding, QuantizedVector qv);

// place_in_next_slot for several documents at once, the graph insertion from
// `threads` threads (HnswIndex::insert_batch). `vectors` holds the documents'
// embeddings back to back, `quantized` their quantizations (consumed). No
// id may repeat. The same refusals; on any failure the state is as before.
Status place_in_next_slots(CollectionState& state, std::span<const PendingDocument> documents,
                           std::span<const float> vectors, std::span<QuantizedVector> quantized, unsigned threads);

// Tombstones graph node `slot` (when it is a node) and removes the slot's
// postings from the keyword index. The id maps are left as they are.
void retire_slot(CollectionState& state, std::uint32_t slot);

// The id a slot takes when its document's id moves to a new slot: "retired"
// in its first seven bytes, an attempt number, then the slot number, so it
// is never a document's own id unless a caller chose exactly such an id (the
// attempt number then moves past it). Unique within the state's id maps.
Uuid retired_slot_id(const CollectionState& state, std::uint32_t slot);

}  // namespace karvalith
