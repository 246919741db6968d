#include "core/snapshot/snapshot_codec.h"

#include "core/codec/value_codec.h"
#include "core/hnsw/graph_check.h"

#include <algorithm>
#include <array>
#include <memory>
#include <utility>

namespace karvalith {

namespace {


std::string u64s(std::uint64_t v) { return std::to_string(v); }

// ---- graph ----

// From the live index: flat arrays written as blocks, lists node by node.
template <class Sink>
void encode_hnsw_fields(BasicEncoder<Sink>& enc, const HnswIndex& index) {
  const std::uint32_t nc = index.node_count();
  const std::size_t cells = static_cast<std::size_t>(nc) * index.dimension();
  encode_hnsw_config(enc, index.config());
  // The codes, mins and scales live in per-node blocks; the file keeps them
  // as three arrays.
  enc.put_length(cells);
  for (std::uint32_t n = 0; n < nc; ++n) enc.put_raw({index.codes_of(n), static_cast<std::size_t>(index.dimension())});
  enc.put_length(nc);
  for (std::uint32_t n = 0; n < nc; ++n) enc.put_f32(index.quantized_view(n).min);
  enc.put_length(nc);
  for (std::uint32_t n = 0; n < nc; ++n) enc.put_f32(index.quantized_view(n).scale);
  if (index.has_raw_vectors()) {
    enc.put_f32_list({index.raw_vector(0).data(), cells});
  } else {
    enc.put_length(0);
  }
  enc.put_length(nc);
  for (std::uint32_t n = 0; n < nc; ++n) {
    const std::size_t lists = index.list_count(n);
    enc.put_length(lists);
    for (std::size_t layer = 0; layer < lists; ++layer) enc.put_u32_list(index.neighbors(n, layer).to_vector());
  }
  enc.put_length(nc);
  for (std::uint32_t n = 0; n < nc; ++n) enc.put_u8(index.level(n));
  enc.put_length(nc);
  for (std::uint32_t n = 0; n < nc; ++n) enc.put_bool(index.is_deleted(n));
  encode_retired_codebook(enc);
  enc.put_optional_tag(index.entry_point().has_value());
  if (auto ep = index.entry_point()) enc.put_u32(*ep);
  enc.put_u64(index.max_level());
  enc.put_u64(index.dimension());
  enc.put_u32(nc);
}

template <class Sink>
void encode_hnsw_fields(BasicEncoder<Sink>& enc, const HnswParts& parts) {
  encode_hnsw_config(enc, parts.config);
  enc.put_bytes(parts.vector_data);
  enc.put_f32_list(parts.vector_min);
  enc.put_f32_list(parts.vector_scale);
  enc.put_f32_list(parts.raw_vectors);
  enc.put_length(parts.neighbors.size());
  for (const auto& lists : parts.neighbors) {
    enc.put_length(lists.size());
    for (const auto& list : lists) enc.put_u32_list(list);
  }
  enc.put_bytes(parts.layers);
  enc.put_length(parts.deleted.size());
  for (std::uint8_t flag : parts.deleted) enc.put_bool(flag != 0);
  encode_retired_codebook(enc);
  enc.put_optional_tag(parts.entry_point.has_value());
  if (parts.entry_point) enc.put_u32(*parts.entry_point);
  enc.put_u64(parts.max_level);
  enc.put_u64(parts.dimension);
  enc.put_u32(parts.node_count);
}

Result<HnswParts> decode_hnsw_fields(Decoder& dec) {
  HnswParts parts;
  KV_TRY(config, decode_hnsw_config(dec));
  parts.config = *config;
  KV_TRY(vector_data, dec.get_bytes());
  parts.vector_data = std::move(*vector_data);
  KV_TRY(mins, dec.get_f32_list(parts.vector_min));
  KV_TRY(scales, dec.get_f32_list(parts.vector_scale));
  KV_TRY(raw, dec.get_f32_list(parts.raw_vectors));

  KV_TRY(node_lists, dec.get_length(8));
  parts.neighbors.resize(static_cast<std::size_t>(*node_lists));
  for (auto& lists : parts.neighbors) {
    KV_TRY(layer_count, dec.get_length(8));
    lists.resize(static_cast<std::size_t>(*layer_count));
    for (auto& list : lists) {
      KV_TRY(ids, dec.get_u32_list(list));
    }
  }
  KV_TRY(layers, dec.get_bytes());
  parts.layers = std::move(*layers);

  KV_TRY(deleted, dec.get_bytes_view());
  parts.deleted.reserve(deleted->size());
  for (std::uint8_t byte : *deleted) {
    if (byte > 1) {
      return decode_error("invalid u8 while decoding bool, expected 0 or 1, found " + std::to_string(byte));
    }
    parts.deleted.push_back(byte);
  }

  if (Status skipped = skip_retired_codebook(dec); !skipped) return std::unexpected(std::move(skipped.error()));

  KV_TRY(has_entry, dec.get_optional_tag());
  if (*has_entry) {
    KV_TRY(entry, dec.get_u32());
    parts.entry_point = *entry;
  }
  KV_TRY(max_level, dec.get_u64());
  KV_TRY(dimension, dec.get_u64());
  KV_TRY(node_count, dec.get_u32());
  parts.max_level = *max_level;
  parts.dimension = *dimension;
  parts.node_count = *node_count;
  return parts;
}

// ---- keyword index ----

template <class Sink>
void put_doc_lengths(BasicEncoder<Sink>& enc, std::span<const std::uint32_t> doc_lengths) {
  enc.put_u32_list(doc_lengths);
}

// A live index's packed lengths, as the same u32 list, expanded a block at a
// time rather than into a full u32 copy.
template <class Sink>
void put_doc_lengths(BasicEncoder<Sink>& enc, const DocLengths& doc_lengths) {
  enc.put_length(doc_lengths.size());
  std::array<std::uint32_t, 4096> block;
  for (std::size_t first = 0; first < doc_lengths.size(); first += block.size()) {
    const std::span<std::uint32_t> part(block.data(), std::min(block.size(), doc_lengths.size() - first));
    doc_lengths.copy_to(first, part);
    enc.put_u32_values(part);
  }
}

template <class Sink, class DocLengthList>
void encode_inverted_fields(BasicEncoder<Sink>& enc, const PostingsMap& postings, const DocLengthList& doc_lengths,
                            std::uint32_t doc_count, std::uint64_t total_length) {
  enc.put_length(postings.size());
  for (const auto& [term, list] : postings) {
    enc.put_string(term);
    enc.put_length(list.size());
    for (const Posting& posting : list) {
      enc.put_u32(posting.doc_id);
      enc.put_u32(posting.term_frequency);
    }
  }
  put_doc_lengths(enc, doc_lengths);
  enc.put_u32(doc_count);
  enc.put_u64(total_length);
}

Result<InvertedIndexParts> decode_inverted_fields(Decoder& dec) {
  InvertedIndexParts parts;
  KV_TRY(terms, dec.get_length(16));  // term length + list length
  parts.postings.reserve(static_cast<std::size_t>(*terms));
  for (std::uint64_t t = 0; t < *terms; ++t) {
    KV_TRY(term, dec.get_string());
    KV_TRY(count, dec.get_length(8));
    PostingList list;
    list.reserve(static_cast<std::size_t>(*count));
    for (std::uint64_t i = 0; i < *count; ++i) {
      KV_TRY(doc_id, dec.get_u32());
      KV_TRY(tf, dec.get_u32());
      list.push_back(Posting{*doc_id, *tf});
    }
    parts.postings[*term] = std::move(list);
  }
  KV_TRY(lengths, dec.get_u32_list(parts.doc_lengths));
  KV_TRY(doc_count, dec.get_u32());
  KV_TRY(total, dec.get_u64());
  parts.doc_count = *doc_count;
  parts.total_length = *total;
  return parts;
}

// ---- collection ----

template <class Sink, class Documents>
void encode_documents(BasicEncoder<Sink>& enc, const Documents& documents) {
  enc.put_length(documents.size());
  for (const auto& [id, document] : documents) {
    encode_uuid(enc, id);
    encode_document(enc, *document);
  }
}

// A live collection's documents in slot order, each decoded from its record.
template <class Sink>
void encode_documents(BasicEncoder<Sink>& enc, const CollectionState& state) {
  enc.put_length(state.documents.size());
  state.documents.for_each_slot([&](std::uint32_t slot) {
    const Uuid& id = state.internal_to_uuid[slot];
    encode_uuid(enc, id);
    encode_document(enc, state.documents.document(slot, id));
  });
}

template <class Sink, class IdMap>
void encode_id_maps(BasicEncoder<Sink>& enc, const IdMap& uuid_to_internal, std::span<const Uuid> internal_to_uuid) {
  enc.put_length(uuid_to_internal.size());
  for (const auto& [id, slot] : uuid_to_internal) {
    encode_uuid(enc, id);
    enc.put_u32(slot);
  }
  enc.put_length(internal_to_uuid.size());
  for (const Uuid& id : internal_to_uuid) encode_uuid(enc, id);
}

// A live collection's id map is the inverse of its slot list: every slot
// under its own id, in slot order.
template <class Sink>
void encode_id_maps(BasicEncoder<Sink>& enc, std::span<const Uuid> internal_to_uuid) {
  enc.put_length(internal_to_uuid.size());
  for (std::size_t slot = 0; slot < internal_to_uuid.size(); ++slot) {
    encode_uuid(enc, internal_to_uuid[slot]);
    enc.put_u32(static_cast<std::uint32_t>(slot));
  }
  enc.put_length(internal_to_uuid.size());
  for (const Uuid& id : internal_to_uuid) encode_uuid(enc, id);
}

}  // namespace

Status skip_retired_codebook(Decoder& dec) {
  KV_TRY(present, dec.get_optional_tag());
  if (*present) {
    KV_TRY(subspaces, dec.get_u64());
    KV_TRY(centroids, dec.get_u64());
    KV_TRY(subspace_dim, dec.get_u64());
    std::vector<float> dropped;
    KV_TRY(list, dec.get_f32_list(dropped));
  }
  KV_TRY(codes, dec.get_bytes_view());
  return {};
}

// ---- whole collections ----

std::vector<std::uint8_t> encode_collection(const CollectionState& state) {
  const HnswIndex& index = state.hnsw;
  const InvertedIndex& keywords = state.inverted_index;
  return encode_exact([&](auto& enc) {
    enc.put_string(state.name);
    enc.put_u64(state.dimension);
    encode_documents(enc, state);
    encode_hnsw_fields(enc, index);
    encode_inverted_fields(enc, keywords.postings(), keywords.doc_lengths(), keywords.doc_count(),
                           keywords.total_length());
    encode_id_maps(enc, state.internal_to_uuid);
  });
}

std::vector<std::uint8_t> encode_collection_data(const CollectionData& data) {
  return encode_exact([&](auto& enc) {
    enc.put_string(data.name);
    enc.put_u64(data.dimension);
    encode_documents(enc, data.documents);
    encode_hnsw_fields(enc, data.hnsw);
    const InvertedIndexParts& keywords = data.inverted_index;
    encode_inverted_fields(enc, keywords.postings, keywords.doc_lengths, keywords.doc_count,
                           keywords.total_length);
    encode_id_maps(enc, data.uuid_to_internal, data.internal_to_uuid);
  });
}

std::vector<std::uint8_t> encode_hnsw_index(const HnswIndex& index) {
  return encode_exact([&](auto& enc) { encode_hnsw_fields(enc, index); });
}

std::vector<std::uint8_t> encode_hnsw_parts(const HnswParts& parts) {
  return encode_exact([&](auto& enc) { encode_hnsw_fields(enc, parts); });
}

Result<CollectionData> decode_collection_data(std::span<const std::uint8_t> payload, std::size_t* unused) {
  Decoder dec(payload);
  CollectionData data;
  KV_TRY(name, dec.get_string());
  data.name = std::move(*name);
  KV_TRY(dimension, dec.get_u64());
  data.dimension = *dimension;

  KV_TRY(doc_entries, dec.get_length(MIN_UUID_BYTES + MIN_DOCUMENT_BYTES));
  data.documents.reserve(static_cast<std::size_t>(*doc_entries));
  for (std::uint64_t i = 0; i < *doc_entries; ++i) {
    KV_TRY(key, decode_uuid(dec));
    KV_TRY(document, decode_document(dec));
    data.documents.insert_or_assign(*key, std::make_shared<const Document>(std::move(*document)));
  }

  KV_TRY(hnsw, decode_hnsw_fields(dec));
  data.hnsw = std::move(*hnsw);
  KV_TRY(keywords, decode_inverted_fields(dec));
  data.inverted_index = std::move(*keywords);

  KV_TRY(map_entries, dec.get_length(MIN_UUID_BYTES + 4));
  data.uuid_to_internal.reserve(static_cast<std::size_t>(*map_entries));
  for (std::uint64_t i = 0; i < *map_entries; ++i) {
    KV_TRY(key, decode_uuid(dec));
    KV_TRY(slot, dec.get_u32());
    data.uuid_to_internal.insert_or_assign(*key, *slot);
  }
  KV_TRY(slots, dec.get_length(MIN_UUID_BYTES));
  data.internal_to_uuid.reserve(static_cast<std::size_t>(*slots));
  for (std::uint64_t i = 0; i < *slots; ++i) {
    KV_TRY(id, decode_uuid(dec));
    data.internal_to_uuid.push_back(*id);
  }
  if (unused != nullptr) *unused = dec.remaining();
  return data;
}

Result<InvertedIndexParts> decode_keyword_fields(Decoder& dec) { return decode_inverted_fields(dec); }

std::vector<std::uint8_t> encode_keyword_index(const InvertedIndex& index) {
  return encode_exact([&](auto& enc) {
    encode_inverted_fields(enc, index.postings(), index.doc_lengths(), index.doc_count(), index.total_length());
  });
}

// ---- validation ----

std::optional<std::string> validate(const CollectionData& data) {
  if (auto problem = graph_problem(data.hnsw, data.dimension)) return problem;
  // A keyword-only collection (dimension 0) has slots but no graph nodes:
  // internal_to_uuid alone counts its slots.
  const bool keyword_only = data.dimension == 0 && data.hnsw.node_count == 0;
  const std::uint64_t nc = keyword_only ? data.internal_to_uuid.size() : data.hnsw.node_count;
  const std::string ncs = u64s(nc);
  if (data.uuid_to_internal.size() != data.internal_to_uuid.size()) {
    return "uuid_to_internal(" + u64s(data.uuid_to_internal.size()) + ") != internal_to_uuid(" +
           u64s(data.internal_to_uuid.size()) + ")";
  }
  if (data.internal_to_uuid.size() != nc) {
    return "internal_to_uuid length " + u64s(data.internal_to_uuid.size()) + " != node_count " + ncs;
  }
  if (data.documents.size() > nc) {
    return "documents(" + u64s(data.documents.size()) + ") > node_count(" + ncs + ")";
  }
  for (const auto& [id, slot] : data.uuid_to_internal) {
    if (slot >= nc) {
      return "uuid_to_internal " + id.to_string() + " -> " + u64s(slot) + " >= node_count " + ncs;
    }
    // With the sizes equal, this makes the two maps each other's inverse:
    // every slot has one id and every id one slot.
    if (data.internal_to_uuid[slot] != id) {
      return "uuid_to_internal " + id.to_string() + " -> " + u64s(slot) + " but internal_to_uuid[" + u64s(slot) +
             "] is " + data.internal_to_uuid[slot].to_string();
    }
  }
  for (const auto& [key, document] : data.documents) {
    if (document->id != key) {
      return "documents key " + key.to_string() + " != document id " + document->id.to_string();
    }
    if (!data.uuid_to_internal.contains(key)) {
      return "document " + key.to_string() + " missing from uuid_to_internal";
    }
  }
  return std::nullopt;
}

CollectionPtr build_collection(CollectionData data) {
  CollectionState state(std::move(data.name), data.dimension, data.hnsw.config);
  state.hnsw = HnswIndex::from_parts(std::move(data.hnsw));
  InvertedIndexParts& keywords = data.inverted_index;
  state.inverted_index = InvertedIndex::from_parts(std::move(keywords.postings), std::move(keywords.doc_lengths),
                                                   keywords.doc_count, keywords.total_length);
  state.internal_to_uuid.assign(data.internal_to_uuid);
  state.uuid_to_internal.assign_all(state.internal_to_uuid);
  // Stored in slot order, so the arena reads in the order searches resolve.
  std::vector<std::pair<std::uint32_t, const Document*>> by_slot;
  by_slot.reserve(data.documents.size());
  for (const auto& [id, document] : data.documents) by_slot.emplace_back(data.uuid_to_internal.at(id), document.get());
  std::sort(by_slot.begin(), by_slot.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [slot, document] : by_slot) state.documents.put(slot, document->text, document->metadata);
  return std::make_shared<Collection>(std::move(state));
}

#undef KV_TRY

}  // namespace karvalith
