#include "core/engine/collection.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>

#include "core/common/parallel.h"
#include "core/quantization/scalar.h"
#include "core/engine/slots.h"

namespace karvalith {

CollectionState::CollectionState(std::string name, std::uint64_t dimension, const HnswConfig& config)
    : name(std::move(name)), dimension(dimension), hnsw(config, dimension) {}

Collection::Collection(std::string name, std::uint64_t dimension, const HnswConfig& config)
    : state_(std::move(name), dimension, config) {}

Collection::Collection(CollectionState state) : state_(std::move(state)) { reindex_metadata(*state_.write()); }

namespace {

// The slot that holds `id`'s document: its uuid_to_internal entry, when the
// slot names the id back.
std::optional<std::uint32_t> own_slot(const CollectionState& state, const Uuid& id) {
  const auto slot = state.uuid_to_internal.find(id);
  if (slot == state.uuid_to_internal.end() || slot->second >= state.internal_to_uuid.size() ||
      state.internal_to_uuid[slot->second] != id) {
    return std::nullopt;
  }
  return slot->second;
}

// Gives `stored` the next slot and makes it the live document of its id,
// moving the metadata index along; returns the live document it replaced
// (null when none), for the caller to release after the lock.
Result<DocumentPtr> place_document(CollectionState& state, DocumentPtr stored, std::span<const float> embedding,
                                   QuantizedVector quantized) {
  const Uuid id = stored->id;
  const std::optional<std::uint32_t> previous = own_slot(state, id);
  Status placed = place_in_next_slot(state, id, stored->text, embedding, std::move(quantized));
  if (!placed) return std::unexpected(std::move(placed.error()));
  const auto slot = static_cast<std::uint32_t>(state.internal_to_uuid.size() - 1);

  DocumentPtr replaced;
  auto live = state.documents.find(id);
  if (live != state.documents.end()) {
    if (previous) state.metadata_index.remove(*previous, live->second->metadata);
    replaced = std::exchange(live->second, std::move(stored));
    state.metadata_index.add(slot, live->second->metadata);
  } else {
    state.metadata_index.add(slot, stored->metadata);
    state.documents.emplace(id, std::move(stored));
  }
  return replaced;
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
    if (!replacing && state->documents.contains(id)) {
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
  auto stored = std::make_shared<const Document>(std::move(document));
  const Uuid id = stored->id;

  Result<DocumentPtr> replaced;  // released after the lock
  auto state = state_.write();
  replaced = place_document(*state, std::move(stored), embedding, std::move(quantized));
  if (!replaced) return std::unexpected(std::move(replaced.error()));
  return id;
}

Status Collection::insert_batch(std::span<PendingDocument> documents, unsigned threads) {
  if (threads <= 1 || documents.size() < PARALLEL_BATCH) {
    for (PendingDocument& pending : documents) {
      auto inserted = insert_document(std::move(pending.document), std::move(pending.embedding));
      if (!inserted) return std::unexpected(std::move(inserted.error()));
    }
    return {};
  }
  std::vector<float> vectors;
  std::vector<QuantizedVector> quantized;
  for (std::size_t start = 0; start < documents.size(); start += PARALLEL_CHUNK) {
    const std::span<PendingDocument> chunk =
        documents.subspan(start, std::min(PARALLEL_CHUNK, documents.size() - start));
    // Quantized outside the lock, on every thread.
    quantized.assign(chunk.size(), QuantizedVector{});
    parallel_for(chunk.size(), threads,
                 [&](std::size_t i) { quantized[i] = QuantizedVector::quantize(chunk[i].embedding); });
    vectors.clear();
    for (const PendingDocument& pending : chunk) {
      vectors.insert(vectors.end(), pending.embedding.begin(), pending.embedding.end());
    }
    auto state = state_.write();
    const auto first = static_cast<std::uint32_t>(state->internal_to_uuid.size());
    std::vector<std::optional<std::uint32_t>> previous(chunk.size());
    for (std::size_t i = 0; i < chunk.size(); ++i) previous[i] = own_slot(*state, chunk[i].document.id);
    if (Status placed = place_in_next_slots(*state, chunk, vectors, quantized, threads); !placed) return placed;
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      auto document = std::make_shared<const Document>(std::move(chunk[i].document));
      const Uuid id = document->id;
      // The metadata index follows the documents, as in place_document.
      if (auto live = state->documents.find(id); live != state->documents.end() && previous[i]) {
        state->metadata_index.remove(*previous[i], live->second->metadata);
      }
      state->metadata_index.add(static_cast<std::uint32_t>(first + i), document->metadata);
      state->documents.insert_or_assign(id, std::move(document));
    }
  }
  return {};
}

Result<Uuid> Collection::upsert_document(Document document, std::vector<float> embedding) {
  QuantizedVector quantized = QuantizedVector::quantize(embedding);
  auto stored = std::make_shared<const Document>(std::move(document));
  const Uuid id = stored->id;

  Result<DocumentPtr> replaced;  // released after the lock
  auto state = state_.write();
  // A live id's old slot is retired by the placement; the document follows.
  replaced = place_document(*state, std::move(stored), embedding, std::move(quantized));
  if (!replaced) return std::unexpected(std::move(replaced.error()));
  return id;
}

bool Collection::update_metadata(const Uuid& id, Metadata metadata) {
  DocumentPtr replaced;  // released after the lock
  auto state = state_.write();
  auto live = state->documents.find(id);
  if (live == state->documents.end()) return false;
  auto updated = std::make_shared<const Document>(Document{id, live->second->text, std::move(metadata)});
  if (const std::optional<std::uint32_t> slot = own_slot(*state, id)) {
    state->metadata_index.remove(*slot, live->second->metadata);
    state->metadata_index.add(*slot, updated->metadata);
  }
  replaced = std::exchange(live->second, std::move(updated));
  return true;
}

bool Collection::delete_document(const Uuid& id) {
  DocumentPtr removed;  // released after the lock, outside the critical section
  auto state = state_.write();
  auto live = state->documents.find(id);
  if (live == state->documents.end()) return false;
  removed = std::move(live->second);
  state->documents.erase(live);
  if (const std::optional<std::uint32_t> slot = own_slot(*state, id)) {
    state->metadata_index.remove(*slot, removed->metadata);
  }

  // The id keeps its slot entry until a rebuild; the graph node stays as a
  // tombstone that searches pass through, the postings go at once.
  auto slot = state->uuid_to_internal.find(id);
  if (slot != state->uuid_to_internal.end()) retire_slot(*state, slot->second);
  return true;
}

void reindex_metadata(CollectionState& state) {
  // In slot order: every set then grows at its end.
  std::vector<std::pair<std::uint32_t, const Metadata*>> slots;
  slots.reserve(state.documents.size());
  for (const auto& [id, document] : state.documents) {
    if (const std::optional<std::uint32_t> slot = own_slot(state, id)) slots.emplace_back(*slot, &document->metadata);
  }
  std::sort(slots.begin(), slots.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  state.metadata_index.clear();
  for (const auto& [slot, metadata] : slots) state.metadata_index.add(slot, *metadata);
}

DocumentPtr Collection::get_document(const Uuid& id) const {
  auto state = state_.read();
  auto live = state->documents.find(id);
  if (live == state->documents.end()) return nullptr;
  return live->second;
}

std::vector<Uuid> Collection::live_ids() const {
  auto state = state_.read();
  std::vector<Uuid> ids;
  ids.reserve(state->documents.size());
  for (std::uint32_t slot = 0; slot < state->internal_to_uuid.size(); ++slot) {
    const Uuid& id = state->internal_to_uuid[slot];
    // A slot is the live one for its id only while the id maps back to it.
    auto mapped = state->uuid_to_internal.find(id);
    if (mapped == state->uuid_to_internal.end() || mapped->second != slot) continue;
    if (state->documents.contains(id)) ids.push_back(id);
  }
  return ids;
}

std::optional<std::vector<float>> Collection::embedding_of(const Uuid& id) const {
  auto state = state_.read();
  if (!state->documents.contains(id)) return std::nullopt;
  auto mapped = state->uuid_to_internal.find(id);
  if (mapped == state->uuid_to_internal.end() || mapped->second >= state->hnsw.node_count()) return std::nullopt;
  std::vector<float> embedding(state->dimension);
  state->hnsw.copy_vector(mapped->second, embedding.data());
  return embedding;
}

}  // namespace karvalith
