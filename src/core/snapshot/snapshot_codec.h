// The payload of a snapshot file: one whole collection (documents, graph,
// keyword index, id maps) in the binary encoding of codec.h, its decoding,
// and the consistency checks a decoded collection must pass before it is
// turned back into a live collection. Documents and configurations use the
// shared value encodings (value_codec.h).
//
// Field order of the payload:
//   name (string) | dimension (u64) | documents (map uuid -> document) |
//   hnsw (14 fields) | inverted index (4 fields) |
//   uuid_to_internal (map uuid -> u32) | internal_to_uuid (list of uuid)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/bm25/inverted_index.h"
#include "core/common/result.h"
#include "core/document/document.h"
#include "core/document/uuid.h"
#include "core/hnsw/config.h"
#include "core/hnsw/graph.h"
#include "core/codec/codec.h"
#include "core/codec/value_codec.h"
#include "core/engine/collection.h"

namespace karvalith {

// The four stored fields of an InvertedIndex.
struct InvertedIndexParts {
  PostingsMap postings;
  std::vector<std::uint32_t> doc_lengths;
  std::uint32_t doc_count = 0;
  std::uint64_t total_length = 0;
};

// A collection as a snapshot holds it, field by field.
struct CollectionData {
  std::string name;
  std::uint64_t dimension = 0;
  DocumentMap documents;  // live documents; each key equals its document's id
  HnswParts hnsw;
  InvertedIndexParts inverted_index;
  std::unordered_map<Uuid, std::uint32_t, UuidHash> uuid_to_internal;
  std::vector<Uuid> internal_to_uuid;
};

// ---- whole collections ---------------------------------------------------

// The payload of a live collection, built in one allocation of exactly the
// encoded size. The caller holds the collection's lock (shared is enough).
std::vector<std::uint8_t> encode_collection(const CollectionState& state);

// The payload of decoded (or hand-built) collection data.
std::vector<std::uint8_t> encode_collection_data(const CollectionData& data);

// The 14 graph fields alone, from an index or from its parts (both give the
// same bytes for the same graph).
std::vector<std::uint8_t> encode_hnsw_index(const HnswIndex& index);
std::vector<std::uint8_t> encode_hnsw_parts(const HnswParts& parts);

// Decodes a payload; bytes after the encoded data are ignored (their count
// goes to `unused` when given). Errors are ErrorKind::InvalidData with the
// decoder's message. Map entries whose key repeats replace the earlier entry.
// Never allocates much more than the payload's own size, whatever counts it
// claims.
Result<CollectionData> decode_collection_data(std::span<const std::uint8_t> payload,
                                              std::size_t* unused = nullptr);

// The four keyword-index fields of a live index, and decoded from where
// `dec` stands.
std::vector<std::uint8_t> encode_keyword_index(const InvertedIndex& index);
Result<InvertedIndexParts> decode_keyword_fields(Decoder& dec);

// The graph section's retired codebook slot: an optional tag and a byte
// string. Writers put "absent" and no bytes. Older builds could store a
// product-quantization codebook there (none did from a public entry); a
// reader passes over one, fields and all, and walks use the 8-bit codes.
template <class Sink>
void encode_retired_codebook(BasicEncoder<Sink>& enc) {
  enc.put_optional_tag(false);
  enc.put_bytes({});
}
Status skip_retired_codebook(Decoder& dec);

// Checks that decoded data can be used without any read beyond a list.
// Returns the first failure's message (without the "snapshot validation
// failed: " prefix), or nothing when the data is consistent. In order:
//         the graph's own invariants (graph_problem, hnsw/graph_check.h);
//         the id maps' sizes (equal, NC slots); documents count <= NC;
//         every uuid_to_internal value below NC and its slot naming the
//         entry's id back (the maps are inverses);
//         every documents key equal to its document's id and present in
//         uuid_to_internal.
std::optional<std::string> validate(const CollectionData& data);

// A live collection built from validated data (moved in).
CollectionPtr build_collection(CollectionData data);

}  // namespace karvalith
