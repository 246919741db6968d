// Snapshot files written by an earlier version of the code (tests/cpp/snapshot/
// data, 60 documents with every metadata kind and every fifth deleted, one
// compact cosine collection and one euclidean collection with raw vectors).
// The in-memory graph layout may change; what a file holds and what a loaded
// file answers must not.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/files/file_io.h"
#include "core/snapshot/snapshot_codec.h"
#include "core/snapshot/snapshot_file.h"

namespace karvalith {
namespace {

const std::filesystem::path DATA = KARVALITH_TEST_DATA;

// The payload of a plain snapshot file: everything before the 8-byte trailer.
std::vector<std::uint8_t> payload_of(const std::filesystem::path& path) {
  auto bytes = read_file(path);
  EXPECT_TRUE(bytes.has_value());
  if (!bytes || bytes->size() < 8) return {};
  bytes->resize(bytes->size() - 8);
  return *bytes;
}

TEST(GoldenSnapshots, TheGraphEncodesToTheSameBytesAfterLoading) {
  for (const char* name : {"golden_compact", "golden_raw"}) {
    const auto path = DATA / (std::string(name) + ".kvl");
    auto data = decode_collection_data(payload_of(path));
    ASSERT_TRUE(data.has_value()) << name;
    ASSERT_EQ(validate(*data), std::nullopt) << name;
    const std::vector<std::uint8_t> stored_graph = encode_hnsw_parts(data->hnsw);

    auto loaded = load_collection(path.string(), nullptr);
    ASSERT_TRUE(loaded.has_value()) << name << ": " << loaded.error().message;
    auto state = (*loaded)->state().read();
    EXPECT_EQ(encode_hnsw_index(state->hnsw), stored_graph) << name;
    EXPECT_EQ(state->documents.size(), 48u);
    EXPECT_EQ(state->hnsw.node_count(), 60u);
  }
}

TEST(GoldenSnapshots, SavingALoadedFileGivesAFileThatDecodesToTheSameData) {
  const std::filesystem::path out = std::filesystem::temp_directory_path() / "kv-golden-resave";
  std::filesystem::remove_all(out);
  for (const char* name : {"golden_compact", "golden_raw"}) {
    const auto path = DATA / (std::string(name) + ".kvl");
    auto loaded = load_collection(path.string(), nullptr);
    ASSERT_TRUE(loaded.has_value());
    ASSERT_TRUE(save_collection(**loaded, out.string(), nullptr));
    auto before = decode_collection_data(payload_of(path));
    // The file written is of the current format: read back through the loader.
    auto resaved = load_collection((out / (std::string(name) + ".kvl")).string(), nullptr);
    ASSERT_TRUE(resaved.has_value()) << resaved.error().message;
    auto after = decode_collection_data(encode_collection(*(*resaved)->state().read()));
    ASSERT_TRUE(before && after);
    // Maps may come out in another order; the graph bytes may not.
    EXPECT_EQ(encode_hnsw_parts(after->hnsw), encode_hnsw_parts(before->hnsw)) << name;
    EXPECT_EQ(after->documents.size(), before->documents.size());
    EXPECT_EQ(after->internal_to_uuid, before->internal_to_uuid);
  }
  std::filesystem::remove_all(out);
}

}  // namespace
}  // namespace karvalith
