#include "core/snapshot/snapshot_direct.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "core/codec/codec.h"
#include "core/codec/value_codec.h"
#include "core/snapshot/snapshot_codec.h"

namespace karvalith {

namespace {

bool product_fits(std::uint64_t a, std::uint64_t b, std::uint64_t expected) {
  std::uint64_t product = 0;
  return !__builtin_mul_overflow(a, b, &product) && product == expected;
}

// A length-prefixed list of `width`-byte numbers, as its bytes.
std::optional<std::span<const std::uint8_t>> number_list(Decoder& dec, std::size_t width) {
  auto count = dec.get_length(width);
  if (!count) return std::nullopt;
  auto bytes = dec.get_raw_view(static_cast<std::size_t>(*count) * width);
  if (!bytes) return std::nullopt;
  return *bytes;
}

std::uint32_t u32_at(std::span<const std::uint8_t> bytes, std::size_t i) {
  std::uint32_t v;
  std::memcpy(&v, bytes.data() + 4 * i, sizeof v);
  return v;
}

// The graph fields (all of validate()'s graph checks but the id maps').
// `lists` receives the spans the arrays point at.
std::optional<HnswArrays> read_graph(Decoder& dec, std::uint64_t dim,
                                     std::vector<std::span<const std::uint8_t>>& lists) {
  HnswArrays a;
  auto config = decode_hnsw_config(dec);
  if (!config) return std::nullopt;
  a.config = *config;
  auto codes = dec.get_bytes_view();
  auto mins = number_list(dec, 4);
  auto scales = codes && mins ? number_list(dec, 4) : std::nullopt;
  if (!scales || !dec.get_f32_list(a.raw_vectors)) return std::nullopt;
  a.codes = *codes;
  a.mins = *mins;
  a.scales = *scales;

  auto node_lists = dec.get_length(8);
  if (!node_lists) return std::nullopt;
  std::vector<std::uint8_t> list_counts;
  list_counts.reserve(static_cast<std::size_t>(*node_lists));
  for (std::uint64_t n = 0; n < *node_lists; ++n) {
    auto count = dec.get_length(8);
    if (!count || *count == 0 || *count > 256) return std::nullopt;
    list_counts.push_back(static_cast<std::uint8_t>(*count - 1));
    for (std::uint64_t l = 0; l < *count; ++l) {
      auto ids = number_list(dec, 4);
      if (!ids) return std::nullopt;
      lists.push_back(*ids);
    }
  }
  auto layers = dec.get_bytes_view();
  auto deleted = layers ? dec.get_bytes_view() : layers;
  if (!deleted || !skip_retired_codebook(dec)) return std::nullopt;
  a.layers = *layers;
  a.deleted = *deleted;
  auto has_entry = dec.get_optional_tag();
  if (!has_entry) return std::nullopt;
  if (*has_entry) {
    auto entry = dec.get_u32();
    if (!entry) return std::nullopt;
    a.entry_point = *entry;
  }
  auto max_level = dec.get_u64();
  auto dimension = max_level ? dec.get_u64() : max_level;
  auto node_count = dimension ? dec.get_u32() : Result<std::uint32_t>(0u);
  if (!dimension || !node_count) return std::nullopt;
  a.max_level = *max_level;
  a.dimension = *dimension;
  a.node_count = *node_count;
  if (!a.config.store_raw_vectors) a.raw_vectors = {};

  // validate()'s checks, in its order where it matters only for the message
  // (which the general path gives).
  const std::uint64_t nc = a.node_count;
  if (a.dimension != dim || !product_fits(nc, dim, a.codes.size())) return std::nullopt;
  if (a.mins.size() / 4 != nc || a.scales.size() / 4 != nc || list_counts.size() != nc || a.layers.size() != nc ||
      a.deleted.size() != nc) {
    return std::nullopt;
  }
  for (std::uint8_t flag : a.deleted) {
    if (flag > 1) return std::nullopt;
  }
  if (a.entry_point ? *a.entry_point >= nc || a.layers[*a.entry_point] != a.max_level : nc != 0) return std::nullopt;
  if (config_problem(a.config, dim)) return std::nullopt;
  if (!a.raw_vectors.empty() && !product_fits(nc, dim, a.raw_vectors.size())) return std::nullopt;
  for (std::size_t n = 0; n < nc; ++n) {
    if (a.layers[n] > a.max_level || a.layers[n] != list_counts[n]) return std::nullopt;
  }
  for (std::span<const std::uint8_t> ids : lists) {
    for (std::size_t i = 0; i < ids.size() / 4; ++i) {
      if (u32_at(ids, i) >= nc) return std::nullopt;
    }
  }
  a.lists = lists;
  return a;
}

}  // namespace

CollectionPtr load_collection_direct(std::span<const std::uint8_t> payload, std::size_t* unused) {
  // The stored numbers are little-endian; other hosts take the general path.
  if constexpr (std::endian::native != std::endian::little) return nullptr;
  Decoder dec(payload);
  auto name = dec.get_string();
  auto dimension = name ? dec.get_u64() : Result<std::uint64_t>(0u);
  auto doc_entries = dimension ? dec.get_length(MIN_UUID_BYTES + MIN_DOCUMENT_BYTES) : dimension;
  if (!doc_entries) return nullptr;
  std::vector<Document> documents;
  documents.reserve(static_cast<std::size_t>(*doc_entries));
  for (std::uint64_t i = 0; i < *doc_entries; ++i) {
    auto key = decode_uuid(dec);
    auto document = key ? decode_document(dec) : Result<Document>(Document{});
    if (!document || document->id != *key) return nullptr;
    documents.push_back(std::move(*document));
  }

  std::vector<std::span<const std::uint8_t>> lists;
  std::optional<HnswArrays> graph = read_graph(dec, *dimension, lists);
  if (!graph) return nullptr;
  auto keywords = decode_keyword_fields(dec);
  if (!keywords) return nullptr;

  const std::uint64_t nc = graph->node_count;
  auto map_entries = dec.get_length(MIN_UUID_BYTES + 4);
  if (!map_entries || *map_entries != nc) return nullptr;
  std::vector<std::pair<Uuid, std::uint32_t>> id_map;
  id_map.reserve(static_cast<std::size_t>(nc));
  for (std::uint64_t i = 0; i < nc; ++i) {
    auto id = decode_uuid(dec);
    auto slot = id ? dec.get_u32() : Result<std::uint32_t>(0u);
    if (!slot) return nullptr;
    id_map.emplace_back(*id, *slot);
  }
  auto slot_count = dec.get_length(MIN_UUID_BYTES);
  if (!slot_count || *slot_count != nc) return nullptr;
  std::vector<Uuid> internal_to_uuid;
  internal_to_uuid.reserve(static_cast<std::size_t>(nc));
  for (std::uint64_t i = 0; i < nc; ++i) {
    auto id = decode_uuid(dec);
    if (!id) return nullptr;
    internal_to_uuid.push_back(*id);
  }
  if (unused != nullptr) *unused = dec.remaining();

  // The maps must be each other's inverse: slot ids distinct, and the
  // entries naming every slot once, each under the slot's own id.
  IdTable table;
  table.assign_all(internal_to_uuid);
  if (table.size() != nc) return nullptr;
  std::vector<bool> named(static_cast<std::size_t>(nc), false);
  for (const auto& [id, slot] : id_map) {
    if (slot >= nc || named[slot] || internal_to_uuid[slot] != id) return nullptr;
    named[slot] = true;
  }
  id_map = {};
  named = {};
  // Documents: every id holds a slot, and no slot (so no key) twice.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> by_slot;  // slot, index in documents
  by_slot.reserve(documents.size());
  for (std::size_t i = 0; i < documents.size(); ++i) {
    const std::optional<std::uint32_t> slot = table.find(internal_to_uuid, documents[i].id);
    if (!slot) return nullptr;
    by_slot.emplace_back(*slot, static_cast<std::uint32_t>(i));
  }
  std::sort(by_slot.begin(), by_slot.end());
  if (std::adjacent_find(by_slot.begin(), by_slot.end(),
                         [](const auto& x, const auto& y) { return x.first == y.first; }) != by_slot.end()) {
    return nullptr;
  }

  const HnswConfig config = graph->config;
  std::optional<HnswIndex> index = HnswIndex::from_arrays(std::move(*graph));
  if (!index) return nullptr;
  CollectionState state(std::move(*name), *dimension, config);
  state.hnsw = std::move(*index);
  lists = {};
  InvertedIndexParts& k = *keywords;
  state.inverted_index =
      InvertedIndex::from_parts(std::move(k.postings), std::move(k.doc_lengths), k.doc_count, k.total_length);
  state.internal_to_uuid.assign(internal_to_uuid);
  state.uuid_to_internal = std::move(table);
  // Stored in slot order, so the arena reads in the order searches resolve.
  for (const auto& [slot, i] : by_slot) {
    state.documents.put(slot, documents[i].text, documents[i].metadata);
    documents[i] = Document{};
  }
  return std::make_shared<Collection>(std::move(state));
}

}  // namespace karvalith
