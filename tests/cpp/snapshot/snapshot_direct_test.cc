// The direct load path against the general one (decode, validate, build):
// the same collection from every consistent payload, nothing from the rest.
// GCC 12 warns falsely about string concatenation inlined from
// sample_document here (its bug 105329).
#pragma GCC diagnostic ignored "-Wrestrict"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <random>

#include "core/snapshot/snapshot_direct.h"
#include "snapshot/snapshot_test_util.h"

namespace karvalith {
namespace {

using namespace snapshot_testing;
using Bytes = std::vector<std::uint8_t>;

// The general path's collection, or null where it refuses the payload.
CollectionPtr load_general(std::span<const std::uint8_t> payload) {
  auto data = decode_collection_data(payload);
  if (!data) return nullptr;
  if (!data->hnsw.config.store_raw_vectors) data->hnsw.raw_vectors.clear();
  if (validate(*data)) return nullptr;
  return build_collection(std::move(*data));
}

// Same stored bytes, same derived per-node fields, same metadata index answers.
void expect_same(const Collection& direct, const Collection& general) {
  auto a = direct.state().read();
  auto b = general.state().read();
  EXPECT_EQ(encode_collection(*a), encode_collection(*b));
  ASSERT_EQ(a->hnsw.node_count(), b->hnsw.node_count());
  for (std::uint32_t n = 0; n < a->hnsw.node_count(); ++n) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(a->hnsw.norm_sq_of(n)), std::bit_cast<std::uint32_t>(b->hnsw.norm_sq_of(n)));
    EXPECT_EQ(a->hnsw.code_sum_of(n), b->hnsw.code_sum_of(n));
  }
  EXPECT_EQ(a->hnsw.has_huge_nodes(), b->hnsw.has_huge_nodes());
  EXPECT_EQ(a->hnsw.top_list_layer(), b->hnsw.top_list_layer());
  EXPECT_EQ(a->metadata_index.estimate_memory_bytes(), b->metadata_index.estimate_memory_bytes());
  EXPECT_EQ(estimate_memory_bytes(*a), estimate_memory_bytes(*b));
}

TEST(SnapshotDirect, BuildsWhatTheGeneralPathBuilds) {
  // Node counts on both sides of the eight-node groups the derived fields
  // are computed in; tombstones, rebuilt slots, raw vectors and none of them.
  const std::vector<SampleOptions> samples = {
      {.count = 0},
      {.count = 1, .delete_every = 0},
      {.count = 13, .dimension = 5, .store_raw_vectors = false},
      {.count = 30},
      {.count = 70, .dimension = 16, .rebuild = true, .delete_every = 3},
      {.count = 200, .dimension = 3, .store_raw_vectors = false, .delete_every = 0},
  };
  for (const SampleOptions& options : samples) {
    SCOPED_TRACE(options.count);
    auto collection = sample_collection(options);
    const Bytes payload = encode_collection(*collection->state().read());
    std::size_t unused = 99;
    CollectionPtr direct = load_collection_direct(payload, &unused);
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(unused, 0u);
    EXPECT_EQ(encode_collection(*direct->state().read()), payload);
    expect_same(*direct, *load_general(payload));

    Bytes longer = payload;
    longer.insert(longer.end(), {1, 2, 3});
    ASSERT_NE(load_collection_direct(longer, &unused), nullptr);
    EXPECT_EQ(unused, 3u);
  }
}

// Repeated map keys are legal (the later entry wins) and left to the general
// path, which must then be the one that loads them.
TEST(SnapshotDirect, LeavesRepeatedKeysToTheGeneralPath) {
  auto collection = sample_collection({.count = 5, .delete_every = 0});
  CollectionData data = decode_or_fail(encode_collection(*collection->state().read()));
  auto repeated = data;
  // The documents map with one entry twice: re-encoding a map cannot show
  // that, so splice the first entry's bytes in after the count.
  Bytes payload = encode_collection_data(repeated);
  const std::size_t header = 8 + data.name.size() + 8;
  Decoder dec(std::span<const std::uint8_t>(payload).subspan(header + 8));
  ASSERT_TRUE(decode_uuid(dec).has_value());
  ASSERT_TRUE(decode_document(dec).has_value());
  const std::size_t entry = dec.position();
  Bytes spliced(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(header + 8 + entry));
  spliced.insert(spliced.end(), payload.begin() + static_cast<std::ptrdiff_t>(header + 8), payload.end());
  const std::uint64_t count = data.documents.size() + 1;
  for (int i = 0; i < 8; ++i) spliced[header + i] = static_cast<std::uint8_t>(count >> (8 * i));
  EXPECT_EQ(load_collection_direct(spliced, nullptr), nullptr);
  CollectionPtr general = load_general(spliced);
  ASSERT_NE(general, nullptr);
  EXPECT_EQ(general->state().read()->documents.size(), data.documents.size());
}

// Older builds could keep a product-quantization codebook in the graph
// section (none did from a public entry). Such a file still opens, on both
// paths, to the collection it holds without the codebook.
TEST(SnapshotDirect, AStoredCodebookIsReadPast) {
  auto collection = sample_collection({.count = 24, .dimension = 4, .rebuild = true, .delete_every = 5});
  const Bytes plain = encode_collection(*collection->state().read());
  auto state = collection->state().read();
  const HnswIndex& index = state->hnsw;
  ASSERT_TRUE(index.entry_point().has_value());

  auto put = [](Bytes& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  };
  // The slot as written (absent, no code bytes) and the fields after it.
  Bytes slot_and_tail = {0};
  put(slot_and_tail, 0, 8);
  slot_and_tail.push_back(1);
  put(slot_and_tail, *index.entry_point(), 4);
  put(slot_and_tail, index.max_level(), 8);
  put(slot_and_tail, index.dimension(), 8);
  put(slot_and_tail, index.node_count(), 4);
  const auto at = std::search(plain.begin(), plain.end(), slot_and_tail.begin(), slot_and_tail.end());
  ASSERT_NE(at, plain.end());
  ASSERT_EQ(std::search(at + 1, plain.end(), slot_and_tail.begin(), slot_and_tail.end()), plain.end());

  // Present: 2 sub-spaces of 256 centroids of 2 floats, then one code byte
  // per sub-space and node.
  Bytes codebook = {1};
  put(codebook, 2, 8);
  put(codebook, 256, 8);
  put(codebook, 2, 8);
  put(codebook, 2 * 256 * 2, 8);
  for (int i = 0; i < 2 * 256 * 2; ++i) put(codebook, std::bit_cast<std::uint32_t>(0.5f * i), 4);
  put(codebook, 2 * index.node_count(), 8);
  for (std::uint32_t i = 0; i < 2 * index.node_count(); ++i) codebook.push_back(static_cast<std::uint8_t>(i));

  Bytes stored(plain.begin(), at);
  stored.insert(stored.end(), codebook.begin(), codebook.end());
  stored.insert(stored.end(), at + 9, plain.end());
  CollectionPtr general = load_general(stored);
  CollectionPtr direct = load_collection_direct(stored, nullptr);
  ASSERT_NE(general, nullptr);
  ASSERT_NE(direct, nullptr);
  expect_same(*direct, *general);
  // The same collection as the file without the codebook, written back without it.
  EXPECT_EQ(encode_collection(*general->state().read()), plain);
  // A codebook cut short is a decoding error, as any truncated field.
  Bytes cut(plain.begin(), at);
  cut.insert(cut.end(), codebook.begin(), codebook.begin() + 40);
  EXPECT_EQ(load_general(cut), nullptr);
  EXPECT_EQ(load_collection_direct(cut, nullptr), nullptr);
}

// Consistency damage that decodes: the direct path refuses what validate()
// refuses and loads the rest.
TEST(SnapshotDirect, RefusesWhatValidateRefuses) {
  auto collection = sample_collection({.count = 20, .dimension = 4, .rebuild = true, .delete_every = 5});
  const CollectionData base = decode_or_fail(encode_collection(*collection->state().read()));
  const Uuid stranger = numbered_uuid(1000);
  const std::vector<std::function<void(CollectionData&)>> changes = {
      [](auto& d) { d.hnsw.neighbors[3][0].push_back(20); },
      [](auto& d) { d.hnsw.neighbors[3].emplace_back(); },
      [](auto& d) { d.hnsw.layers[2] = static_cast<std::uint8_t>(d.hnsw.max_level + 1); },
      [](auto& d) { d.hnsw.max_level += 1; },
      [](auto& d) { d.hnsw.entry_point.reset(); },
      [](auto& d) { d.hnsw.vector_min.pop_back(); },
      [](auto& d) { d.hnsw.config.m = 0; },
      [](auto& d) { std::swap(d.internal_to_uuid[1], d.internal_to_uuid[2]); },
      [&](auto& d) { d.internal_to_uuid[1] = stranger; },
      [&](auto& d) { d.uuid_to_internal[d.internal_to_uuid[1]] = 2; },
      [&](auto& d) { d.documents[stranger] = std::make_shared<const Document>(Document{stranger, "", {}}); },
      [&](auto& d) {
        const Uuid key = d.internal_to_uuid[1];
        d.documents[key] = std::make_shared<const Document>(Document{stranger, "", {}});
      },
      [](auto& d) { d.hnsw.raw_vectors.pop_back(); },
      [](auto&) {},
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    SCOPED_TRACE(i);
    CollectionData data = decode_or_fail(encode_collection_data(base));
    changes[i](data);
    const Bytes payload = encode_collection_data(data);
    CollectionPtr general = load_general(payload);
    CollectionPtr direct = load_collection_direct(payload, nullptr);
    EXPECT_EQ(direct == nullptr, general == nullptr);
    if (direct && general) expect_same(*direct, *general);
  }
}

// Damage anywhere: the direct path gives nothing, or exactly what the
// general path gives (which then accepts the payload too).
TEST(SnapshotDirect, DamagedPayloadsAgreeWithTheGeneralPath) {
  auto collection = sample_collection({.count = 12, .dimension = 4, .rebuild = true, .delete_every = 3});
  const Bytes payload = encode_collection(*collection->state().read());
  std::mt19937 rng(77);
  std::uniform_int_distribution<std::size_t> position(0, payload.size() - 1);
  std::uniform_int_distribution<int> byte(0, 255);
  int direct_loads = 0;
  int refused = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes damaged = payload;
    const int flips = 1 + round % 3;
    for (int f = 0; f < flips; ++f) damaged[position(rng)] = static_cast<std::uint8_t>(byte(rng));
    if (round % 10 == 0) damaged.resize(position(rng));
    CollectionPtr general = load_general(damaged);
    CollectionPtr direct = load_collection_direct(damaged, nullptr);
    if (general == nullptr) ++refused;
    if (direct == nullptr) continue;
    ++direct_loads;
    ASSERT_NE(general, nullptr) << "round " << round;
    expect_same(*direct, *general);
  }
  EXPECT_GT(direct_loads, 0);  // damage to texts and floats goes unnoticed
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace karvalith
