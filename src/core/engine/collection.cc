#include "core/engine/collection.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>

#include "core/common/parallel.h"
#include "core/hnsw/thread_context.h"
#include "core/quantization/scalar.h"
#include "core/engine/slots.h"

namespace karvalith {

CollectionState::CollectionState(std::string name, std::uint64_t dimension, const HnswConfig& config)
    : name(std::move(name)), dimension(dimension), hnsw(config, dimension) {}

Collection::Collection(std::string name, std::uint64_t dimension, const HnswConfig& config)
    : state_(std::move(name), dimension, config) {}

Collection::Collection(CollectionState state) : state_(std::move(state)) {
  auto held = state_.write();
  // Files written before keyword-only collections kept no graph hold one
  // node per slot, each with an empty vector: dropped, as nothing reads them.
  if (!held->keeps_vectors() && held->hnsw.node_count() != 0) held->hnsw = HnswIndex(held->hnsw.config(), 0);
  reindex_metadata(*held);
}

void Collection::rename(std::string name) { state_.write()->name = std::move(name); }

namespace {

// Gives `document` the next slot and makes it the live document of its id,
// moving the metadata index along; the id's previous slot, live or not, is
// retired (place_in_next_slot).
Status place_document(CollectionState& state, const Document& document, std::span<const float> embedding,
                      QuantizedVector quantized) {
  const std::optional<std::uint32_t> previous = state.live_slot(document.id);
  Status placed = place_in_next_slot(state, document.id, document.text, embedding, std::move(quantized));
  if (!placed) return placed;
  const auto slot = static_cast<std::uint32_t>(state.internal_to_uuid.size() - 1);
  if (previous) {
    state.metadata_index.remove(*previous, state.documents.metadata(*previous));
    state.documents.erase(*previous);
  }
  state.documents.put(slot, document.text, document.metadata);
  state.metadata_index.add(slot, document.metadata);
  return {};
}

// Names the document within a batch; a single insert needs no position.
std::string batch_position(std::size_t index, std::size_t count) {
  if (count <= 1) return {};
  return " (document " + std::to_string(index) + " of the batch)";
}

}  // namespace

Status Collection::validate_insert(std::span<const PendingDocument> pending) const {
  return validate(pending, false);
}

Status Collection::validate_upsert(std::span<const PendingDocument> pending) const {
  return validate(pending, true);
}

Status Collection::validate(std::span<const PendingDocument> pending, bool replacing) const {
  std::unordered_set<Uuid, UuidHash> batch_ids;
  if (pending.size() > 1) batch_ids.reserve(pending.size());

  auto state = state_.read();
  for (std::size_t i = 0; i < pending.size(); ++i) {
    const PendingDocument& item = pending[i];
    const std::span<const float> embedding = item.embedding;
    if (embedding.size() != state->dimension) {
      return make_error(ErrorKind::InvalidInput,
                        "embedding has " + std::to_string(embedding.size()) + " values but collection '" +
                            state->name + "' has dimension " + std::to_string(state->dimension) +
                            batch_position(i, pending.size()));
    }
    for (std::size_t j = 0; j < embedding.size(); ++j) {
      if (!std::isfinite(embedding[j])) {
        return make_error(ErrorKind::InvalidInput,
                          "embedding has a non-finite value at index " + std::to_string(j) +
                              batch_position(i, pending.size()));
      }
    }
    const Uuid& id = item.document.id;
    if (!replacing && state->live_slot(id)) {
      return make_error(ErrorKind::InvalidInput, "document id '" + id.to_string() +
                                                     "' already exists in collection '" + state->name +
                                                     "' (upsert replaces a document)");
    }
    if (pending.size() > 1 && !batch_ids.insert(id).second) {
      return make_error(ErrorKind::InvalidInput,
                        "document id '" + id.to_string() + "' appears twice in the batch");
    }
  }
  if (state->internal_to_uuid.size() + pending.size() > MAX_SLOTS) {
    return make_error(ErrorKind::InvalidInput,
                      "collection '" + state->name + "' has " +
                          std::to_string(MAX_SLOTS - state->internal_to_uuid.size()) + " free slots, too few for " +
                          std::to_string(pending.size()) +
                          " documents; rebuild it to reclaim the slots of deleted documents");
  }
  return {};
}

Result<Uuid> Collection::insert_document(Document document, std::vector<float> embedding) {
  // Quantizing is the expensive part; it needs no shared state.
  QuantizedVector quantized = QuantizedVector::quantize(embedding);
  auto state = state_.write();
  if (Status placed = place_document(*state, document, embedding, std::move(quantized)); !placed) {
    return std::unexpected(std::move(placed.error()));
  }
  return document.id;
}

Status Collection::insert_batch(std::span<PendingDocument> documents, unsigned threads, Progress* progress) {
  const std::size_t total = documents.size();
  auto stopped = [&](std::size_t placed) {
    return make_error(ErrorKind::Cancelled, "stopped after " + std::to_string(placed) + " of " +
                                                std::to_string(total) + " documents");
  };
  if (threads <= 1 || total < PARALLEL_BATCH) {
    for (std::size_t i = 0; i < total; ++i) {
      if (!keep_going(progress, i, total)) return stopped(i);
      auto inserted = insert_document(std::move(documents[i].document), std::move(documents[i].embedding));
      if (!inserted) return std::unexpected(std::move(inserted.error()));
    }
    release_insertion_marks_after(total, state_.read()->hnsw.node_count());
    (void)keep_going(progress, total, total);  // everything is placed: nothing left to stop
    return {};
  }
  std::vector<float> vectors;
  std::vector<QuantizedVector> quantized;
  ChunkPacer pacer(PARALLEL_BATCH, 2 * std::size_t{threads}, PARALLEL_CHUNK);
  for (std::size_t start = 0; start < total;) {
    if (!keep_going(progress, start, total)) return stopped(start);
    const std::span<PendingDocument> chunk = documents.subspan(start, std::min(pacer.next(), total - start));
    // Quantized outside the lock, on every thread.
    quantized.assign(chunk.size(), QuantizedVector{});
    parallel_for(chunk.size(), threads,
                 [&](std::size_t i) { quantized[i] = QuantizedVector::quantize(chunk[i].embedding); });
    vectors.clear();
    for (const PendingDocument& pending : chunk) {
      vectors.insert(vectors.end(), pending.embedding.begin(), pending.embedding.end());
    }
    {
      auto state = state_.write();
      const auto first = static_cast<std::uint32_t>(state->internal_to_uuid.size());
      std::vector<std::optional<std::uint32_t>> previous(chunk.size());
      for (std::size_t i = 0; i < chunk.size(); ++i) previous[i] = state->live_slot(chunk[i].document.id);
      if (Status placed = place_in_next_slots(*state, chunk, vectors, quantized, threads); !placed) return placed;
      for (std::size_t i = 0; i < chunk.size(); ++i) {
        const Document& document = chunk[i].document;
        const auto slot = static_cast<std::uint32_t>(first + i);
        // The documents and the metadata index move along, as in place_document.
        if (previous[i]) {
          state->metadata_index.remove(*previous[i], state->documents.metadata(*previous[i]));
          state->documents.erase(*previous[i]);
        }
        state->documents.put(slot, document.text, document.metadata);
        state->metadata_index.add(slot, document.metadata);
      }
    }
    pacer.finished(chunk.size());
    start += chunk.size();
  }
  (void)keep_going(progress, total, total);
  return {};
}

Result<Uuid> Collection::upsert_document(Document document, std::vector<float> embedding) {
  QuantizedVector quantized = QuantizedVector::quantize(embedding);
  auto state = state_.write();
  // A live id's old slot is retired by the placement; the document follows.
  if (Status placed = place_document(*state, document, embedding, std::move(quantized)); !placed) {
    return std::unexpected(std::move(placed.error()));
  }
  return document.id;
}

bool Collection::update_metadata(const Uuid& id, Metadata metadata) {
  auto state = state_.write();
  const std::optional<std::uint32_t> slot = state->live_slot(id);
  if (!slot) return false;
  state->metadata_index.remove(*slot, state->documents.metadata(*slot));
  state->metadata_index.add(*slot, metadata);
  state->documents.put(*slot, state->documents.text(*slot), metadata);
  return true;
}

namespace {

bool delete_live(CollectionState& state, const Uuid& id) {
  const std::optional<std::uint32_t> slot = state.live_slot(id);
  if (!slot) return false;
  state.metadata_index.remove(*slot, state.documents.metadata(*slot));
  state.documents.erase(*slot);
  // The id keeps its slot entry until a rebuild; the graph node stays as a
  // tombstone that searches pass through, the postings go at once.
  retire_slot(state, *slot);
  return true;
}

}  // namespace

bool Collection::delete_document(const Uuid& id) {
  auto state = state_.write();
  return delete_live(*state, id);
}

std::uint64_t Collection::delete_documents(std::span<const Uuid> ids) {
  auto state = state_.write();
  if (ids.size() < BULK_DELETE) {
    std::uint64_t deleted = 0;
    for (const Uuid& id : ids) deleted += delete_live(*state, id) ? 1 : 0;
    return deleted;
  }
  // As delete_live for each, with the postings removed in one pass: each
  // single removal walks every term.
  std::vector<std::uint32_t> slots;
  for (const Uuid& id : ids) {
    const std::optional<std::uint32_t> slot = state->live_slot(id);
    if (!slot) continue;
    state->metadata_index.remove(*slot, state->documents.metadata(*slot));
    state->documents.erase(*slot);
    state->hnsw.mark_deleted(*slot);
    slots.push_back(*slot);
  }
  state->inverted_index.remove_documents(slots);
  return slots.size();
}

void reindex_metadata(CollectionState& state) {
  // In slot order: every set then grows at its end.
  state.metadata_index.clear();
  state.documents.for_each_slot(
      [&](std::uint32_t slot) { state.metadata_index.add(slot, state.documents.metadata(slot)); });
}

DocumentPtr Collection::get_document(const Uuid& id) const {
  auto state = state_.read();
  const std::optional<std::uint32_t> slot = state->live_slot(id);
  if (!slot) return nullptr;
  return std::make_shared<const Document>(state->documents.document(*slot, id));
}

std::uint64_t Collection::dimension() const { return state_.read()->dimension; }

bool Collection::contains(const Uuid& id) const { return state_.read()->live_slot(id).has_value(); }

std::vector<Uuid> Collection::live_ids() const {
  auto state = state_.read();
  std::vector<Uuid> ids;
  ids.reserve(state->documents.size());
  state->documents.for_each_slot([&](std::uint32_t slot) { ids.push_back(state->internal_to_uuid[slot]); });
  return ids;
}

std::optional<std::vector<float>> Collection::embedding_of(const Uuid& id) const {
  auto state = state_.read();
  const std::optional<std::uint32_t> slot = state->live_slot(id);
  if (!slot) return std::nullopt;
  std::vector<float> embedding(state->dimension);
  if (!state->keeps_vectors()) return embedding;  // a keyword-only document's embedding is empty
  if (*slot >= state->hnsw.node_count()) return std::nullopt;
  state->hnsw.copy_vector(*slot, embedding.data());
  return embedding;
}

}  // namespace karvalith
