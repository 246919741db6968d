#include "core/snapshot/snapshot_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "snapshot/snapshot_test_util.h"

namespace karvalith {
namespace {

using namespace snapshot_testing;
using Bytes = std::vector<std::uint8_t>;

template <class Fn>
Bytes encoded(Fn&& fn) {
  return encode_exact(std::forward<Fn>(fn));
}

std::uint64_t u64_at(const Bytes& b, std::size_t at) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b[at + i];
  return v;
}

TEST(SnapshotCodecConfig, DefaultIs53BytesInFieldOrder) {
  const Bytes bytes = encoded([](auto& enc) { encode_hnsw_config(enc, HnswConfig{}); });
  ASSERT_EQ(bytes.size(), HNSW_CONFIG_BYTES);
  ASSERT_EQ(bytes.size(), 53u);
  EXPECT_EQ(u64_at(bytes, 0), 16u);
  EXPECT_EQ(u64_at(bytes, 8), 32u);
  EXPECT_EQ(u64_at(bytes, 16), 200u);
  EXPECT_EQ(u64_at(bytes, 24), 50u);
  EXPECT_EQ(u64_at(bytes, 32), 16u);
  EXPECT_EQ(bytes[40], 0);  // Cosine, u32 little-endian
  EXPECT_EQ(u64_at(bytes, 44), 0u);
  EXPECT_EQ(bytes[52], 0);
}

TEST(SnapshotCodecConfig, RoundTripsAndRejectsBadMetricAndBool) {
  for (DistanceMetric metric : {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    HnswConfig config{7, 14, 99, 12, 3, metric, true};
    Bytes bytes = encoded([&](auto& enc) { encode_hnsw_config(enc, config); });
    EXPECT_EQ(u64_at(bytes, 44), 0u);  // the reserved word
    // Older writers could put a sub-space count there: it is read past.
    for (std::uint8_t reserved : {0, 4}) {
      bytes[44] = reserved;
      Decoder dec(bytes);
      auto back = decode_hnsw_config(dec);
      ASSERT_TRUE(back.has_value());
      expect_same_config(config, *back);
      EXPECT_EQ(dec.remaining(), 0u);
    }
  }
  Bytes bytes = encoded([](auto& enc) { encode_hnsw_config(enc, HnswConfig{}); });
  bytes[40] = 3;
  Decoder bad_metric(bytes);
  EXPECT_EQ(decode_hnsw_config(bad_metric).error().message,
            "invalid value: integer `3`, expected variant index 0 <= i < 3");
  bytes[40] = 0;
  bytes[52] = 2;
  Decoder bad_bool(bytes);
  EXPECT_EQ(decode_hnsw_config(bad_bool).error().message, "invalid u8 while decoding bool, expected 0 or 1, found 2");
}

TEST(SnapshotCodecDocument, RoundTripsEveryMetadataTypeWithExactLayout) {
  Document doc{numbered_uuid(9), "héllo", {}};
  doc.metadata.insert_or_assign("b", MetadataValue(true));
  const Bytes one = encoded([&](auto& enc) { encode_document(enc, doc); });
  // uuid (8 + 16), text (8 + 6), map count (8), key (8 + 1), tag (4), bool (1)
  ASSERT_EQ(one.size(), 24u + 14u + 8u + 9u + 4u + 1u);
  EXPECT_EQ(u64_at(one, 0), 16u);
  EXPECT_EQ(one[8 + 6], 0x40);  // UUID bytes in textual order

  const Document full = sample_document(11);
  const Bytes bytes = encoded([&](auto& enc) { encode_document(enc, full); });
  Decoder dec(bytes);
  auto back = decode_document(dec);
  ASSERT_TRUE(back.has_value()) << back.error().message;
  expect_same_document(full, *back);
  EXPECT_EQ(dec.remaining(), 0u);
}

TEST(SnapshotCodecDocument, DecoderMessages) {
  Document doc{numbered_uuid(1), "ab", {}};
  doc.metadata.insert_or_assign("k", MetadataValue(std::int64_t{5}));
  Bytes bytes = encoded([&](auto& enc) { encode_document(enc, doc); });
  const std::size_t tag_at = 24 + 10 + 8 + 9;

  Bytes bad_tag = bytes;
  bad_tag[tag_at] = 4;
  Decoder d1(bad_tag);
  EXPECT_EQ(decode_document(d1).error().message, "invalid value: integer `4`, expected variant index 0 <= i < 4");

  Bytes bad_text = bytes;
  bad_text[24 + 8] = 0xFF;
  Decoder d2(bad_text);
  auto text_error = decode_document(d2);
  ASSERT_FALSE(text_error.has_value());
  EXPECT_TRUE(text_error.error().message.starts_with("string is not valid utf8")) << text_error.error().message;

  Bytes short_uuid = bytes;
  short_uuid[0] = 15;
  Decoder d3(short_uuid);
  auto uuid_error = decode_document(d3);
  ASSERT_FALSE(uuid_error.has_value());
  EXPECT_TRUE(uuid_error.error().message.starts_with("UUID parsing failed: ")) << uuid_error.error().message;
  EXPECT_EQ(uuid_error.error().kind, ErrorKind::InvalidData);
}

// ---- whole collections ----

CollectionData data_of(const Collection& collection) {
  auto state = collection.state().read();
  return decode_or_fail(encode_collection(*state));
}

TEST(SnapshotCodecCollection, RoundTripMatchesTheLiveState) {
  auto collection = sample_collection();
  auto state = collection->state().read();
  const Bytes payload = encode_collection(*state);
  const CollectionData data = decode_or_fail(payload);

  EXPECT_EQ(data.name, "sample");
  EXPECT_EQ(data.dimension, 8u);
  EXPECT_EQ(data.documents.size(), state->documents.size());
  state->documents.for_each_slot([&](std::uint32_t slot) {
    const Uuid& id = state->internal_to_uuid[slot];
    ASSERT_TRUE(data.documents.contains(id));
    expect_same_document(state->documents.document(slot, id), *data.documents.at(id));
  });
  expect_same_hnsw(state->hnsw.to_parts(), data.hnsw);
  EXPECT_FALSE(data.hnsw.raw_vectors.empty());
  EXPECT_EQ(std::count(data.hnsw.deleted.begin(), data.hnsw.deleted.end(), 1), 8);
  expect_same_postings(state->inverted_index.postings(), data.inverted_index.postings);
  EXPECT_EQ(data.inverted_index.doc_lengths, state->inverted_index.doc_lengths());
  EXPECT_EQ(data.inverted_index.doc_count, state->inverted_index.doc_count());
  EXPECT_EQ(data.inverted_index.total_length, state->inverted_index.total_length());
  EXPECT_EQ(data.uuid_to_internal.size(), state->uuid_to_internal.size());
  for (const auto& [id, slot] : data.uuid_to_internal) EXPECT_EQ(state->slot_of(id), slot);
  EXPECT_EQ(data.internal_to_uuid, state->internal_to_uuid);
  EXPECT_EQ(validate(data), std::nullopt);

  // Through a rebuilt collection and the data encoder: the same contents.
  const CollectionData again = data_of(*build_collection(decode_or_fail(payload)));
  expect_same_data(data, again);
  expect_same_data(data, decode_or_fail(encode_collection_data(data)));
}

TEST(SnapshotCodecCollection, RebuiltAndEmptyCollectionsRoundTrip) {
  auto rebuilt = sample_collection({.count = 40, .dimension = 8, .store_raw_vectors = false, .rebuild = true});
  const CollectionData data = data_of(*rebuilt);
  EXPECT_TRUE(data.hnsw.raw_vectors.empty());
  EXPECT_EQ(validate(data), std::nullopt);
  expect_same_data(data, data_of(*build_collection(decode_or_fail(encode_collection_data(data)))));

  Collection empty("", 3, HnswConfig{});
  const CollectionData nothing = data_of(empty);
  EXPECT_EQ(nothing.hnsw.node_count, 0u);
  EXPECT_FALSE(nothing.hnsw.entry_point.has_value());
  EXPECT_EQ(validate(nothing), std::nullopt);
}

TEST(SnapshotCodecCollection, IndexAndPartsEncodersAgree) {
  for (auto options : {SampleOptions{}, SampleOptions{.count = 40, .store_raw_vectors = false, .rebuild = true}}) {
    auto collection = sample_collection(options);
    auto state = collection->state().read();
    EXPECT_EQ(encode_hnsw_index(state->hnsw), encode_hnsw_parts(state->hnsw.to_parts()));
  }
}

// Lengths of 0xFFFF and more are packed apart in memory; the keyword fields
// still hold every exact length as one u32 list, across the writer's blocks.
TEST(SnapshotCodecKeywords, LongDocumentLengthsAreWrittenAsTheExactU32List) {
  std::vector<std::uint32_t> lengths(10000);
  for (std::size_t i = 0; i < lengths.size(); ++i) lengths[i] = static_cast<std::uint32_t>(i % 7);
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> long_ones = {
      {0, 0xFFFF}, {4095, 0x10000}, {4096, 70000}, {8191, 0xFFFFFFFF}, {8192, 0xFFFE}, {9999, 0x1FFFF}};
  PostingsMap postings;
  for (const auto& [id, length] : long_ones) {
    lengths[id] = length;
    postings["cat"].push_back(Posting{id, 1});
  }
  std::uint64_t total = 0;
  for (std::uint32_t length : lengths) total += length;
  const InvertedIndex index = InvertedIndex::from_parts(PostingsMap(postings), lengths, 9000, total);
  ASSERT_EQ(index.doc_lengths().overflow_count(), 5u);

  const Bytes bytes = encode_keyword_index(index);
  const Bytes expected = encoded([&](auto& enc) {
    enc.put_length(1);
    enc.put_string("cat");
    enc.put_length(long_ones.size());
    for (const auto& [id, length] : long_ones) {
      enc.put_u32(id);
      enc.put_u32(1);
    }
    enc.put_u32_list(lengths);
    enc.put_u32(9000);
    enc.put_u64(total);
  });
  EXPECT_EQ(bytes, expected);

  Decoder dec(bytes);
  auto parts = decode_keyword_fields(dec);
  ASSERT_TRUE(parts.has_value());
  EXPECT_EQ(parts->doc_lengths, lengths);
  const InvertedIndex loaded = InvertedIndex::from_parts(std::move(parts->postings), parts->doc_lengths,
                                                         parts->doc_count, parts->total_length);
  EXPECT_EQ(loaded.doc_lengths(), index.doc_lengths());
  EXPECT_EQ(loaded.total_length(), total);
}

TEST(SnapshotCodecCollection, EveryTruncationFailsWithTheEarlyEndMessage) {
  auto collection = sample_collection({.count = 5, .dimension = 4, .rebuild = true, .delete_every = 2});
  auto state = collection->state().read();
  const Bytes payload = encode_collection(*state);
  for (std::size_t cut = 0; cut < payload.size(); ++cut) {
    auto data = decode_collection_data(std::span(payload).first(cut));
    ASSERT_FALSE(data.has_value()) << "cut at " << cut;
    ASSERT_EQ(data.error().message, "io error: failed to fill whole buffer") << "cut at " << cut;
  }
  Bytes longer = payload;
  longer.insert(longer.end(), {1, 2, 3});
  EXPECT_TRUE(decode_collection_data(longer).has_value());
}

TEST(SnapshotCodecCollection, BadOptionalTagAndHugeCountsAreDecodingErrors) {
  Collection empty("c", 2, HnswConfig{});
  Bytes payload = encode_collection(*empty.state().read());
  // name (8 + 1), dimension, documents count, config, then seven empty
  // lists (codes, mins, scales, raw vectors, neighbours, layers, deleted).
  const std::size_t codebook_tag = 9 + 8 + 8 + 53 + 7 * 8;
  ASSERT_EQ(payload[codebook_tag], 0);
  payload[codebook_tag] = 2;
  EXPECT_EQ(decode_collection_data(payload).error().message, "tag for enum is not valid, found 2");

  Bytes huge = encode_collection(*empty.state().read());
  for (int i = 0; i < 8; ++i) huge[17 + i] = 0xFF;  // documents count 2^64 - 1
  EXPECT_EQ(decode_collection_data(huge).error().message, "io error: failed to fill whole buffer");
}

// Damaged payloads either fail to decode or validate, or yield a collection
// that searches, deletes and re-encodes without reading out of range
// (meaningful under the sanitizer build).
TEST(SnapshotCodecCollection, RandomlyDamagedPayloadsAreRejectedOrSafe) {
  auto collection = sample_collection({.count = 12, .dimension = 4, .rebuild = true, .delete_every = 3});
  const Bytes payload = encode_collection(*collection->state().read());
  std::mt19937 rng(1234);
  std::uniform_int_distribution<std::size_t> position(0, payload.size() - 1);
  std::uniform_int_distribution<int> byte(0, 255);
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes damaged = payload;
    const int flips = 1 + round % 3;
    for (int f = 0; f < flips; ++f) damaged[position(rng)] = static_cast<std::uint8_t>(byte(rng));
    auto data = decode_collection_data(damaged);
    if (!data || validate(*data)) continue;
    ++accepted;
    const Uuid some_id = data->internal_to_uuid.empty() ? Uuid{} : data->internal_to_uuid.front();
    auto loaded = build_collection(std::move(*data));
    const std::vector<float> query = {0.5f, -0.25f, 1.0f, 0.0f};
    EXPECT_TRUE(loaded->state().read()->hnsw.knn_search(query, 5).has_value());
    loaded->delete_document(some_id);
    EXPECT_TRUE(decode_collection_data(encode_collection(*loaded->state().read())).has_value());
  }
  EXPECT_GT(accepted, 0);  // some damage (texts, floats) is not detectable
}

// ---- validation ----

struct ValidationCase {
  const char* what;
  std::function<void(CollectionData&)> change;
  std::string message;
};

TEST(SnapshotCodecValidate, EachCheckReportsItsMessage) {
  // 3 nodes, dimension 4.
  auto base_collection = sample_collection({.count = 3, .dimension = 4, .rebuild = true, .delete_every = 0});
  const CollectionData base = data_of(*base_collection);
  ASSERT_EQ(validate(base), std::nullopt);
  ASSERT_EQ(base.hnsw.node_count, 3u);
  const Uuid stranger = numbered_uuid(1000);

  const std::vector<ValidationCase> cases = {
      {"1", [](auto& d) { d.hnsw.dimension = 5; }, "HNSW dimension 5 != collection dimension 4"},
      {"2", [](auto& d) { d.hnsw.vector_data.pop_back(); }, "vector_data length 11 != node_count(3) * dimension(4)"},
      {"3", [](auto& d) { d.hnsw.vector_min.push_back(0); }, "vector_min length 4 != node_count 3"},
      {"4", [](auto& d) { d.hnsw.vector_scale.clear(); }, "vector_scale length 0 != node_count 3"},
      {"5", [](auto& d) { d.hnsw.neighbors.pop_back(); }, "neighbors length 2 != node_count 3"},
      {"6", [](auto& d) { d.hnsw.layers.push_back(0); }, "layers length 4 != node_count 3"},
      {"7", [](auto& d) { d.hnsw.deleted.pop_back(); }, "deleted length 2 != node_count 3"},
      {"8", [&](auto& d) { d.uuid_to_internal[stranger] = 0; }, "uuid_to_internal(4) != internal_to_uuid(3)"},
      {"9",
       [&](auto& d) {
         d.uuid_to_internal[stranger] = 0;
         d.internal_to_uuid.push_back(stranger);
       },
       "internal_to_uuid length 4 != node_count 3"},
      {"10",
       [&](auto& d) { d.documents[stranger] = std::make_shared<const Document>(Document{stranger, "", {}}); },
       "documents(4) > node_count(3)"},
      {"11", [](auto& d) { d.hnsw.entry_point = 3; }, "entry_point 3 >= node_count 3"},
      {"12",
       [](auto& d) {
         d.hnsw.neighbors[1][0].push_back(7);
         d.hnsw.neighbors[2][0].push_back(9);
       },
       "neighbor 7 out of bounds (node_count=3) at node 1 layer 0"},
      {"configuration m", [](auto& d) { d.hnsw.config.m = 1; }, "invalid configuration: m must be at least 2, got 1"},
      {"configuration layers", [](auto& d) { d.hnsw.config.max_layers = 0; },
       "invalid configuration: max_layers must be between 1 and 256, got 0"},
      {"configuration links", [](auto& d) { d.hnsw.config.m_max0 = 1 << 20; },
       "invalid configuration: m_max0 must be between 4 and 131072, got 1048576"},
      {"raw vectors", [](auto& d) { d.hnsw.raw_vectors.resize(5); },
       "raw_vectors length 5 != 0 or node_count(3) * dimension(4)"},
      {"level above max",
       [](auto& d) {
         d.hnsw.layers[2] = static_cast<std::uint8_t>(d.hnsw.max_level + 1);
         d.hnsw.neighbors[2].resize(d.hnsw.max_level + 2);
       },
       "node 2 level " + std::to_string(base.hnsw.max_level + 1) + " > max_level " +
           std::to_string(base.hnsw.max_level)},
      {"list count", [](auto& d) { d.hnsw.neighbors[1].emplace_back(); },
       "node 1 has " + std::to_string(base.hnsw.layers[1] + 2) + " neighbor lists != level(" +
           std::to_string(base.hnsw.layers[1]) + ") + 1"},
      {"entry point absent", [](auto& d) { d.hnsw.entry_point.reset(); }, "entry_point absent with node_count 3"},
      {"slot out of range", [&](auto& d) { d.uuid_to_internal[base.internal_to_uuid[1]] = 3; },
       "uuid_to_internal " + base.internal_to_uuid[1].to_string() + " -> 3 >= node_count 3"},
      {"maps not inverse", [&](auto& d) { d.uuid_to_internal[base.internal_to_uuid[1]] = 2; },
       "uuid_to_internal " + base.internal_to_uuid[1].to_string() + " -> 2 but internal_to_uuid[2] is " +
           base.internal_to_uuid[2].to_string()},
      {"key differs from id",
       [&](auto& d) {
         const Uuid key = base.internal_to_uuid[0];
         d.documents[key] = std::make_shared<const Document>(Document{stranger, "", {}});
       },
       "documents key " + base.internal_to_uuid[0].to_string() + " != document id " + stranger.to_string()},
      {"document without slot",
       [&](auto& d) {
         d.documents.erase(base.internal_to_uuid[0]);
         d.documents[stranger] = std::make_shared<const Document>(Document{stranger, "", {}});
       },
       "document " + stranger.to_string() + " missing from uuid_to_internal"},
  };
  for (const ValidationCase& c : cases) {
    CollectionData data = decode_or_fail(encode_collection_data(base));
    c.change(data);
    EXPECT_EQ(validate(data), std::optional<std::string>(c.message)) << "case " << c.what;
  }
}

TEST(SnapshotCodecValidate, OrderAndOverflowingProducts) {
  CollectionData data;
  data.dimension = std::uint64_t{1} << 62;
  data.hnsw.dimension = data.dimension;
  data.hnsw.node_count = 4;  // 4 * 2^62 overflows 64 bits
  EXPECT_EQ(validate(data), "vector_data length 0 != node_count(4) * dimension(4611686018427387904)");

  // The first failing check wins: 7 before 11.
  auto collection = sample_collection({.count = 3, .dimension = 4, .delete_every = 0});
  CollectionData both = data_of(*collection);
  both.hnsw.deleted.pop_back();
  both.hnsw.entry_point = 10;
  EXPECT_EQ(validate(both), "deleted length 2 != node_count 3");

  // No entry point and no nodes: valid without looking at neighbours.
  CollectionData empty;
  EXPECT_EQ(validate(empty), std::nullopt);
}

}  // namespace
}  // namespace karvalith
