#include "core/codec/value_codec.h"

#include <utility>

namespace karvalith {

namespace {

constexpr std::uint32_t METRIC_VARIANTS = 3;
constexpr std::uint32_t METADATA_VARIANTS = 4;

template <class Sink>
void encode_metadata_value(BasicEncoder<Sink>& enc, const MetadataValue& value) {
  enc.put_variant(static_cast<std::uint32_t>(value.index()));
  switch (tag_of(value)) {
    case MetadataTag::Bool: enc.put_bool(std::get<bool>(value)); break;
    case MetadataTag::Int: enc.put_i64(std::get<std::int64_t>(value)); break;
    case MetadataTag::Float: enc.put_f64(std::get<double>(value)); break;
    case MetadataTag::String: enc.put_string(std::get<std::string>(value)); break;
  }
}

Result<MetadataValue> decode_metadata_value(Decoder& dec) {
  KV_TRY(tag, dec.get_variant(METADATA_VARIANTS));
  switch (static_cast<MetadataTag>(*tag)) {
    case MetadataTag::Bool: {
      KV_TRY(v, dec.get_bool());
      return MetadataValue(*v);
    }
    case MetadataTag::Int: {
      KV_TRY(v, dec.get_i64());
      return MetadataValue(*v);
    }
    case MetadataTag::Float: {
      KV_TRY(v, dec.get_f64());
      return MetadataValue(*v);
    }
    case MetadataTag::String: {
      KV_TRY(v, dec.get_string());
      return MetadataValue(std::move(*v));
    }
  }
  return decode_error("invalid metadata tag");  // unreachable: get_variant bounds it
}

}  // namespace

template <class Sink>
void encode_uuid(BasicEncoder<Sink>& enc, const Uuid& id) {
  enc.put_uuid_bytes(std::span<const std::uint8_t, 16>(id.bytes));
}

template <class Sink>
void encode_hnsw_config(BasicEncoder<Sink>& enc, const HnswConfig& config) {
  enc.put_u64(config.m);
  enc.put_u64(config.m_max0);
  enc.put_u64(config.ef_construction);
  enc.put_u64(config.ef_search);
  enc.put_u64(config.max_layers);
  enc.put_variant(static_cast<std::uint32_t>(config.distance_metric));
  // A reserved word, always 0: it once held a sub-space count for a
  // compressed code that no writer produces any more.
  enc.put_u64(0);
  enc.put_bool(config.store_raw_vectors);
}

template <class Sink>
void encode_metadata(BasicEncoder<Sink>& enc, const Metadata& metadata) {
  enc.put_length(metadata.size());
  for (const auto& [key, value] : metadata) {
    enc.put_string(key);
    encode_metadata_value(enc, value);
  }
}

template <class Sink>
void encode_document(BasicEncoder<Sink>& enc, const Document& document) {
  encode_uuid(enc, document.id);
  enc.put_string(document.text);
  encode_metadata(enc, document.metadata);
}

template void encode_uuid(SizeCounter&, const Uuid&);
template void encode_uuid(Encoder&, const Uuid&);
template void encode_hnsw_config(SizeCounter&, const HnswConfig&);
template void encode_hnsw_config(Encoder&, const HnswConfig&);
template void encode_document(SizeCounter&, const Document&);
template void encode_document(Encoder&, const Document&);
template void encode_metadata(SizeCounter&, const Metadata&);
template void encode_metadata(Encoder&, const Metadata&);

Result<Uuid> decode_uuid(Decoder& dec) {
  KV_TRY(bytes, dec.get_uuid_bytes());
  return Uuid{*bytes};
}

Result<HnswConfig> decode_hnsw_config(Decoder& dec) {
  HnswConfig config;
  KV_TRY(m, dec.get_u64());
  KV_TRY(m_max0, dec.get_u64());
  KV_TRY(ef_construction, dec.get_u64());
  KV_TRY(ef_search, dec.get_u64());
  KV_TRY(max_layers, dec.get_u64());
  KV_TRY(metric, dec.get_variant(METRIC_VARIANTS));
  KV_TRY(reserved, dec.get_u64());  // see encode_hnsw_config
  KV_TRY(store_raw, dec.get_bool());
  config.m = *m;
  config.m_max0 = *m_max0;
  config.ef_construction = *ef_construction;
  config.ef_search = *ef_search;
  config.max_layers = *max_layers;
  config.distance_metric = static_cast<DistanceMetric>(*metric);
  config.store_raw_vectors = *store_raw;
  return config;
}

Result<Document> decode_document(Decoder& dec) {
  Document document;
  KV_TRY(id, decode_uuid(dec));
  document.id = *id;
  KV_TRY(text, dec.get_string());
  document.text = std::move(*text);
  KV_TRY(metadata, decode_metadata(dec));
  document.metadata = std::move(*metadata);
  return document;
}

Result<Metadata> decode_metadata(Decoder& dec) {
  Metadata metadata;
  // Smallest entry: empty key (8), variant (4), bool (1).
  KV_TRY(entries, dec.get_length(13));
  metadata.reserve(static_cast<std::size_t>(*entries));
  for (std::uint64_t i = 0; i < *entries; ++i) {
    KV_TRY(key, dec.get_string());
    KV_TRY(value, decode_metadata_value(dec));
    metadata.insert_or_assign(std::move(*key), std::move(*value));
  }
  return metadata;
}

}  // namespace karvalith
