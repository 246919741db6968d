#include "core/wal/wal_entry.h"

#include <algorithm>

// GCC 12 misreads the first append into a freshly reserved vector, once
// encode_exact is inlined, as a write into a zero-sized region.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif

#include <utility>

#include "core/codec/codec.h"
#include "core/codec/value_codec.h"

namespace karvalith {

namespace {

enum Variant : std::uint32_t {
  CREATE_COLLECTION = 0,
  DELETE_COLLECTION = 1,
  INSERT_DOCUMENT = 2,
  DELETE_DOCUMENT = 3,
  BATCH_INSERT = 4,
  UPDATE_DOCUMENT = 5,
  LOAD_COLLECTION = 6,
  UPDATE_METADATA = 7,
  DELETE_DOCUMENTS = 8,
  // CreateCollection of a configuration with walk codes: variant 0's fields,
  // then walk_bits (u8). Variant 0 stays what every other creation writes.
  CREATE_WALKED_COLLECTION = 9,
  VARIANT_COUNT = 10,
};


template <class Sink>
void put_document_with_embedding(BasicEncoder<Sink>& enc, const Document& document,
                                 std::span<const float> embedding) {
  encode_document(enc, document);
  enc.put_f32_list(embedding);
}

Result<WalEntry::InsertDocument> decode_insert(Decoder& dec) {
  WalEntry::InsertDocument entry;
  KV_TRY(collection, dec.get_string());
  entry.collection = std::move(*collection);
  KV_TRY(document, decode_document(dec));
  entry.document = std::move(*document);
  KV_TRY(embedding, dec.get_f32_list(entry.embedding));
  return entry;
}

Result<WalEntry::BatchInsert> decode_batch(Decoder& dec) {
  WalEntry::BatchInsert entry;
  KV_TRY(collection, dec.get_string());
  entry.collection = std::move(*collection);
  KV_TRY(count, dec.get_length(MIN_DOCUMENT_BYTES + 8));
  entry.documents.reserve(static_cast<std::size_t>(*count));
  for (std::uint64_t i = 0; i < *count; ++i) {
    PendingDocument pending;
    KV_TRY(document, decode_document(dec));
    pending.document = std::move(*document);
    KV_TRY(embedding, dec.get_f32_list(pending.embedding));
    entry.documents.push_back(std::move(pending));
  }
  return entry;
}

Result<WalEntry::UpdateDocument> decode_update(Decoder& dec) {
  WalEntry::UpdateDocument entry;
  KV_TRY(collection, dec.get_string());
  entry.collection = std::move(*collection);
  KV_TRY(id, decode_uuid(dec));
  entry.id = *id;
  KV_TRY(document, decode_document(dec));
  entry.document = std::move(*document);
  KV_TRY(embedding, dec.get_f32_list(entry.embedding));
  return entry;
}

Result<WalEntry::DeleteDocuments> decode_delete_documents(Decoder& dec) {
  WalEntry::DeleteDocuments entry;
  KV_TRY(collection, dec.get_string());
  entry.collection = std::move(*collection);
  KV_TRY(count, dec.get_length(MIN_UUID_BYTES));
  entry.ids.reserve(static_cast<std::size_t>(*count));
  for (std::uint64_t i = 0; i < *count; ++i) {
    KV_TRY(id, decode_uuid(dec));
    entry.ids.push_back(*id);
  }
  return entry;
}

}  // namespace

std::vector<std::uint8_t> encode_create_collection(std::string_view name, std::uint64_t dimension,
                                                   const HnswConfig& config) {
  return encode_exact([&](auto& enc) {
    enc.put_variant(config.walk_bits == 0 ? CREATE_COLLECTION : CREATE_WALKED_COLLECTION);
    enc.put_string(name);
    enc.put_u64(dimension);
    encode_hnsw_config(enc, config);
    if (config.walk_bits != 0) enc.put_u8(config.walk_bits);
  });
}

std::vector<std::uint8_t> encode_delete_collection(std::string_view name) {
  return encode_exact([&](auto& enc) {
    enc.put_variant(DELETE_COLLECTION);
    enc.put_string(name);
  });
}

std::vector<std::uint8_t> encode_insert_document(std::string_view collection, const Document& document,
                                                 std::span<const float> embedding) {
  return encode_exact([&](auto& enc) {
    enc.put_variant(INSERT_DOCUMENT);
    enc.put_string(collection);
    put_document_with_embedding(enc, document, embedding);
  });
}

std::vector<std::uint8_t> encode_delete_document(std::string_view collection, const Uuid& id) {
  return encode_exact([&](auto& enc) {
    enc.put_variant(DELETE_DOCUMENT);
    enc.put_string(collection);
    encode_uuid(enc, id);
  });
}

std::vector<std::uint8_t> encode_batch_insert(std::string_view collection,
                                              std::span<const PendingDocument> documents) {
  return encode_exact([&](auto& enc) {
    enc.put_variant(BATCH_INSERT);
    enc.put_string(collection);
    enc.put_length(documents.size());
    for (const PendingDocument& pending : documents) {
      put_document_with_embedding(enc, pending.document, pending.embedding);
    }
  });
}

std::vector<std::uint8_t> encode_update_document(std::string_view collection, const Uuid& id,
                                                 const Document& document, std::span<const float> embedding) {
  return encode_exact([&](auto& enc) {
    enc.put_variant(UPDATE_DOCUMENT);
    enc.put_string(collection);
    encode_uuid(enc, id);
    put_document_with_embedding(enc, document, embedding);
  });
}

std::vector<std::uint8_t> encode_load_collection(std::string_view collection, std::uint64_t token) {
  return encode_exact([&](auto& enc) {
    enc.put_variant(LOAD_COLLECTION);
    enc.put_string(collection);
    enc.put_u64(token);
  });
}

std::vector<std::uint8_t> encode_update_metadata(std::string_view collection, const Uuid& id,
                                                 const Metadata& metadata) {
  return encode_exact([&](auto& enc) {
    enc.put_variant(UPDATE_METADATA);
    enc.put_string(collection);
    encode_uuid(enc, id);
    encode_metadata(enc, metadata);
  });
}

std::vector<std::uint8_t> encode_delete_documents(std::string_view collection, std::span<const Uuid> ids) {
  return encode_exact([&](auto& enc) {
    enc.put_variant(DELETE_DOCUMENTS);
    enc.put_string(collection);
    enc.put_length(ids.size());
    for (const Uuid& id : ids) encode_uuid(enc, id);
  });
}

std::vector<std::uint8_t> encode_wal_entry(const WalEntry& entry) {
  struct Visitor {
    std::vector<std::uint8_t> operator()(const WalEntry::CreateCollection& e) const {
      return encode_create_collection(e.name, e.dimension, e.config);
    }
    std::vector<std::uint8_t> operator()(const WalEntry::DeleteCollection& e) const {
      return encode_delete_collection(e.name);
    }
    std::vector<std::uint8_t> operator()(const WalEntry::InsertDocument& e) const {
      return encode_insert_document(e.collection, e.document, e.embedding);
    }
    std::vector<std::uint8_t> operator()(const WalEntry::DeleteDocument& e) const {
      return encode_delete_document(e.collection, e.id);
    }
    std::vector<std::uint8_t> operator()(const WalEntry::BatchInsert& e) const {
      return encode_batch_insert(e.collection, e.documents);
    }
    std::vector<std::uint8_t> operator()(const WalEntry::UpdateDocument& e) const {
      return encode_update_document(e.collection, e.id, e.document, e.embedding);
    }
    std::vector<std::uint8_t> operator()(const WalEntry::LoadCollection& e) const {
      return encode_load_collection(e.collection, e.token);
    }
    std::vector<std::uint8_t> operator()(const WalEntry::UpdateMetadata& e) const {
      return encode_update_metadata(e.collection, e.id, e.metadata);
    }
    std::vector<std::uint8_t> operator()(const WalEntry::DeleteDocuments& e) const {
      return encode_delete_documents(e.collection, e.ids);
    }
  };
  return std::visit(Visitor{}, entry.value);
}

const std::string& changed_collection(const WalEntry& entry) {
  return std::visit(
      [](const auto& change) -> const std::string& {
        if constexpr (requires { change.name; }) {
          return change.name;
        } else {
          return change.collection;
        }
      },
      entry.value);
}

std::uint64_t changed_documents(const WalEntry& entry) {
  if (const auto* batch = std::get_if<WalBatchInsert>(&entry.value)) {
    return std::max<std::uint64_t>(1, batch->documents.size());
  }
  if (const auto* deletion = std::get_if<WalDeleteDocuments>(&entry.value)) {
    return std::max<std::uint64_t>(1, deletion->ids.size());
  }
  return 1;
}

std::uint64_t checkpoint_weight(const WalEntry& entry) {
  if (const auto* batch = std::get_if<WalBatchInsert>(&entry.value)) {
    const auto linked = std::ranges::count_if(batch->documents, [](const PendingDocument& document) {
      return !document.embedding.empty();
    });
    return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(linked));
  }
  return changed_documents(entry);
}

Result<WalEntry> decode_wal_entry(std::span<const std::uint8_t> payload) {
  Decoder dec(payload);
  KV_TRY(variant, dec.get_variant(VARIANT_COUNT));
  switch (*variant) {
    case CREATE_COLLECTION:
    case CREATE_WALKED_COLLECTION: {
      WalEntry::CreateCollection entry;
      KV_TRY(name, dec.get_string());
      KV_TRY(dimension, dec.get_u64());
      KV_TRY(config, decode_hnsw_config(dec));
      entry.name = std::move(*name);
      entry.dimension = *dimension;
      entry.config = *config;
      if (*variant == CREATE_WALKED_COLLECTION) {
        KV_TRY(bits, dec.get_u8());
        entry.config.walk_bits = *bits;
      }
      return WalEntry{std::move(entry)};
    }
    case DELETE_COLLECTION: {
      KV_TRY(name, dec.get_string());
      return WalEntry{WalEntry::DeleteCollection{std::move(*name)}};
    }
    case INSERT_DOCUMENT: {
      KV_TRY(entry, decode_insert(dec));
      return WalEntry{std::move(*entry)};
    }
    case DELETE_DOCUMENT: {
      KV_TRY(collection, dec.get_string());
      KV_TRY(id, decode_uuid(dec));
      return WalEntry{WalEntry::DeleteDocument{std::move(*collection), *id}};
    }
    case BATCH_INSERT: {
      KV_TRY(entry, decode_batch(dec));
      return WalEntry{std::move(*entry)};
    }
    case UPDATE_DOCUMENT: {
      KV_TRY(entry, decode_update(dec));
      return WalEntry{std::move(*entry)};
    }
    case LOAD_COLLECTION: {
      KV_TRY(collection, dec.get_string());
      KV_TRY(token, dec.get_u64());
      return WalEntry{WalEntry::LoadCollection{std::move(*collection), *token}};
    }
    case UPDATE_METADATA: {
      KV_TRY(collection, dec.get_string());
      KV_TRY(id, decode_uuid(dec));
      KV_TRY(metadata, decode_metadata(dec));
      return WalEntry{WalEntry::UpdateMetadata{std::move(*collection), *id, std::move(*metadata)}};
    }
    default: {
      KV_TRY(entry, decode_delete_documents(dec));
      return WalEntry{std::move(*entry)};
    }
  }
}

#undef KV_TRY

}  // namespace karvalith
