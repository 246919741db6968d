#include "core/snapshot/snapshot_file.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "core/engine/collection_search.h"
#include "core/codec/crc32.h"
#include "core/files/file_io.h"
#include "core/engine/slots.h"
#include "core/quantization/scalar.h"
#include "core/snapshot/snapshot_columns.h"
#include "testing/fault_file_system.h"
#include "snapshot/snapshot_test_util.h"

namespace karvalith {
namespace {

namespace fs = std::filesystem;
using namespace snapshot_testing;
using Bytes = std::vector<std::uint8_t>;
using testing::FaultInjectingFileSystem;
using testing::FileFault;
using testing::FileOp;
using testing::ScopedFileFault;

constexpr const char* KEY_HEX = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
constexpr const char* OTHER_KEY_HEX = "ff0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

class SnapshotFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kv-snap-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    key_ = *EncryptionKey::from_hex(KEY_HEX);
    other_key_ = *EncryptionKey::from_hex(OTHER_KEY_HEX);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  Bytes read(const fs::path& path) {
    auto bytes = read_file(path);
    EXPECT_TRUE(bytes.has_value()) << (bytes ? "" : bytes.error().message);
    return bytes.value_or(Bytes{});
  }
  void write(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  void save_ok(const Collection& collection, const EncryptionKey* key = nullptr) {
    auto saved = save_collection(collection, dir_.string(), key);
    ASSERT_TRUE(saved.has_value()) << saved.error().message;
  }
  CollectionPtr load_ok(const fs::path& path, const EncryptionKey* key = nullptr) {
    auto loaded = load_collection(path.string(), key);
    EXPECT_TRUE(loaded.has_value()) << (loaded ? "" : loaded.error().message);
    return loaded.value_or(nullptr);
  }
  std::string load_error(const fs::path& path, const EncryptionKey* key = nullptr) {
    auto loaded = load_collection(path.string(), key);
    EXPECT_FALSE(loaded.has_value());
    if (loaded) return {};
    EXPECT_EQ(loaded.error().kind, ErrorKind::InvalidData) << loaded.error().message;
    return loaded.error().message;
  }
  std::set<std::string> files() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.insert(entry.path().filename().string());
    return names;
  }
  std::string quoted(const fs::path& path) const {
    std::string out(1, '"');
    out += path.string();
    out.push_back('"');
    return out;
  }

  fs::path dir_;
  EncryptionKeyPtr key_;
  EncryptionKeyPtr other_key_;
  FaultInjectingFileSystem files_;
};

std::uint32_t be32(const Bytes& b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}

std::string hex32(std::uint32_t v) {
  char buffer[11];
  std::snprintf(buffer, sizeof buffer, "0x%08x", v);
  return buffer;
}

// The same nearest neighbours, distances and documents for a set of queries.
void expect_same_answers(const Collection& a, const Collection& b, std::uint64_t dimension) {
  std::mt19937 rng(7);
  for (int q = 0; q < 20; ++q) {
    const std::vector<float> query = random_vector(rng, dimension);
    auto ra = a.state().read()->hnsw.knn_search(query, 10);
    auto rb = b.state().read()->hnsw.knn_search(query, 10);
    ASSERT_TRUE(ra.has_value() && rb.has_value());
    ASSERT_EQ(ra->size(), rb->size());
    for (std::size_t i = 0; i < ra->size(); ++i) {
      EXPECT_EQ((*ra)[i].id, (*rb)[i].id);
      EXPECT_EQ((*ra)[i].distance, (*rb)[i].distance);
    }
    SearchRequest request;
    request.embedding = query;
    request.k = 5;
    auto da = search(a, request);
    auto db = search(b, request);
    ASSERT_TRUE(da.has_value() && db.has_value());
    ASSERT_EQ(da->size(), db->size());
    for (std::size_t i = 0; i < da->size(); ++i) {
      EXPECT_EQ((*da)[i].document->id, (*db)[i].document->id);
      EXPECT_EQ((*da)[i].score, (*db)[i].score);
    }
  }
  SearchRequest keywords;
  keywords.text = "document topic3";
  const auto ka = *search(a, keywords);
  const auto kb = *search(b, keywords);
  ASSERT_EQ(ka.size(), kb.size());
  for (std::size_t i = 0; i < ka.size(); ++i) EXPECT_EQ(ka[i].score, kb[i].score);
}

TEST_F(SnapshotFileTest, PlainFileHasCrcTrailerAndLoadsIdentically) {
  auto original = sample_collection();
  save_ok(*original);
  const fs::path path = dir_ / "sample.kvl";
  const Bytes file = read(path);
  ASSERT_GT(file.size(), 8u);
  const Bytes payload(file.begin(), file.end() - 8);
  EXPECT_EQ(Bytes(file.end() - 8, file.end() - 4), (Bytes{'K', 'C', 'R', '1'}));
  EXPECT_EQ(be32(file, file.size() - 4), crc32(payload));
  EXPECT_EQ(payload, encode_collection_columns(*original->state().read()));

  auto loaded = load_ok(path);
  ASSERT_NE(loaded, nullptr);
  expect_same_data(decode_or_fail(encode_collection(*original->state().read())),
                   decode_or_fail(encode_collection(*loaded->state().read())));
  expect_same_answers(*original, *loaded, 8);

  // A key is not used for plain files; a bare payload loads too.
  ASSERT_NE(load_ok(path, key_.get()), nullptr);
  write(dir_ / "bare.kvl", payload);
  auto bare = load_ok(dir_ / "bare.kvl");
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->state().read()->documents.size(), original->state().read()->documents.size());
}

TEST_F(SnapshotFileTest, DirectoryAndFileModesAndNoTemporaryLeft) {
  auto collection = sample_collection({.count = 4, .name = "twice"});
  const fs::path nested = dir_ / "a" / "b";
  ASSERT_TRUE(save_collection(*collection, nested.string(), nullptr).has_value());
  ASSERT_TRUE(save_collection(*collection, nested.string(), nullptr).has_value());
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(nested)) names.insert(entry.path().filename().string());
  EXPECT_EQ(names, std::set<std::string>{"twice.kvl"});
  struct stat st{};
  ASSERT_EQ(::stat(nested.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((nested / "twice.kvl").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SnapshotFileTest, CorruptPlainFilesFailWithTheCrcMessage) {
  save_ok(*sample_collection({.count = 6}));
  const fs::path path = dir_ / "sample.kvl";
  const Bytes good = read(path);
  const std::uint32_t stored = be32(good, good.size() - 4);

  Bytes flipped = good;
  flipped[20] ^= 0x01;
  write(path, flipped);
  const Bytes payload(flipped.begin(), flipped.end() - 8);
  EXPECT_EQ(load_error(path), "Snapshot CRC32 mismatch: expected " + hex32(stored) + ", got " + hex32(crc32(payload)) +
                                  ". File may be corrupted: " + quoted(path));

  Bytes bad_trailer = good;
  bad_trailer.back() ^= 0x80;
  write(path, bad_trailer);
  EXPECT_EQ(load_error(path), "Snapshot CRC32 mismatch: expected " + hex32(stored ^ 0x80) + ", got " +
                                  hex32(stored) + ". File may be corrupted: " + quoted(path));
}

TEST_F(SnapshotFileTest, SealedFiles) {
  auto original = sample_collection({.count = 10, .rebuild = true});
  save_ok(*original, key_.get());
  const fs::path path = dir_ / "sample.kvl";
  const Bytes good = read(path);
  EXPECT_EQ(Bytes(good.begin(), good.begin() + 4), (Bytes{'K', 'C', 'E', '1'}));
  EXPECT_EQ(good.size(), 4 + encode_collection_columns(*original->state().read()).size() + 28);

  auto loaded = load_ok(path, key_.get());
  ASSERT_NE(loaded, nullptr);
  expect_same_answers(*original, *loaded, 8);

  EXPECT_EQ(load_error(path), "snapshot " + quoted(path) + " is encrypted but no encryption key was provided");
  EXPECT_EQ(load_error(path, other_key_.get()), "decryption failed: wrong key or corrupted data");
  Bytes flipped = good;
  flipped[good.size() / 2] ^= 0x10;
  write(path, flipped);
  EXPECT_EQ(load_error(path, key_.get()), "decryption failed: wrong key or corrupted data");
  write(path, Bytes(good.begin(), good.begin() + 4 + 27));
  EXPECT_EQ(load_error(path, key_.get()), "encrypted data too short: 27 bytes (minimum 28)");
  write(path, Bytes(good.begin(), good.end() - 1));
  EXPECT_EQ(load_error(path, key_.get()), "decryption failed: wrong key or corrupted data");
}

TEST_F(SnapshotFileTest, EveryTruncationOfAPlainFileFailsCleanlyOrLoads) {
  save_ok(*sample_collection({.count = 2, .dimension = 2, .delete_every = 2}));
  const fs::path path = dir_ / "sample.kvl";
  const Bytes good = read(path);
  const std::size_t payload_size = good.size() - 8;
  const fs::path cut_path = dir_ / "cut.kvl";
  const std::string no_marker = "snapshot " + quoted(cut_path) + " has no valid end marker";
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    write(cut_path, Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut)));
    auto loaded = load_collection(cut_path.string(), nullptr);
    if (cut == payload_size) {
      // Exactly the payload: a bare file.
      ASSERT_TRUE(loaded.has_value()) << loaded.error().message;
      continue;
    }
    ASSERT_FALSE(loaded.has_value()) << "cut at " << cut;
    const std::string& message = loaded.error().message;
    ASSERT_EQ(message.rfind(no_marker, 0), 0u) << message;
    if (cut < payload_size) {
      ASSERT_TRUE(message.ends_with("(io error: failed to fill whole buffer)")) << message;
    } else {
      // Part of the trailer is left: the payload does not reach the end.
      ASSERT_TRUE(message.ends_with("its contents end " + std::to_string(cut - payload_size) +
                                    " bytes before the end of the file"))
          << message;
    }
  }
}

TEST_F(SnapshotFileTest, ADamagedEndMarkerIsAnErrorNotABareFile) {
  save_ok(*sample_collection({.count = 3, .dimension = 2, .delete_every = 0}));
  const fs::path path = dir_ / "sample.kvl";
  const Bytes good = read(path);
  // Each byte of the trailer changed, then a payload byte as well: the
  // checksum is never skipped.
  for (std::size_t at = good.size() - 8; at < good.size(); ++at) {
    Bytes damaged = good;
    damaged[at] ^= 0x20;
    write(path, damaged);
    const std::string message = load_error(path);
    if (at < good.size() - 4) {
      EXPECT_EQ(message.rfind("snapshot " + quoted(path) + " has no valid end marker", 0), 0u) << message;
    } else {
      EXPECT_EQ(message.rfind("Snapshot CRC32 mismatch", 0), 0u) << message;
    }
    damaged[10] ^= 0x01;
    write(path, damaged);
    EXPECT_FALSE(load_collection(path.string(), nullptr).has_value()) << "trailer byte " << at;
  }
  // Garbage names the file, and the decoder's words are not all it says.
  write(path, Bytes(40, 0x07));
  const std::string garbage = load_error(path);
  EXPECT_NE(garbage.find(quoted(path)), std::string::npos) << garbage;
  // A FIFO is refused without blocking.
  ASSERT_EQ(::mkfifo((dir_ / "fifo.kvl").c_str(), 0600), 0);
  auto fifo = load_collection((dir_ / "fifo.kvl").string(), nullptr);
  ASSERT_FALSE(fifo.has_value());
  EXPECT_EQ(fifo.error().message, "cannot read snapshot " + quoted(dir_ / "fifo.kvl") + ": not a regular file");
}

TEST_F(SnapshotFileTest, RawVectorsDroppedWhenNotKeptAndValidationFailures) {
  auto collection = sample_collection({.count = 5, .dimension = 4, .delete_every = 0});
  CollectionData data = decode_or_fail(encode_collection(*collection->state().read()));
  ASSERT_FALSE(data.hnsw.raw_vectors.empty());
  data.hnsw.config.store_raw_vectors = false;
  data.hnsw.raw_vectors.resize(3);  // would fail validation if it were kept
  write(dir_ / "raw.kvl", encode_collection_data(data));
  auto loaded = load_ok(dir_ / "raw.kvl");
  ASSERT_NE(loaded, nullptr);
  EXPECT_FALSE(loaded->state().read()->hnsw.has_raw_vectors());

  data.hnsw.deleted.pop_back();
  write(dir_ / "short.kvl", encode_collection_data(data));
  EXPECT_EQ(load_error(dir_ / "short.kvl"), "snapshot validation failed: deleted length 4 != node_count 5");

  auto missing = load_collection((dir_ / "missing.kvl").string(), nullptr);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind, ErrorKind::Io);
  EXPECT_EQ(missing.error().message,
            "cannot read snapshot " + quoted(dir_ / "missing.kvl") + ": No such file or directory (os error 2)");
}

TEST_F(SnapshotFileTest, UnsafeNamesStayInsideTheDirectoryOneToOne) {
  const std::vector<std::string> names = {"",    ".",   "..",   "a/b",   ".hidden",    "x%y",  std::string("a\0b", 3),
                                          "%",   "%25", "%2E",  ".%2E",  "%2Ehidden", "a%2Fb", "plain", "with space",
                                          "a.b", "/",   "../x", "..kvl", "x.kvl",     "é"};
  std::set<std::string> images;
  for (const std::string& name : names) {
    const std::string file = snapshot_file_name(name);
    EXPECT_TRUE(images.insert(file).second) << "collision for " << file;
    EXPECT_TRUE(file.ends_with(".kvl")) << file;
    EXPECT_EQ(file.find('/'), std::string::npos) << file;
    EXPECT_EQ(file.find('\0'), std::string::npos) << file;
    EXPECT_NE(file.front(), '.') << file;
    EXPECT_EQ(fs::path(file).extension(), ".kvl") << file;
  }
  EXPECT_EQ(snapshot_file_name("plain"), "plain.kvl");
  EXPECT_EQ(snapshot_file_name(""), "%.kvl");
  EXPECT_EQ(snapshot_file_name(".."), "%2E..kvl");
  EXPECT_EQ(snapshot_file_name("a/b"), "a%2Fb.kvl");
  EXPECT_EQ(snapshot_file_name(std::string("a\0b", 3)), "a%00b.kvl");
  EXPECT_EQ(snapshot_file_name("x%y"), "x%25y.kvl");

  // Each saves as one file directly inside the directory and loads back
  // under its real name.
  for (const std::string& name : names) {
    auto collection = std::make_shared<Collection>(name, 2, HnswConfig{});
    save_ok(*collection);
    auto loaded = load_ok(snapshot_path(dir_, name));
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->state().read()->name, name);
  }
  std::set<std::string> on_disk = files();
  EXPECT_EQ(on_disk, images);
  for (const auto& entry : fs::directory_iterator(dir_)) EXPECT_TRUE(entry.is_regular_file());
}

TEST_F(SnapshotFileTest, OverlongNameFailsWithTheSystemError) {
  auto collection = std::make_shared<Collection>(std::string(300, 'n'), 2, HnswConfig{});
  auto saved = save_collection(*collection, dir_.string(), nullptr);
  ASSERT_FALSE(saved.has_value());
  EXPECT_EQ(saved.error().kind, ErrorKind::Io);
  EXPECT_TRUE(saved.error().message.ends_with("failed while creating its temporary file: File name too long (os error 36)"))
      << saved.error().message;
  EXPECT_TRUE(files().empty());
}

TEST_F(SnapshotFileTest, FailedWriteSyncOrRenameKeepsTheOldSnapshot) {
  auto old_version = sample_collection({.count = 6});
  save_ok(*old_version);
  const fs::path path = dir_ / "sample.kvl";
  const Bytes before = read(path);
  auto new_version = sample_collection({.count = 12});

  const std::vector<FileFault> faults = {
      {FileOp::Write, ENOSPC},
      {FileOp::Write, EIO, 0, 1, true},
      {FileOp::Sync, EIO},
      {FileOp::Rename, EXDEV},
  };
  for (const FileFault& fault : faults) {
    {
      ScopedFileFault armed(files_, fault);
      auto saved = save_collection(*new_version, dir_.string(), nullptr, nullptr, nullptr, files_);
      ASSERT_FALSE(saved.has_value());
      EXPECT_EQ(saved.error().kind, ErrorKind::Io);
      // The message names the file and the step that failed.
      EXPECT_EQ(saved.error().message.rfind("writing snapshot " + quoted(path) + " failed while ", 0), 0u);
      EXPECT_TRUE(saved.error().message.ends_with(": " + os_error(fault.error).message)) << saved.error().message;
    }
    EXPECT_EQ(read(path), before);
    EXPECT_EQ(files(), std::set<std::string>{"sample.kvl"});
    auto loaded = load_ok(path);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->state().read()->internal_to_uuid.size(), 6u);
  }
  save_ok(*new_version);
  EXPECT_EQ(load_ok(path)->state().read()->internal_to_uuid.size(), 12u);
}

// The keyword answers, ids and scores, of a few queries.
std::vector<std::pair<Uuid, float>> keyword_answers(const Collection& collection) {
  std::vector<std::pair<Uuid, float>> out;
  for (const char* text : {"document topic3", "number 7", "topic1 topic2"}) {
    SearchRequest request;
    request.text = text;
    request.k = 6;
    auto found = search(collection, request);
    EXPECT_TRUE(found.has_value());
    if (!found) continue;
    for (const ScoredDocument& hit : *found) out.emplace_back(hit.document->id, hit.score);
  }
  return out;
}

SampleOptions keyword_only() {
  SampleOptions options;
  options.dimension = 0;
  return options;
}

TEST_F(SnapshotFileTest, KeywordOnlyCollectionsKeepNoGraphAndRoundTrip) {
  auto original = sample_collection(keyword_only());
  ASSERT_EQ(original->state().read()->internal_to_uuid.size(), 30u);
  EXPECT_EQ(original->state().read()->hnsw.node_count(), 0u);
  save_ok(*original);
  auto loaded = load_ok(dir_ / "sample.kvl");
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->state().read()->hnsw.node_count(), 0u);
  EXPECT_EQ(loaded->state().read()->internal_to_uuid.size(), 30u);
  EXPECT_EQ(loaded->live_ids(), original->live_ids());
  EXPECT_EQ(keyword_answers(*loaded), keyword_answers(*original));

  // Still writable after the load, and still without vectors to search.
  ASSERT_TRUE(loaded->insert_document(sample_document(99), {}).has_value());
  EXPECT_EQ(loaded->state().read()->hnsw.node_count(), 0u);
  SearchRequest vector;
  vector.embedding = std::vector<float>{};
  auto refused = search(*loaded, vector);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().message,
            "collection 'sample' has dimension 0 and keeps no vectors: search it by query_text alone");

  // Only dimension 0 may have slots without nodes.
  CollectionData data = decode_or_fail(encode_collection(*original->state().read()));
  ASSERT_EQ(validate(data), std::nullopt);
  data.dimension = 4;
  data.hnsw.dimension = 4;
  EXPECT_EQ(validate(data), "internal_to_uuid length 30 != node_count 0");
}

TEST_F(SnapshotFileTest, KeywordOnlyFilesWithANodePerSlotOpenWithoutThem) {
  // Collections of dimension 0 were once written with one empty-vector node
  // per slot; both formats of such a file open, and the nodes are dropped.
  const auto expected = sample_collection(keyword_only());
  CollectionState state("sample", 0, HnswConfig{});
  for (std::uint32_t n = 0; n < 30; ++n) {
    const Document document = sample_document(n);
    ASSERT_TRUE(place_in_next_slot(state, document.id, document.text, {}, QuantizedVector::quantize({})));
    state.documents.put(n, document.text, document.metadata);
  }
  for (std::uint32_t n = 0; n < 30; ++n) ASSERT_TRUE(state.hnsw.insert(n, {}, QuantizedVector::quantize({})));
  for (std::uint32_t n = 0; n < 30; n += 4) {
    retire_slot(state, n);  // the node's tombstone too
    state.documents.erase(n);
  }
  const Bytes first_format = encode_collection(state);
  EXPECT_EQ(decode_or_fail(first_format).hnsw.node_count, 30u);  // the nodes are in the file
  for (const Bytes& payload : {first_format, encode_collection_columns(state)}) {
    write(dir_ / "legacy.kvl", payload);
    auto loaded = load_ok(dir_ / "legacy.kvl");
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->state().read()->hnsw.node_count(), 0u);
    EXPECT_EQ(loaded->live_ids(), expected->live_ids());
    EXPECT_EQ(keyword_answers(*loaded), keyword_answers(*expected));
    ASSERT_TRUE(loaded->insert_document(sample_document(99), {}).has_value());
  }
}

}  // namespace
}  // namespace karvalith
