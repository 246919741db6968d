// Snapshot payloads: decoding and validation must reject or accept any
// bytes without a crash, and an accepted collection must search, delete and
// re-encode without reading out of range. The direct load path accepts only
// what the general one accepts, and builds the same collection. Format-2
// payloads go through the column reader, whose collections must do the same
// and read back from what they write.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/engine/collection_search.h"
#include "core/snapshot/snapshot_codec.h"
#include "core/snapshot/snapshot_columns.h"
#include "core/snapshot/snapshot_direct.h"

using namespace karvalith;

namespace {

void exercise(Collection& collection, std::uint64_t dimension, bool has_nodes) {
  SearchRequest request;
  request.k = 5;
  request.text = "alpha beta";
  if (has_nodes) {
    std::vector<float> query(dimension, 0.5f);
    if (!query.empty()) query[0] = -1.0f;
    request.embedding = std::move(query);
  }
  (void)search(collection, request);
  Uuid first{};
  {
    auto state = collection.state().read();
    if (!state->internal_to_uuid.empty()) first = state->internal_to_uuid.front();
  }
  collection.delete_document(first);
  (void)collection.estimate_memory_bytes();
}

int columns_input(std::span<const std::uint8_t> payload) {
  ColumnsProblem problem = ColumnsProblem::Other;
  auto loaded = load_collection_columns(PayloadSource::of_memory(payload), true, [] { return true; }, problem);
  if (!loaded) return 0;
  if (loaded->used > payload.size()) __builtin_trap();
  Collection& collection = *loaded->collection;
  std::uint64_t dimension = 0;
  bool has_nodes = false;
  {
    auto state = collection.state().read();
    dimension = state->dimension;
    has_nodes = state->hnsw.node_count() > 0;  // dimension is then bounded by the input
  }
  exercise(collection, dimension, has_nodes);
  const std::vector<std::uint8_t> again = encode_collection_columns(*collection.state().read());
  auto reread = load_collection_columns(PayloadSource::of_memory(again), false, [] { return true; }, problem);
  if (!reread) __builtin_trap();  // what we write must load
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> payload(data, size);
  if (is_columns_payload(payload)) return columns_input(payload);
  CollectionPtr direct = load_collection_direct(payload, nullptr);
  auto decoded = decode_collection_data(payload);
  if (!decoded) {
    if (direct) __builtin_trap();
    return 0;
  }
  if (!decoded->hnsw.config.store_raw_vectors) decoded->hnsw.raw_vectors.clear();
  if (validate(*decoded)) {
    if (direct) __builtin_trap();
    return 0;
  }

  const std::uint64_t dimension = decoded->dimension;
  const bool has_nodes = decoded->hnsw.node_count > 0;  // dimension is then bounded by the input
  CollectionPtr collection = build_collection(std::move(*decoded));
  if (direct && encode_collection(*direct->state().read()) != encode_collection(*collection->state().read())) {
    __builtin_trap();
  }

  exercise(*collection, dimension, has_nodes);
  auto again = decode_collection_data(encode_collection(*collection->state().read()));
  if (!again) __builtin_trap();  // what we write must decode
  ColumnsProblem problem = ColumnsProblem::Other;
  const std::vector<std::uint8_t> columns = encode_collection_columns(*collection->state().read());
  if (!load_collection_columns(PayloadSource::of_memory(columns), false, [] { return true; }, problem)) {
    __builtin_trap();  // and so must its column payload
  }
  return 0;
}
