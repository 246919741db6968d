// Rebuilding a collection's indexes from its live documents. The expensive
// part (graph construction) runs with no lock held, so readers keep searching the old indexes until the final swap.
#include <algorithm>
#include <string>
#include <utility>

#include "core/common/heap.h"
#include "core/common/parallel.h"
#include "core/quantization/scalar.h"
#include "core/engine/collection.h"
#include "core/engine/slots.h"

namespace karvalith {

namespace {

// Live documents in slot order: their ids, old slots and records, with
// their vectors `dimension` floats each, back to back.
struct GatheredDocuments {
  std::vector<Uuid> ids;
  std::vector<std::uint32_t> slots;
  DocumentStore records;  // under the new slots 0, 1, ...
  std::vector<float> vectors;
};

// The indexes and maps that replace the collection's on the swap.
struct FreshIndexes {
  HnswIndex hnsw;
  InvertedIndex inverted_index;
  PageArray<Uuid> internal_to_uuid;
  IdTable uuid_to_internal;
  MetadataIndex metadata_index;
};

// Appends the vector of graph node `slot` to `out` (nothing for a
// keyword-only collection, which has no nodes).
void append_slot_vector(const CollectionState& state, std::uint32_t slot, std::vector<float>& out) {
  if (!state.keeps_vectors()) return;
  const std::size_t offset = out.size();
  out.resize(offset + state.dimension);
  state.hnsw.copy_vector(slot, out.data() + offset);
}

Error rebuild_stopped(std::size_t linked, std::size_t count) {
  return Error{ErrorKind::Cancelled, "rebuild stopped after linking " + std::to_string(linked) + " of " +
                                         std::to_string(count) + " documents; the collection keeps its old indexes"};
}

Result<FreshIndexes> build_indexes(const GatheredDocuments& gathered, const HnswConfig& config,
                                   std::uint64_t dimension, unsigned threads, Progress* progress) {
  const std::size_t count = gathered.ids.size();
  FreshIndexes fresh{HnswIndex(config, dimension), InvertedIndex(), PageArray<Uuid>(gathered.ids), {}, {}};
  fresh.uuid_to_internal.assign_all(fresh.internal_to_uuid);
  for (std::uint32_t slot = 0; slot < count; ++slot) {
    if (slot % 4096 == 0 && !keep_going(progress, 0, count)) return std::unexpected(rebuild_stopped(0, count));
    fresh.inverted_index.add_document(slot, gathered.records.text(slot));
    fresh.metadata_index.add(slot, gathered.records.metadata(slot));
  }
  // Nobody else sees the new graph yet: every thread links into it at once,
  // chunk by chunk so that a stop is noticed soon.
  if (dimension == 0) return fresh;  // keyword-only: no graph to link
  std::vector<QuantizedVector> quantized;
  ChunkPacer pacer(Collection::PARALLEL_BATCH, 2 * std::size_t{std::max(threads, 1u)}, Collection::PARALLEL_CHUNK);
  for (std::size_t start = 0; start < count;) {
    if (!keep_going(progress, start, count)) return std::unexpected(rebuild_stopped(start, count));
    const std::size_t size = std::min(pacer.next(), count - start);
    quantized.assign(size, QuantizedVector{});
    parallel_for(size, threads, [&](std::size_t i) {
      quantized[i] = QuantizedVector::quantize({gathered.vectors.data() + (start + i) * dimension, dimension});
    });
    const std::span<const float> vectors(gathered.vectors.data() + start * dimension, size * dimension);
    Status inserted = fresh.hnsw.insert_batch(vectors, quantized, threads);
    if (!inserted) return std::unexpected(std::move(inserted.error()));
    pacer.finished(size);
    start += size;
  }
  return fresh;
}

}  // namespace

Result<std::uint64_t> Collection::rebuild(unsigned threads, Progress* progress) {
  Result<std::uint64_t> rebuilt = rebuild_indexes(threads, progress);
  return_free_heap();  // the old indexes were freed on the way out
  return rebuilt;
}

Result<std::uint64_t> Collection::rebuild_indexes(unsigned threads, Progress* progress) {
  GatheredDocuments gathered;
  HnswConfig config;
  std::uint64_t dimension = 0;
  {
    auto state = state_.read();
    config = state->hnsw.config();
    dimension = state->dimension;
    gathered.ids.reserve(state->documents.size());
    gathered.slots.reserve(state->documents.size());
    gathered.vectors.reserve(state->documents.size() * dimension);
    state->documents.for_each_slot([&](std::uint32_t slot) {
      if (state->keeps_vectors() && slot >= state->hnsw.node_count()) return;
      const auto fresh_slot = static_cast<std::uint32_t>(gathered.ids.size());
      gathered.ids.push_back(state->internal_to_uuid[slot]);
      gathered.slots.push_back(slot);
      gathered.records.put_record(fresh_slot, state->documents.record(slot));
      append_slot_vector(*state, slot, gathered.vectors);
    });
  }

  Result<FreshIndexes> built = build_indexes(gathered, config, dimension, threads, progress);
  if (!built && built.error().kind == ErrorKind::Cancelled) return std::unexpected(std::move(built.error()));
  if (!built) return make_error(ErrorKind::Internal, std::move(built.error().message));
  FreshIndexes& fresh = *built;
  const std::size_t count = gathered.ids.size();
  // The last stop point: past it the swap happens.
  if (!keep_going(progress, count, count)) return std::unexpected(rebuild_stopped(count, count));

  auto state = state_.write();
  if (state->dimension != dimension) {  // the whole state was replaced meanwhile
    return make_error(ErrorKind::Internal,
                      "collection '" + state->name + "' changed its dimension during the rebuild");
  }

  // Documents that changed while the lock was free. A gathered document is
  // unchanged when its old slot is still live with the same record (an
  // insert, upsert or delete moves or empties the slot; a metadata update
  // changes the record). The others are gone; live slots not gathered
  // unchanged are late, and their vectors come from the old graph, so they
  // are read before the swap.
  std::vector<bool> unchanged(gathered.ids.size(), false);
  for (std::size_t i = 0; i < gathered.ids.size(); ++i) {
    const std::span<const std::uint8_t> now = state->documents.record(gathered.slots[i]);
    const std::span<const std::uint8_t> then = gathered.records.record(static_cast<std::uint32_t>(i));
    unchanged[i] = !now.empty() && std::ranges::equal(now, then);
  }
  std::vector<std::uint32_t> late;  // old slots
  std::vector<float> late_vectors;
  std::size_t next_gathered = 0;
  state->documents.for_each_slot([&](std::uint32_t slot) {
    while (next_gathered < gathered.slots.size() && gathered.slots[next_gathered] < slot) ++next_gathered;
    const bool kept = next_gathered < gathered.slots.size() && gathered.slots[next_gathered] == slot &&
                      unchanged[next_gathered];
    if (kept || (state->keeps_vectors() && slot >= state->hnsw.node_count())) return;
    late.push_back(slot);
    append_slot_vector(*state, slot, late_vectors);
  });
  // Late documents keep their records and ids aside: the swap replaces both.
  std::vector<Uuid> late_ids;
  DocumentStore late_records;
  for (std::size_t i = 0; i < late.size(); ++i) {
    late_ids.push_back(state->internal_to_uuid[late[i]]);
    late_records.put_record(static_cast<std::uint32_t>(i), state->documents.record(late[i]));
  }

  // Swapped rather than assigned: `fresh` outlives the guard, so the old
  // indexes are freed after the lock is released.
  std::swap(state->hnsw, fresh.hnsw);
  std::swap(state->inverted_index, fresh.inverted_index);
  std::swap(state->internal_to_uuid, fresh.internal_to_uuid);
  std::swap(state->uuid_to_internal, fresh.uuid_to_internal);
  std::swap(state->metadata_index, fresh.metadata_index);
  std::swap(state->documents, gathered.records);

  for (std::uint32_t slot = 0; slot < unchanged.size(); ++slot) {
    if (unchanged[slot]) continue;
    retire_slot(*state, slot);
    state->metadata_index.remove(slot, state->documents.metadata(slot));
    state->documents.erase(slot);
  }
  Status caught_up;
  for (std::uint32_t i = 0; i < late.size(); ++i) {
    const std::span<const float> vector(late_vectors.data() + std::size_t{i} * dimension, dimension);
    Status placed = place_in_next_slot(*state, late_ids[i], late_records.text(i), vector,
                                       QuantizedVector::quantize(vector));
    if (placed) {
      const auto slot = static_cast<std::uint32_t>(state->internal_to_uuid.size() - 1);
      state->documents.put_record(slot, late_records.record(i));
      state->metadata_index.add(slot, late_records.metadata(i));
    } else if (caught_up) {
      caught_up = std::move(placed);
    }
  }
  if (!caught_up) {
    return make_error(ErrorKind::Internal,
                      "rebuild of collection '" + state->name +
                          "' could not re-index a document added during the rebuild: " +
                          caught_up.error().message);
  }
  return gathered.ids.size();
}

}  // namespace karvalith
