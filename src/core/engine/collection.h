// A named collection: documents, the HNSW graph over their embeddings, the
// BM25 index over their texts, and the id <-> slot maps, all behind one
// readers-writer lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/bm25/inverted_index.h"
#include "core/common/guarded.h"
#include "core/common/page_array.h"
#include "core/common/progress.h"
#include "core/common/result.h"
#include "core/document/document.h"
#include "core/document/document_store.h"
#include "core/document/id_table.h"
#include "core/document/uuid.h"
#include "core/engine/metadata_index.h"
#include "core/hnsw/config.h"
#include "core/hnsw/graph.h"

namespace karvalith {

// Everything a collection holds. Reachable only through Collection's guard.
struct CollectionState {
  std::string name;
  std::uint64_t dimension = 0;
  HnswIndex hnsw;
  InvertedIndex inverted_index;
  PageArray<Uuid> internal_to_uuid;    // slot -> id, every slot ever assigned; no id twice
  IdTable uuid_to_internal;            // id -> its slot (deleted ones kept), through internal_to_uuid
  DocumentStore documents;             // live documents by slot
  MetadataIndex metadata_index;  // metadata of the live documents by value, derived from the above

  CollectionState(std::string name, std::uint64_t dimension, const HnswConfig& config);

  // A collection of dimension 0 holds texts only: its graph stays empty,
  // with no node, link or code for any slot.
  bool keeps_vectors() const { return dimension != 0; }

  // The slot `id` holds (a deleted document's included), if any.
  std::optional<std::uint32_t> slot_of(const Uuid& id) const { return uuid_to_internal.find(internal_to_uuid, id); }
  // The slot of `id`'s live document, if it has one.
  std::optional<std::uint32_t> live_slot(const Uuid& id) const {
    const std::optional<std::uint32_t> slot = slot_of(id);
    return slot && documents.contains(*slot) ? slot : std::nullopt;
  }
};

class Collection {
 public:
  Collection(std::string name, std::uint64_t dimension, const HnswConfig& config);
  // Takes over a restored state; its metadata index is rebuilt from the
  // documents (reindex_metadata).
  explicit Collection(CollectionState state);

  // Checks, under the shared lock, that every pending document can be inserted:
  // the embedding has `dimension` finite components, the id is not live (a
  // deleted id may come back), no id repeats in the batch, and the slots
  // suffice. ErrorKind::InvalidInput with a message naming the problem.
  Status validate_insert(std::span<const PendingDocument> pending) const;
  // The same checks for replacing documents: ids may be live.
  Status validate_upsert(std::span<const PendingDocument> pending) const;

  // Quantizes outside the lock, then inserts under the exclusive lock: next
  // slot, id maps, keyword index, graph, document. The caller has validated
  // the document (validate_insert); still refused (ErrorKind::InvalidInput),
  // with nothing changed, are an embedding of the wrong length and a
  // collection whose 2^32 slots are used up. An id that already holds a slot
  // gives it up (place_in_next_slot).
  Result<Uuid> insert_document(Document document, std::vector<float> embedding);
  // insert_document for each of `documents` (consumed), whose ids must be
  // neither live nor repeated (validate_insert). Batches of at least
  // PARALLEL_BATCH documents are linked into the graph from `threads` threads,
  // in chunks that each hold the exclusive lock and take about
  // ChunkPacer::TARGET (searches wait at most one chunk; at most
  // PARALLEL_CHUNK documents); smaller ones, or one thread, take the lock per
  // document. `progress` hears the documents placed of the batch between
  // chunks (or documents); when it asks to stop, the call ends there with
  // ErrorKind::Cancelled: the documents placed so far stay, the others are
  // left untouched in `documents`.
  Status insert_batch(std::span<PendingDocument> documents, unsigned threads, Progress* progress = nullptr);
  static constexpr std::size_t PARALLEL_BATCH = 64;
  static constexpr std::size_t PARALLEL_CHUNK = 1024;

  // Replaces the live document with the same id, or inserts it when there
  // is none, under one exclusive lock (readers see the old or the new
  // document, never neither): the old slot is retired and gives up its id,
  // the document takes a new slot. Refusals as for insert_document.
  Result<Uuid> upsert_document(Document document, std::vector<float> embedding);
  // Replaces a live document's metadata (text, vector and slot unchanged).
  // False, with nothing changed, when the id is not live.
  bool update_metadata(const Uuid& id, Metadata metadata);
  // Removes a live document: it leaves `documents`, its graph node becomes a
  // tombstone (links kept), its postings go; its uuid_to_internal entry stays
  // until a rebuild. False, with nothing changed, when the id is not live.
  bool delete_document(const Uuid& id);
  // delete_document for each id under one exclusive lock, so readers see
  // all of them gone or none. Returns how many were live (a repeated id
  // counts once).
  std::uint64_t delete_documents(std::span<const Uuid> ids);
  // From this many ids on, delete_documents removes the postings in one pass.
  static constexpr std::size_t BULK_DELETE = 16;
  DocumentPtr get_document(const Uuid& id) const;  // null when not live
  // The ids of the live documents in slot order (the order they were placed).
  std::vector<Uuid> live_ids() const;
  // A live document's embedding: the full-precision copy when the collection
  // keeps raw vectors, else its 8-bit codes decoded (each component within
  // half a quantization step of the inserted value). Empty when not live.
  std::optional<std::vector<float>> embedding_of(const Uuid& id) const;
  std::uint64_t estimate_memory_bytes() const;     // under the shared lock
  std::uint64_t dimension() const;                 // 0: keyword-only, no embeddings
  bool contains(const Uuid& id) const;             // whether `id` is live

  // Rebuilds both indexes from the live documents (gather under the shared
  // lock, build without the lock, catch up and swap under the exclusive lock).
  // Slots become dense in slot order of the live documents; deleted slots
  // and their id-map entries disappear. Returns the number of documents
  // gathered. The new graph is built from `threads` threads. `progress` hears the documents
  // linked into the new graph; when it asks to stop, the rebuild ends with
  // ErrorKind::Cancelled and the collection keeps its old indexes.
  Result<std::uint64_t> rebuild(unsigned threads = 1, Progress* progress = nullptr);

  // Read access for the engine's searches, the snapshot writer and the
  // store's checks; every change goes through the methods above.
  const Guarded<CollectionState>& state() const { return state_; }
  // Gives a collection read from a file the name it is registered under.
  void rename(std::string name);

  // Every change to this collection holds this mutex from its validation to
  // the end of its apply, so changes reach the log in the order in which
  // they are applied. Taken before the checkpoint gate and the state lock;
  // the log append happens under it but outside the state lock.
  std::mutex& write_order() const { return write_order_; }
  // Set, under write_order, when the collection leaves the registry (deleted
  // or replaced by a load): a writer that waited for write_order then finds
  // the collection gone instead of changing a detached object.
  bool detached() const { return detached_; }
  void mark_detached() { detached_ = true; }

  // Serialises rebuilds of this collection (a second one waits for the first).
  std::mutex& rebuild_order() { return rebuild_order_; }

 private:
  Status validate(std::span<const PendingDocument> pending, bool replacing) const;
  // rebuild without handing the old indexes' memory back.
  Result<std::uint64_t> rebuild_indexes(unsigned threads, Progress* progress);

  Guarded<CollectionState> state_;
  mutable std::mutex write_order_;
  bool detached_ = false;  // guarded by write_order_
  std::mutex rebuild_order_;
};

using CollectionPtr = std::shared_ptr<Collection>;

// An independent summary of one collection.
struct CollectionSummary {
  std::string name;
  std::uint64_t dimension = 0;
  std::uint64_t document_count = 0;  // live documents
  std::uint64_t estimated_memory_bytes = 0;
  DistanceMetric distance_metric = DistanceMetric::Cosine;
  // Graph slots held by deleted or replaced documents (a rebuild frees them).
  std::uint64_t deleted_slots = 0;
  std::uint8_t walk_bits = 8;  // bits per component of the codes searches walk on
};

// Rebuilds the state's metadata index from its live documents, each under
// its slot. The caller holds the exclusive lock or owns the state.
void reindex_metadata(CollectionState& state);

// Read under one shared lock.
CollectionSummary summarize(const Collection& collection);

// The memory estimate of a state whose lock (shared or exclusive) the caller
// holds, as laid out: graph, keyword terms and metadata index from the
// indexes, the document records and their offsets, the id table and 16 bytes
// per internal_to_uuid slot. An empty collection estimates 0.
std::uint64_t estimate_memory_bytes(const CollectionState& state);

}  // namespace karvalith
