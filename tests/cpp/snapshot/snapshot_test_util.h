// Helpers for the snapshot and log-entry tests: a sample collection that uses
// every stored feature, and field-by-field comparison of decoded data.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/engine/collection.h"
#include "core/snapshot/snapshot_codec.h"

namespace karvalith::snapshot_testing {

inline Uuid numbered_uuid(std::uint32_t n) {
  Uuid id;
  for (int i = 0; i < 4; ++i) id.bytes[12 + i] = static_cast<std::uint8_t>(n >> (8 * (3 - i)));
  id.bytes[6] = 0x40;
  return id;
}

inline std::vector<float> random_vector(std::mt19937& rng, std::size_t dim) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> v(dim);
  for (float& x : v) x = normal(rng);
  return v;
}

// A document whose metadata holds every value type.
inline Document sample_document(std::uint32_t n) {
  Document doc{numbered_uuid(n), "document number " + std::to_string(n) + " about topic" + std::to_string(n % 5), {}};
  doc.metadata.insert_or_assign("flag", MetadataValue(n % 2 == 0));
  doc.metadata.insert_or_assign("count", MetadataValue(static_cast<std::int64_t>(n) - 7));
  doc.metadata.insert_or_assign("ratio", MetadataValue(n * 0.25));
  doc.metadata.insert_or_assign("tag", MetadataValue(std::string("t") + std::to_string(n % 3)));
  return doc;
}

struct SampleOptions {
  std::uint32_t count = 30;
  std::uint64_t dimension = 8;
  bool store_raw_vectors = true;
  bool rebuild = false;            // rebuild before deleting (dense slots)
  std::uint32_t delete_every = 4;  // deletes slots 0, 4, 8, ... (0: none)
  std::string name = "sample";
  std::uint8_t walk_bits = 0;      // codes the graph's walks read (0: 8-bit)
};

// Inserts `count` documents, optionally rebuilds, then deletes
// some, so the state has tombstones and id-map entries of deleted ids.
inline CollectionPtr sample_collection(const SampleOptions& options = {}) {
  HnswConfig config;
  config.m = 4;
  config.m_max0 = 8;
  config.ef_construction = 32;
  config.store_raw_vectors = options.store_raw_vectors;
  config.walk_bits = options.walk_bits;
  auto collection = std::make_shared<Collection>(options.name, options.dimension, config);
  std::mt19937 rng(42);
  for (std::uint32_t n = 0; n < options.count; ++n) {
    auto id = collection->insert_document(sample_document(n), random_vector(rng, options.dimension));
    EXPECT_TRUE(id.has_value()) << (id ? "" : id.error().message);
  }
  if (options.rebuild) {
    auto rebuilt = collection->rebuild();
    EXPECT_TRUE(rebuilt.has_value()) << (rebuilt ? "" : rebuilt.error().message);
  }
  if (options.delete_every > 0) {
    for (std::uint32_t n = 0; n < options.count; n += options.delete_every) {
      EXPECT_TRUE(collection->delete_document(numbered_uuid(n)));
    }
  }
  return collection;
}

inline CollectionData decode_or_fail(std::span<const std::uint8_t> payload) {
  auto data = decode_collection_data(payload);
  EXPECT_TRUE(data.has_value()) << (data ? "" : data.error().message);
  return data ? std::move(*data) : CollectionData{};
}

inline void expect_same_config(const HnswConfig& a, const HnswConfig& b) {
  EXPECT_EQ(a.m, b.m);
  EXPECT_EQ(a.m_max0, b.m_max0);
  EXPECT_EQ(a.ef_construction, b.ef_construction);
  EXPECT_EQ(a.ef_search, b.ef_search);
  EXPECT_EQ(a.max_layers, b.max_layers);
  EXPECT_EQ(a.distance_metric, b.distance_metric);
  EXPECT_EQ(a.store_raw_vectors, b.store_raw_vectors);
}

inline void expect_same_document(const Document& a, const Document& b) {
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.text, b.text);
  ASSERT_EQ(a.metadata.size(), b.metadata.size());
  for (const auto& [key, value] : a.metadata) {
    const MetadataValue* other = b.metadata.find(key);
    ASSERT_NE(other, nullptr) << key;
    EXPECT_EQ(value, *other) << key;
  }
}

inline void expect_same_hnsw(const HnswParts& a, const HnswParts& b) {
  expect_same_config(a.config, b.config);
  EXPECT_EQ(a.vector_data, b.vector_data);
  EXPECT_EQ(a.vector_min, b.vector_min);
  EXPECT_EQ(a.vector_scale, b.vector_scale);
  EXPECT_EQ(a.raw_vectors, b.raw_vectors);
  EXPECT_EQ(a.neighbors, b.neighbors);
  EXPECT_EQ(a.layers, b.layers);
  EXPECT_EQ(a.deleted, b.deleted);
  EXPECT_EQ(a.entry_point, b.entry_point);
  EXPECT_EQ(a.max_level, b.max_level);
  EXPECT_EQ(a.dimension, b.dimension);
  EXPECT_EQ(a.node_count, b.node_count);
}

inline void expect_same_postings(const PostingsMap& a, const PostingsMap& b) {
  ASSERT_EQ(a.size(), b.size());
  for (const auto& [term, list] : a) {
    const PostingList* other = b.find(term);
    ASSERT_NE(other, nullptr) << term;
    ASSERT_EQ(list.size(), other->size()) << term;
    for (std::size_t i = 0; i < list.size(); ++i) {
      EXPECT_EQ(list[i].doc_id, (*other)[i].doc_id);
      EXPECT_EQ(list[i].term_frequency, (*other)[i].term_frequency);
    }
  }
}

inline void expect_same_data(const CollectionData& a, const CollectionData& b) {
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.dimension, b.dimension);
  ASSERT_EQ(a.documents.size(), b.documents.size());
  for (const auto& [id, document] : a.documents) {
    auto other = b.documents.find(id);
    ASSERT_NE(other, b.documents.end());
    expect_same_document(*document, *other->second);
  }
  expect_same_hnsw(a.hnsw, b.hnsw);
  expect_same_postings(a.inverted_index.postings, b.inverted_index.postings);
  EXPECT_EQ(a.inverted_index.doc_lengths, b.inverted_index.doc_lengths);
  EXPECT_EQ(a.inverted_index.doc_count, b.inverted_index.doc_count);
  EXPECT_EQ(a.inverted_index.total_length, b.inverted_index.total_length);
  EXPECT_EQ(a.uuid_to_internal, b.uuid_to_internal);
  EXPECT_EQ(a.internal_to_uuid, b.internal_to_uuid);
}

}  // namespace karvalith::snapshot_testing
