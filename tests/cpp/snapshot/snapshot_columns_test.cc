// Format-2 and format-3 snapshots: what a save writes and a load reads back
// (format 3's blocks mapped from the file in place), older payloads beside
// them, and damaged payloads refused with the loader's errors (never a read
// out of range: these run under the sanitizers too).
#include "core/snapshot/snapshot_columns.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <random>
#include <fstream>
#include <string>
#include <vector>

#include "core/codec/crc32.h"
#include "core/hnsw/graph_check.h"
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

void put_u64(Bytes& b, std::size_t at, std::uint64_t v) { std::memcpy(b.data() + at, &v, 8); }
void put_u32(Bytes& b, std::size_t at, std::uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

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
        SampleOptions{.count = 0},
        // Format 4: value rows of over a megabyte, mapped like the blocks.
        SampleOptions{.count = 1100, .dimension = 1024, .store_raw_vectors = false, .delete_every = 5,
                      .walk_bits = 2},
        SampleOptions{.count = 300, .dimension = 24, .rebuild = true, .walk_bits = 1},
        SampleOptions{.count = 0, .walk_bits = 2}}) {
    SCOPED_TRACE(std::to_string(options.count) + " nodes, walk bits " + std::to_string(options.walk_bits));
    auto original = sample_collection(options);
    const Bytes payload = encode_collection_columns(*original->state().read());
    ASSERT_TRUE(is_columns_payload(payload));
    EXPECT_EQ(payload[7], options.walk_bits != 0 ? '4' : '3');
    ASSERT_EQ(original->state().read()->hnsw.walk_bits(), options.walk_bits);
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
      // The walk codes as they were: bits, centre, blocks and value rows.
      EXPECT_EQ(b->hnsw.config(), a->hnsw.config());
      EXPECT_EQ(b->hnsw.walk_bits(), a->hnsw.walk_bits());
      EXPECT_EQ(b->hnsw.centred_at(), a->hnsw.centred_at());
      const BinaryView va = a->hnsw.binary_view(), vb = b->hnsw.binary_view();
      EXPECT_TRUE(std::ranges::equal(va.centre, vb.centre));
      const std::size_t blocks = std::size_t{a->hnsw.node_count()} * a->hnsw.block_bytes();
      ASSERT_GE(b->hnsw.block_array().size(), blocks);
      EXPECT_TRUE(std::equal(a->hnsw.block_array().begin(), a->hnsw.block_array().begin() + blocks,
                             b->hnsw.block_array().begin()));
      EXPECT_TRUE(std::ranges::equal(a->hnsw.value_array(), b->hnsw.value_array()));
    }
    if (options.walk_bits != 0 && options.count != 0) {
      // It keeps growing with walk codes, and a later save writes them again.
      ASSERT_TRUE(save_collection(*original, dir_.string(), nullptr).has_value());
      auto loaded = load_collection((dir_ / "sample.kvl").string(), nullptr);
      ASSERT_TRUE(loaded.has_value());
      std::mt19937 rng(5);
      for (std::uint32_t n = 0; n < 40; ++n) {
        ASSERT_TRUE((*loaded)->insert_document(sample_document(5000 + n), random_vector(rng, options.dimension)));
      }
      EXPECT_EQ((*loaded)->state().read()->hnsw.walk_bits(), options.walk_bits);
      ASSERT_TRUE(save_collection(**loaded, dir_.string(), nullptr).has_value());
      auto again = load_collection((dir_ / "sample.kvl").string(), nullptr);
      ASSERT_TRUE(again.has_value()) << again.error().message;
      expect_same_data(data_of(**loaded), data_of(**again));
      expect_same_graph_answers(**loaded, **again, options.dimension);
    }
  }
}

TEST_F(SnapshotColumnsTest, OlderPayloadsOpenBesideNewOnesAndGiveTheSameCollection) {
  auto original = sample_collection({.count = 50, .dimension = 16});
  auto state = original->state().read();
  const fs::path format1 = write("format1.kvl", plain_file(encode_collection(*state)));
  const fs::path format2 = write("format2.kvl", plain_file(encode_collection_columns(*state, ColumnsFormat::Groups)));
  const fs::path format3 = write("format3.kvl", plain_file(encode_collection_columns(*state)));
  auto newest = load_collection(format3.string(), nullptr);
  ASSERT_TRUE(newest.has_value()) << newest.error().message;
  expect_same_data(data_of(*original), data_of(**newest));
  for (const fs::path& older : {format1, format2}) {
    auto loaded = load_collection(older.string(), nullptr);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
    expect_same_data(data_of(**loaded), data_of(**newest));
    expect_same_graph_answers(**loaded, **newest, 16);
  }
}

// Whether a file is mapped into this process (its blocks read in place).
bool is_mapped(const fs::path& path) {
  std::ifstream maps("/proc/self/maps");
  const std::string name = fs::canonical(path).string();
  for (std::string line; std::getline(maps, line);) {
    if (line.size() >= name.size() && line.compare(line.size() - name.size(), name.size(), name) == 0) return true;
  }
  return false;
}

Bytes file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// 1200 nodes of 1024 dimensions: a block array over the 1 MiB from which
// it is mapped.
SampleOptions mapped_sample() { return {.count = 1200, .dimension = 1024, .store_raw_vectors = false, .delete_every = 5}; }

TEST_F(SnapshotColumnsTest, APlainFileIsReadInPlaceAndStaysUnchangedWhileTheCollectionGrows) {
  auto original = sample_collection(mapped_sample());
  ASSERT_TRUE(save_collection(*original, dir_.string(), nullptr).has_value());
  const fs::path path = dir_ / "sample.kvl";
  const Bytes saved = file_bytes(path);
  auto loaded = load_collection(path.string(), nullptr, nullptr, nullptr, SnapshotReading::InPlace);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
  ASSERT_TRUE(is_mapped(path));
  expect_same_data(data_of(*original), data_of(**loaded));
  expect_same_graph_answers(*original, **loaded, 1024);

  // Inserting changes lists in the mapped blocks and grows the array past
  // the mapping twice (moved, then copied once huge pages are asked for
  // after it). Every node keeps the codes the original has after the same
  // inserts, the graph stays well formed, and the file never changes.
  std::mt19937 rng(7);
  for (std::uint32_t n = 5000; n < 6200; ++n) {
    const std::vector<float> vector = random_vector(rng, 1024);
    ASSERT_TRUE((*loaded)->insert_document(sample_document(n), vector).has_value());
    ASSERT_TRUE(original->insert_document(sample_document(n), vector).has_value());
  }
  {
    auto a = original->state().read();
    auto b = (*loaded)->state().read();
    ASSERT_EQ(b->hnsw.node_count(), 2400u);
    EXPECT_EQ(b->documents.size(), a->documents.size());
    for (std::uint32_t n = 0; n < 2400; ++n) {
      ASSERT_EQ(std::memcmp(a->hnsw.codes_of(n), b->hnsw.codes_of(n), 1024), 0) << n;
      ASSERT_EQ(a->hnsw.norm_sq_of(n), b->hnsw.norm_sq_of(n)) << n;
    }
    EXPECT_EQ(graph_problem(b->hnsw.to_parts(), 1024), std::nullopt);
  }
  EXPECT_EQ(file_bytes(path), saved);

  // Saved over the file it was read from, then read again.
  ASSERT_TRUE(save_collection(**loaded, dir_.string(), nullptr).has_value());
  auto again = load_collection(path.string(), nullptr, nullptr, nullptr, SnapshotReading::InPlace);
  ASSERT_TRUE(again.has_value()) << again.error().message;
  expect_same_data(data_of(**loaded), data_of(**again));
  expect_same_graph_answers(**loaded, **again, 1024);
}

// Format 3, and format 4 with its walk codes in the blocks and the value rows
// after them.
TEST_F(SnapshotColumnsTest, DamagedBlocksAreRefusedWhetherMappedOrRead) {
  constexpr std::size_t NC = 1200;
  constexpr std::size_t DIM = 1024;
  for (const std::uint8_t bits : {0, 2}) {
    SCOPED_TRACE(bits);
    SampleOptions options = mapped_sample();
    options.walk_bits = bits;
    auto collection = sample_collection(options);
    auto state = collection->state().read();
    const Bytes good = encode_collection_columns(*state);
    std::uint64_t head_length;
    std::memcpy(&head_length, good.data() + 8, 8);
    const std::size_t head_end = 16 + static_cast<std::size_t>(head_length);
    const std::size_t fields_end = head_end - (bits != 0 ? 16 + 4 * DIM : 0);  // format 3's head fields end here
    const std::size_t blocks = (head_end + 2 * NC + 4095) / 4096 * 4096;
    const std::size_t stride = state->hnsw.block_bytes();
    // Where the level-0 count starts in a block: after the codes, min,
    // scale, norm and code sum, or after the bit planes and their terms.
    const std::size_t row = bits != 0 ? BinaryView::head_bytes(DIM, bits) : DIM + 16;
    auto block = [&](std::size_t n) { return blocks + n * stride; };
    const std::size_t values = bits != 0 ? (block(NC) + 4 + 4095) / 4096 * 4096 : 0;
    auto value_row = [&](std::size_t n) { return bits != 0 ? values + n * (DIM + 16) : block(n); };
    const std::uint32_t capacity = static_cast<std::uint32_t>(state->hnsw.level0_capacity());
    ASSERT_EQ(stride, bits != 0 ? 300u : 1068u);
    ASSERT_EQ(capacity, 8u);

    struct Case {
      const char* what;
      std::function<void(Bytes&)> damage;
      std::string expected;
    };
    std::vector<Case> cases = {
        {"row count", [&](Bytes& b) { put_u32(b, block(7) + row, capacity + 1); },
         "node 7 level-0 list of 9 ids exceeds its row of 8"},
        {"level-0 id", [&](Bytes& b) { std::memset(b.data() + block(3) + row + 4, 0xff, 3); },
         "neighbor 16777215 out of bounds (node_count=1200) at node 3 layer 0"},
        // The last id of a full row in the last block: read with the 4 bytes after the array.
        {"id in the last block",
         [&](Bytes& b) {
           put_u32(b, block(NC - 1) + row, capacity);
           std::memset(b.data() + block(NC - 1) + row + 4 + 3 * (capacity - 1), 0xff, 3);
         },
         "neighbor 16777215 out of bounds (node_count=1200) at node 1199 layer 0"},
        {"stride", [&](Bytes& b) { put_u64(b, fields_end - 8, stride + 4); },
         "blocks of " + std::to_string(stride + 4) + " bytes where the layout makes " + std::to_string(stride)},
        {"id width", [&](Bytes& b) { put_u64(b, fields_end - 16, 5); }, "level-0 id width 5 is not 3 or 4"},
        {"row capacity", [&](Bytes& b) { put_u64(b, fields_end - 24, 1ull << 40); },
         "level-0 rows of 1099511627776 ids"},
    };
    if (bits != 0) {
      cases.push_back({"no walk bits", [&](Bytes& b) { put_u64(b, fields_end, 0); }, "walk codes of 0 bits"});
      cases.push_back({"three walk bits", [&](Bytes& b) { put_u64(b, fields_end, 3); },
                       "invalid configuration: walk_bits must be 1, 2 or 8, got 3"});
      cases.push_back({"centred past the nodes", [&](Bytes& b) { put_u64(b, fields_end + 8, NC + 1); },
                       "walk codes centred at 1201 of 1200 nodes"});
    }
    for (const Case& c : cases) {
      Bytes damaged = good;
      c.damage(damaged);
      ColumnsProblem problem = ColumnsProblem::Other;
      auto read = load_collection_columns(PayloadSource::of_memory(damaged), true, [] { return true; }, problem);
      ASSERT_FALSE(read.has_value()) << c.what;
      EXPECT_EQ(problem, ColumnsProblem::Inconsistent) << c.what;
      EXPECT_NE(read.error().message.find(c.expected), std::string::npos) << c.what << ": " << read.error().message;
      // A plain file whose end marker matches: mapped where the layout allows.
      auto mapped = load_collection(write("damaged.kvl", plain_file(damaged)).string(), nullptr, nullptr, nullptr,
                                    SnapshotReading::InPlace);
      ASSERT_FALSE(mapped.has_value()) << c.what;
      EXPECT_NE(mapped.error().message.find("snapshot validation failed: " + c.expected), std::string::npos)
          << c.what << ": " << mapped.error().message;
    }
    // Cut anywhere in the arrays: the early-end error, never a read past them.
    for (const std::size_t cut : {blocks + 5, block(NC), values + 7, good.size() - 1}) {
      if (cut == 0 || cut >= good.size()) continue;
      ColumnsProblem problem = ColumnsProblem::Other;
      EXPECT_FALSE(load_collection_columns(PayloadSource::of_memory(std::span(good).first(cut)), true,
                                           [] { return true; }, problem)
                       .has_value())
          << cut;
    }

    // A stored norm or code sum that is not the one the codes give is derived
    // again (only that row's page is copied), so distances never use it.
    Bytes altered = good;
    const float wrong_norm = 1e6f;
    std::memcpy(altered.data() + value_row(10) + DIM + 8, &wrong_norm, 4);
    put_u32(altered, value_row(11) + DIM + 12, 12345);
    const fs::path path = write("altered.kvl", plain_file(altered));
    auto copied = load_collection(path.string(), nullptr);  // read in place only when asked to
    ASSERT_TRUE(copied.has_value()) << copied.error().message;
    EXPECT_FALSE(is_mapped(path));
    auto loaded = load_collection(path.string(), nullptr, nullptr, nullptr, SnapshotReading::InPlace);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
    EXPECT_TRUE(is_mapped(path));
    for (std::uint32_t n : {10u, 11u}) {
      EXPECT_EQ((*copied)->state().read()->hnsw.norm_sq_of(n), state->hnsw.norm_sq_of(n));
      EXPECT_EQ((*loaded)->state().read()->hnsw.norm_sq_of(n), state->hnsw.norm_sq_of(n));
      EXPECT_EQ((*loaded)->state().read()->hnsw.code_sum_of(n), state->hnsw.code_sum_of(n));
    }
    expect_same_graph_answers(*collection, **loaded, DIM);
  }
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

std::size_t find(const Bytes& haystack, const Bytes& needle) {
  auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
  EXPECT_NE(it, haystack.end());
  return static_cast<std::size_t>(it - haystack.begin());
}

TEST_F(SnapshotColumnsTest, DamagedPayloadsAreRefusedWithTheirProblem) {
  constexpr std::size_t NC = 20;
  constexpr std::size_t DIM = 8;
  auto collection = sample_collection({.count = NC, .dimension = DIM});
  const Bytes good = encode_collection_columns(*collection->state().read(), ColumnsFormat::Groups);
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
