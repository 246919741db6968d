// The mutations a persistent database logs, and their encoding as log-record
// payloads: a u32 variant number, then the variant's fields (codec.h rules;
// documents and configurations as in snapshots).
//
//   0 CreateCollection  name, dimension (u64), config (53 bytes)
//   1 DeleteCollection  name
//   2 InsertDocument    collection, document, embedding (list of f32)
//   3 DeleteDocument    collection, id
//   4 BatchInsert       collection, list of (document, embedding)
//   5 UpdateDocument    collection, id, document, embedding
//   6 LoadCollection    collection, token (u64): from here on the collection
//                       is the snapshot that load staged in the data
//                       directory under this token (then moved to its file)
//   7 UpdateMetadata    collection, id, metadata: the live document's
//                       metadata becomes this map
//   8 DeleteDocuments   collection, list of ids: every one of them that is
//                       live is deleted, all in one record (a delete of many
//                       ids, or of the documents a filter selected)
//   9 CreateCollection  as 0, then walk_bits (u8): written only for a
//                       configuration with walk codes (HnswConfig::walk_bits)
//
// Writers encode straight from the caller's data (the encode_* functions take
// views, so an insert is not copied into an entry first); decoding yields
// owned entries for replay.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/common/result.h"
#include "core/document/document.h"
#include "core/document/uuid.h"
#include "core/hnsw/config.h"

namespace karvalith {

// The variants (defined outside WalEntry so their default member
// initialisers are usable inside it).
struct WalCreateCollection {
  std::string name;
  std::uint64_t dimension = 0;
  HnswConfig config;
};
struct WalDeleteCollection {
  std::string name;
};
struct WalInsertDocument {
  std::string collection;
  Document document;
  std::vector<float> embedding;
};
struct WalDeleteDocument {
  std::string collection;
  Uuid id;
};
struct WalBatchInsert {
  std::string collection;
  std::vector<PendingDocument> documents;
};
struct WalUpdateDocument {
  std::string collection;
  Uuid id;
  Document document;
  std::vector<float> embedding;
};
struct WalLoadCollection {
  std::string collection;
  std::uint64_t token = 0;
};
struct WalUpdateMetadata {
  std::string collection;
  Uuid id;
  Metadata metadata;
};

struct WalDeleteDocuments {
  std::string collection;
  std::vector<Uuid> ids;
};

struct WalEntry {
  using CreateCollection = WalCreateCollection;
  using DeleteCollection = WalDeleteCollection;
  using InsertDocument = WalInsertDocument;
  using DeleteDocument = WalDeleteDocument;
  using BatchInsert = WalBatchInsert;
  using UpdateDocument = WalUpdateDocument;
  using LoadCollection = WalLoadCollection;
  using UpdateMetadata = WalUpdateMetadata;
  using DeleteDocuments = WalDeleteDocuments;

  // The variant index is the number written in front of the fields.
  using Value = std::variant<CreateCollection, DeleteCollection, InsertDocument, DeleteDocument, BatchInsert,
                             UpdateDocument, LoadCollection, UpdateMetadata, DeleteDocuments>;
  Value value;
};

inline constexpr std::uint32_t WAL_ENTRY_VARIANTS = std::variant_size_v<WalEntry::Value>;

// Payloads, each built in one allocation of its exact size.
std::vector<std::uint8_t> encode_create_collection(std::string_view name, std::uint64_t dimension,
                                                   const HnswConfig& config);
std::vector<std::uint8_t> encode_delete_collection(std::string_view name);
std::vector<std::uint8_t> encode_insert_document(std::string_view collection, const Document& document,
                                                 std::span<const float> embedding);
std::vector<std::uint8_t> encode_delete_document(std::string_view collection, const Uuid& id);
std::vector<std::uint8_t> encode_batch_insert(std::string_view collection, std::span<const PendingDocument> documents);
std::vector<std::uint8_t> encode_update_document(std::string_view collection, const Uuid& id,
                                                 const Document& document, std::span<const float> embedding);
std::vector<std::uint8_t> encode_load_collection(std::string_view collection, std::uint64_t token);
std::vector<std::uint8_t> encode_update_metadata(std::string_view collection, const Uuid& id,
                                                 const Metadata& metadata);
std::vector<std::uint8_t> encode_delete_documents(std::string_view collection, std::span<const Uuid> ids);

// The collection an entry changes (its name for the registry entries).
const std::string& changed_collection(const WalEntry& entry);

// How many documents replaying the entry touches (the size of a batch or of
// a many-document delete, at least 1; 1 for every other entry).
std::uint64_t changed_documents(const WalEntry& entry);

// What the entry counts towards an automatic checkpoint's record threshold,
// which bounds how long a replay takes: as changed_documents, but a batch
// counts only its documents with embeddings (at least 1), since linking one
// into a graph costs far more than indexing a keyword-only document's text,
// whose replay the byte threshold bounds.
std::uint64_t checkpoint_weight(const WalEntry& entry);

// Any entry, with the same bytes as the matching function above.
std::vector<std::uint8_t> encode_wal_entry(const WalEntry& entry);

// ErrorKind::InvalidData with the decoder's message for a payload that does
// not hold an entry (shorter than 4 bytes, variant number above 8, a bad
// field). Bytes after the entry are ignored.
Result<WalEntry> decode_wal_entry(std::span<const std::uint8_t> payload);

}  // namespace karvalith
