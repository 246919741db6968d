// Format-2 snapshots: what a save writes and a load reads back, older
// payloads beside them, and damaged payloads refused with the loader's
// errors (never a read out of range: these run under the sanitizers too).
#include "core/snapshot/snapshot_columns.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#include "core/codec/crc32.h"
#include "core/snapshot/snapshot_file.h"
#include "snapshot/snapshot_test_util.h"

namespace karvalith {
namespace {

namespace fs = std::filesystem;
using namespace snapshot_testing;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* KEY_HEX = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

class SnapshotColumnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kv-columns-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  fs::path write(const std::string& name, const Bytes& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  // A payload with its end marker, as a plain save writes it.
  static Bytes plain_file(Bytes payload) {
    const std::uint32_t crc = crc32(payload);
    payload.insert(payload.end(), {'K', 'C', 'R', '1'});
    for (int shift = 24; shift >= 0; shift -= 8) payload.push_back(static_cast<std::uint8_t>(crc >> shift));
    return payload;
  }

  fs::path dir_;
};

CollectionData data_of(const Collection& collection) {
  return decode_or_fail(encode_collection(*collection.state().read()));
}

void expect_same_graph_answers(const Collection& a, const Collection& b, std::uint64_t dimension) {
  std::mt19937 rng(11);
  for (int q = 0; q < 10; ++q) {
    const std::vector<float> query = random_vector(rng, dimension);
    auto ra = a.state().read()->hnsw.knn_search(query, 10);
    auto rb = b.state().read()->hnsw.knn_search(query, 10);
    ASSERT_TRUE(ra && rb);
    ASSERT_EQ(ra->size(), rb->size());
    for (std::size_t i = 0; i < ra->size(); ++i) {
      EXPECT_EQ((*ra)[i].id, (*rb)[i].id);
      EXPECT_EQ((*ra)[i].distance, (*rb)[i].distance);
    }
  }
}

TEST_F(SnapshotColumnsTest, SaveAndLoadKeepEveryPartPlainSealedAndFromMemory) {
  auto key = EncryptionKey::from_hex(KEY_HEX);
  ASSERT_TRUE(key.has_value());
  // 1024 dimensions make several node groups of a few hundred nodes; m 4
  // gives a quarter of the nodes upper lists.
  for (const SampleOptions& options :
       {SampleOptions{.count = 600, .dimension = 1024, .store_raw_vectors = true, .delete_every = 3},
        SampleOptions{.count = 40, .dimension = 8, .store_raw_vectors = false, .rebuild = true},
        SampleOptions{.count = 0}}) {
    SCOPED_TRACE(options.count);
    auto original = sample_collection(options);
    const Bytes payload = encode_collection_columns(*original->state().read());
    ASSERT_TRUE(is_columns_payload(payload));
    if (options.count == 600) {
      auto state = original->state().read();
      ASSERT_GT(state->hnsw.max_level(), 0u);  // upper lists are covered
      ASSERT_TRUE(state->hnsw.has_raw_vectors());
      ASSERT_LT(state->documents.size(), 600u);
    }

    ColumnsProblem problem = ColumnsProblem::Other;
    auto from_memory = load_collection_columns(PayloadSource::of_memory(payload), true, [] { return true; }, problem);
    ASSERT_TRUE(from_memory.has_value()) << from_memory.error().message;
    EXPECT_EQ(from_memory->used, payload.size());
    EXPECT_EQ(from_memory->crc, crc32(payload));

    for (const EncryptionKey* k : {static_cast<const EncryptionKey*>(nullptr), key->get()}) {
      ASSERT_TRUE(save_collection(*original, dir_.string(), k).has_value());
      auto loaded = load_collection((dir_ / "sample.kvl").string(), k);
      ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
      expect_same_data(data_of(*original), data_of(**loaded));
      expect_same_graph_answers(*original, **loaded, options.dimension);
      auto a = original->state().read();
      auto b = (*loaded)->state().read();
      EXPECT_EQ(a->hnsw.has_huge_nodes(), b->hnsw.has_huge_nodes());
      EXPECT_EQ(b->metadata_index.live_count(), a->metadata_index.live_count());
      EXPECT_EQ(b->metadata_index.field_count(), a->metadata_index.field_count());
      for (std::uint32_t n = 0; n < a->hnsw.node_count(); ++n) {
        ASSERT_EQ(a->hnsw.norm_sq_of(n), b->hnsw.norm_sq_of(n));
        ASSERT_EQ(a->hnsw.code_sum_of(n), b->hnsw.code_sum_of(n));
      }
    }
  }
}

TEST_F(SnapshotColumnsTest, OlderPayloadsOpenBesideNewOnesAndGiveTheSameCollection) {
  auto original = sample_collection({.count = 50, .dimension = 16});
  const fs::path older = write("older.kvl", plain_file(encode_collection(*original->state().read())));
  const fs::path newer = write("newer.kvl", plain_file(encode_collection_columns(*original->state().read())));
  auto a = load_collection(older.string(), nullptr);
  auto b = load_collection(newer.string(), nullptr);
  ASSERT_TRUE(a && b);
  expect_same_data(data_of(**a), data_of(**b));
  expect_same_data(data_of(*original), data_of(**b));
  expect_same_graph_answers(**a, **b, 16);
}

// Byte positions inside a one-group payload of `nc` nodes of `dim` codes.
struct Layout {
  std::size_t head_end;  // the head's last byte + 1
  std::size_t levels;    // node columns
  std::size_t deleted;
  std::size_t counts;
  std::size_t level0_ids;  // group 0's level-0 ids
};
Layout layout_of(const Bytes& payload, std::size_t nc, std::size_t dim) {
  std::uint64_t head_length;
  std::memcpy(&head_length, payload.data() + 8, 8);
  Layout at{};
  at.head_end = 16 + static_cast<std::size_t>(head_length);
  at.levels = at.head_end;
  at.deleted = at.levels + nc;
  at.counts = at.deleted + nc;
  at.level0_ids = at.counts + 4 * nc + 8 * nc + dim * nc;
  return at;
}

void put_u64(Bytes& b, std::size_t at, std::uint64_t v) { std::memcpy(b.data() + at, &v, 8); }
void put_u32(Bytes& b, std::size_t at, std::uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
std::size_t find(const Bytes& haystack, const Bytes& needle) {
  auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
  EXPECT_NE(it, haystack.end());
  return static_cast<std::size_t>(it - haystack.begin());
}

TEST_F(SnapshotColumnsTest, DamagedPayloadsAreRefusedWithTheirProblem) {
  constexpr std::size_t NC = 20;
  constexpr std::size_t DIM = 8;
  auto collection = sample_collection({.count = NC, .dimension = DIM});
  const Bytes good = encode_collection_columns(*collection->state().read());
  const Layout at = layout_of(good, NC, DIM);
  std::uint64_t record_bytes;
  std::uint64_t keyword_bytes;
  std::memcpy(&record_bytes, good.data() + at.head_end - 16, 8);
  std::memcpy(&keyword_bytes, good.data() + at.head_end - 8, 8);
  const std::size_t ids = good.size() - keyword_bytes - record_bytes - 24 * NC;
  const Uuid second = collection->state().read()->internal_to_uuid[1];
  ASSERT_EQ(Bytes(good.begin() + static_cast<std::ptrdiff_t>(ids) + 16, good.begin() + static_cast<std::ptrdiff_t>(ids) + 32),
            Bytes(second.bytes.begin(), second.bytes.end()));
  const std::size_t offsets = ids + 16 * NC;
  const std::string text = "document number 1 about topic1";
  const std::size_t text_at = find(good, Bytes(text.begin(), text.end()));

  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    const char* expected;  // part of the message
    ColumnsProblem problem;
  };
  using enum ColumnsProblem;
  const std::vector<Case> cases = {
      {"head length", [&](Bytes& b) { put_u64(b, 8, 1ull << 40); }, "io error: failed to fill whole buffer", Undecodable},
      {"keyword bytes", [&](Bytes& b) { put_u64(b, at.head_end - 8, 1ull << 33); }, "io error: failed to fill whole buffer", Undecodable},
      {"record bytes", [&](Bytes& b) { put_u64(b, at.head_end - 16, 1ull << 62); }, "io error: failed to fill whole buffer", Undecodable},
      {"upper ids", [&](Bytes& b) { put_u64(b, at.head_end - 24, UINT64_MAX / 2); }, "io error: failed to fill whole buffer", Undecodable},
      {"group size", [&](Bytes& b) { put_u64(b, at.head_end - 33, 0); }, "node groups of 0 nodes", Undecodable},
      {"tombstone", [&](Bytes& b) { b[at.deleted + 3] = 2; }, "node 3 tombstone 2 is not 0 or 1", Inconsistent},
      {"level", [&](Bytes& b) { b[at.levels + 5] = 200; }, "node 5 level 200 > max_level", Inconsistent},
      {"level-0 count", [&](Bytes& b) { put_u32(b, at.counts, 0x7fffffff); }, "io error: failed to fill whole buffer", Undecodable},
      {"level-0 id", [&](Bytes& b) { put_u32(b, at.level0_ids, NC); },
       "neighbor 20 out of bounds (node_count=20) at node 0 layer 0", Inconsistent},
      {"repeated id", [&](Bytes& b) { std::memcpy(b.data() + ids + 32, b.data() + ids + 16, 16); },
       "internal_to_uuid holds an id more than once", Inconsistent},
      {"record offset", [&](Bytes& b) { put_u64(b, offsets + 8 * 1, 3); }, "document of slot 1 at offset 3 where 0 was expected", Inconsistent},
      {"record text", [&](Bytes& b) { b[text_at] = 0xff; }, "document of slot 1: text is not valid utf8", Inconsistent},
      {"record length", [&](Bytes& b) { b[text_at - 1] = 0x80; }, "document of slot 1: bad text length", Inconsistent},
  };
  for (const Case& c : cases) {
    Bytes damaged = good;
    c.damage(damaged);
    ColumnsProblem problem = Other;
    auto loaded = load_collection_columns(PayloadSource::of_memory(damaged), false, [] { return true; }, problem);
    ASSERT_FALSE(loaded.has_value()) << c.what;
    EXPECT_EQ(loaded.error().kind, ErrorKind::InvalidData) << c.what;
    EXPECT_EQ(problem, c.problem) << c.what;
    EXPECT_NE(loaded.error().message.find(c.expected), std::string::npos) << c.what << ": " << loaded.error().message;
    // As a bare file, and under a matching end marker: the loader's prefix.
    auto bare = load_collection(write("bare.kvl", damaged).string(), nullptr);
    ASSERT_FALSE(bare.has_value()) << c.what;
    EXPECT_NE(bare.error().message.find(c.expected), std::string::npos) << c.what << ": " << bare.error().message;
    auto plain = load_collection(write("plain.kvl", plain_file(damaged)).string(), nullptr);
    ASSERT_FALSE(plain.has_value()) << c.what;
    const std::string prefix = c.problem == Inconsistent ? "snapshot validation failed: " : "does not decode: ";
    EXPECT_NE(plain.error().message.find(prefix + c.expected), std::string::npos) << c.what << ": " << plain.error().message;
  }

  // Bytes after the payload: kept out of a bare file, allowed before a marker.
  Bytes longer = good;
  longer.push_back(0);
  auto bare = load_collection(write("bare.kvl", longer).string(), nullptr);
  ASSERT_FALSE(bare.has_value());
  EXPECT_NE(bare.error().message.find("its contents end 1 bytes before the end of the file"), std::string::npos);
  EXPECT_TRUE(load_collection(write("plain.kvl", plain_file(longer)).string(), nullptr).has_value());

  // Every cut of the payload is refused, bare or under a matching marker.
  for (std::size_t cut = 0; cut < good.size(); cut += 7) {
    const Bytes part(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_FALSE(load_collection(write("cut.kvl", part).string(), nullptr).has_value()) << cut;
    EXPECT_FALSE(load_collection(write("cut.kvl", plain_file(part)).string(), nullptr).has_value()) << cut;
  }
}

TEST_F(SnapshotColumnsTest, AFlippedBitAnywhereInAPlainFileIsTheCrcError) {
  auto collection = sample_collection({.count = 30, .dimension = 8});
  const Bytes file = plain_file(encode_collection_columns(*collection->state().read()));
  // Positions in the head, the node columns, a group's codes and the tail.
  for (std::size_t at : {std::size_t{20}, file.size() / 3, file.size() / 2, file.size() - 20}) {
    Bytes damaged = file;
    damaged[at] ^= 0x04;
    auto loaded = load_collection(write("flipped.kvl", damaged).string(), nullptr);
    ASSERT_FALSE(loaded.has_value()) << at;
    EXPECT_EQ(loaded.error().message.rfind("Snapshot CRC32 mismatch", 0), 0u) << at << ": " << loaded.error().message;
  }
}

}  // namespace
}  // namespace karvalith
