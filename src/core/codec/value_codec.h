// Encodings of the values that snapshots and log records share: UUIDs, HNSW
// configurations and documents (id, text, metadata map of tagged values).
#pragma once

#include <cstddef>

#include "core/codec/codec.h"
#include "core/common/result.h"
#include "core/document/document.h"
#include "core/document/uuid.h"
#include "core/hnsw/config.h"

namespace karvalith {

// Encoded size of an HnswConfig: five u64, a u32 metric, a u64, a bool.
inline constexpr std::size_t HNSW_CONFIG_BYTES = 53;

// Smallest encodings, for bounding untrusted counts: a document is a UUID
// (8 + 16), an empty text (8) and an empty map (8).
inline constexpr std::size_t MIN_UUID_BYTES = 24;
inline constexpr std::size_t MIN_DOCUMENT_BYTES = MIN_UUID_BYTES + 8 + 8;

// Instantiated for SizeCounter and Encoder.
template <class Sink>
void encode_uuid(BasicEncoder<Sink>& enc, const Uuid& id);
template <class Sink>
void encode_hnsw_config(BasicEncoder<Sink>& enc, const HnswConfig& config);
// id, text, metadata (map of string -> u32 tag + value).
template <class Sink>
void encode_document(BasicEncoder<Sink>& enc, const Document& document);
// u64 entry count, then each key (string) and value (u32 tag + value).
template <class Sink>
void encode_metadata(BasicEncoder<Sink>& enc, const Metadata& metadata);

Result<Uuid> decode_uuid(Decoder& dec);
Result<HnswConfig> decode_hnsw_config(Decoder& dec);
Result<Document> decode_document(Decoder& dec);
Result<Metadata> decode_metadata(Decoder& dec);

}  // namespace karvalith
