// Rebuilding a collection's indexes from its live documents. The expensive
// part (graph construction, product-quantization training) runs with no lock
// held, so readers keep searching the old indexes until the final swap.
#include <string>
#include <utility>

#include "core/common/parallel.h"
#include "core/quantization/pq.h"
#include "core/quantization/scalar.h"
#include "core/engine/collection.h"
#include "core/engine/slots.h"

namespace karvalith {

namespace {

// Live documents with their vectors, in gathering order; vectors are
// `dimension` floats each, back to back.
struct GatheredDocuments {
  std::vector<DocumentPtr> documents;
  std::vector<float> vectors;
};

// The indexes and maps that replace the collection's on the swap.
struct FreshIndexes {
  HnswIndex hnsw;
  InvertedIndex inverted_index;
  std::vector<Uuid> internal_to_uuid;
  std::unordered_map<Uuid, std::uint32_t, UuidHash> uuid_to_internal;
  MetadataIndex metadata_index;
};

// The vector of `id`'s slot in the state's graph, appended to `out`; false
// when the id has no slot that is a graph node.
bool append_slot_vector(const CollectionState& state, const Uuid& id, std::vector<float>& out) {
  const auto slot = state.uuid_to_internal.find(id);
  if (slot == state.uuid_to_internal.end() || slot->second >= state.hnsw.node_count()) return false;
  const std::size_t offset = out.size();
  out.resize(offset + state.dimension);
  state.hnsw.copy_vector(slot->second, out.data() + offset);
  return true;
}

Result<FreshIndexes> build_indexes(const GatheredDocuments& gathered, const HnswConfig& config,
                                   std::uint64_t dimension, unsigned threads) {
  FreshIndexes fresh{HnswIndex(config, dimension), InvertedIndex(), {}, {}, {}};
  const std::size_t count = gathered.documents.size();
  fresh.internal_to_uuid.reserve(count);
  fresh.uuid_to_internal.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const Document& document = *gathered.documents[i];
    const auto slot = static_cast<std::uint32_t>(i);
    fresh.uuid_to_internal.insert_or_assign(document.id, slot);
    fresh.internal_to_uuid.push_back(document.id);
    fresh.inverted_index.add_document(slot, document.text);
    fresh.metadata_index.add(slot, document.metadata);
  }
  // Nobody else sees the new graph yet: every thread links into it at once.
  std::vector<QuantizedVector> quantized(count);
  parallel_for(count, threads, [&](std::size_t i) {
    quantized[i] = QuantizedVector::quantize({gathered.vectors.data() + i * dimension, dimension});
  });
  Status inserted = fresh.hnsw.insert_batch(gathered.vectors, quantized, threads);
  if (!inserted) return std::unexpected(std::move(inserted.error()));
  return fresh;
}

// Trains a codebook on every node's stored vector (raw, or dequantized codes)
// and installs it with the codes of all nodes.
Status train_product_quantization(HnswIndex& hnsw, std::uint64_t dimension, std::uint64_t subspaces) {
  const std::uint32_t nodes = hnsw.node_count();
  std::vector<float> data(static_cast<std::size_t>(nodes) * dimension);
  for (std::uint32_t n = 0; n < nodes; ++n) hnsw.copy_vector(n, data.data() + n * dimension);

  Result<PqCodebook> codebook = PqCodebook::train(data, dimension, subspaces);
  if (!codebook) return make_error(ErrorKind::Internal, std::move(codebook.error().message));
  Result<std::vector<std::uint8_t>> codes = codebook->encode_batch(data, dimension);
  if (!codes) return make_error(ErrorKind::Internal, std::move(codes.error().message));
  hnsw.set_product_quantization(std::move(*codebook), std::move(*codes));
  return {};
}

}  // namespace

Result<std::uint64_t> Collection::rebuild(unsigned threads) {
  GatheredDocuments gathered;
  HnswConfig config;
  std::uint64_t dimension = 0;
  {
    auto state = state_.read();
    config = state->hnsw.config();
    dimension = state->dimension;
    gathered.documents.reserve(state->documents.size());
    gathered.vectors.reserve(state->documents.size() * dimension);
    for (const auto& [id, document] : state->documents) {
      if (append_slot_vector(*state, id, gathered.vectors)) gathered.documents.push_back(document);
    }
  }

  Result<FreshIndexes> built = build_indexes(gathered, config, dimension, threads);
  if (!built) return make_error(ErrorKind::Internal, std::move(built.error().message));
  FreshIndexes& fresh = *built;
  if (config.pq_subspaces != 0 && fresh.hnsw.node_count() >= 1) {
    Status trained = train_product_quantization(fresh.hnsw, dimension, config.pq_subspaces);
    if (!trained) return std::unexpected(std::move(trained.error()));
  }

  auto state = state_.write();
  if (state->dimension != dimension) {  // the whole state was replaced meanwhile
    return make_error(ErrorKind::Internal,
                      "collection '" + state->name + "' changed its dimension during the rebuild");
  }

  // Documents that changed while the lock was free: inserted since the
  // gathering (late), or gathered but deleted since (gone). Late vectors come
  // from the old graph, so they are read before the swap.
  std::vector<DocumentPtr> late;
  std::vector<float> late_vectors;
  for (const auto& [id, document] : state->documents) {
    const auto slot = fresh.uuid_to_internal.find(id);
    if (slot != fresh.uuid_to_internal.end() && gathered.documents[slot->second] == document) continue;
    if (append_slot_vector(*state, id, late_vectors)) late.push_back(document);
  }
  std::vector<std::uint32_t> gone;
  for (std::size_t i = 0; i < gathered.documents.size(); ++i) {
    const auto live = state->documents.find(gathered.documents[i]->id);
    if (live == state->documents.end() || live->second != gathered.documents[i]) {
      gone.push_back(static_cast<std::uint32_t>(i));
    }
  }

  // Swapped rather than assigned: `fresh` outlives the guard, so the old
  // indexes are freed after the lock is released.
  std::swap(state->hnsw, fresh.hnsw);
  std::swap(state->inverted_index, fresh.inverted_index);
  std::swap(state->internal_to_uuid, fresh.internal_to_uuid);
  std::swap(state->uuid_to_internal, fresh.uuid_to_internal);
  std::swap(state->metadata_index, fresh.metadata_index);

  for (const std::uint32_t slot : gone) {
    retire_slot(*state, slot);
    state->metadata_index.remove(slot, gathered.documents[slot]->metadata);
  }
  Status caught_up;
  for (std::size_t i = 0; i < late.size(); ++i) {
    const std::span<const float> vector(late_vectors.data() + i * dimension, dimension);
    Status placed =
        place_in_next_slot(*state, late[i]->id, late[i]->text, vector, QuantizedVector::quantize(vector));
    if (placed) {
      state->metadata_index.add(static_cast<std::uint32_t>(state->internal_to_uuid.size() - 1), late[i]->metadata);
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
  return gathered.documents.size();
}

}  // namespace karvalith
