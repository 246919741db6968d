// Writes small valid inputs for the fuzzers, so each run starts from
// snapshots and log records that decode, not from empty bytes.
//   make_seed_corpus <snapshot-dir> <wal-dir>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/engine/collection.h"
#include "core/codec/crc32.h"
#include "core/snapshot/snapshot_codec.h"
#include "core/snapshot/snapshot_columns.h"
#include "core/wal/wal_entry.h"

using namespace karvalith;

namespace {

void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Document make_document(int i) {
  Metadata metadata;
  metadata.insert_or_assign("flag", MetadataValue(i % 2 == 0));
  metadata.insert_or_assign("rank", MetadataValue(std::int64_t{i}));
  metadata.insert_or_assign("weight", MetadataValue(0.25 * i));
  metadata.insert_or_assign("tag", MetadataValue(std::string("t") + std::to_string(i)));
  auto document = Document::create("alpha beta gamma document " + std::to_string(i), std::move(metadata));
  return std::move(*document);
}

std::vector<float> make_vector(int i) { return {0.1f * i, 1.0f - 0.1f * i, 0.5f, -0.25f * i}; }

std::vector<std::uint8_t> snapshot_of(bool raw_vectors, std::optional<ColumnsFormat> columns = std::nullopt,
                                      std::uint8_t walk_bits = 0) {
  HnswConfig config;
  config.walk_bits = walk_bits;
  config.m = 4;
  config.m_max0 = 8;
  config.ef_construction = 16;
  config.store_raw_vectors = raw_vectors;
  Collection collection("seed", 4, config);
  Uuid deleted{};
  for (int i = 0; i < 12; ++i) {
    Document document = make_document(i);
    if (i == 3) deleted = document.id;
    (void)collection.insert_document(std::move(document), make_vector(i));
  }
  collection.delete_document(deleted);
  auto state = collection.state().read();
  return columns ? encode_collection_columns(*state, *columns) : encode_collection(*state);
}

// One log record as it lies in wal.bin: big-endian length, CRC-32, payload.
void append_record(std::vector<std::uint8_t>& file, std::span<const std::uint8_t> payload) {
  const auto length = static_cast<std::uint32_t>(payload.size());
  const std::uint32_t check = crc32(payload);
  for (int shift = 24; shift >= 0; shift -= 8) file.push_back(static_cast<std::uint8_t>(length >> shift));
  for (int shift = 24; shift >= 0; shift -= 8) file.push_back(static_cast<std::uint8_t>(check >> shift));
  file.insert(file.end(), payload.begin(), payload.end());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::filesystem::path snapshots = argv[1];
  const std::filesystem::path logs = argv[2];
  std::filesystem::create_directories(snapshots);
  std::filesystem::create_directories(logs);

  write_file(snapshots / "compact", snapshot_of(false));
  write_file(snapshots / "raw", snapshot_of(true));
  write_file(snapshots / "columns_compact", snapshot_of(false, ColumnsFormat::Groups));
  write_file(snapshots / "columns_raw", snapshot_of(true, ColumnsFormat::Groups));
  write_file(snapshots / "blocks_compact", snapshot_of(false, ColumnsFormat::Blocks));
  write_file(snapshots / "blocks_raw", snapshot_of(true, ColumnsFormat::Blocks));
  write_file(snapshots / "walked_compact", snapshot_of(false, ColumnsFormat::Blocks, 2));
  write_file(snapshots / "walked_raw", snapshot_of(true, ColumnsFormat::Blocks, 1));

  const Document document = make_document(7);
  const std::vector<float> vector = make_vector(7);
  std::vector<PendingDocument> batch;
  batch.push_back(PendingDocument{make_document(8), make_vector(8)});
  batch.push_back(PendingDocument{make_document(9), make_vector(9)});
  const std::vector<std::vector<std::uint8_t>> entries = {
      encode_create_collection("seed", 4, HnswConfig{}),
      encode_create_collection("walked", 4, HnswConfig{.walk_bits = 2}),
      encode_insert_document("seed", document, vector),
      encode_batch_insert("seed", batch),
      encode_delete_document("seed", document.id),
      encode_update_document("seed", document.id, document, vector),
      encode_update_metadata("seed", document.id, document.metadata),
      encode_delete_documents("seed", std::vector<Uuid>{document.id, batch[0].document.id, batch[1].document.id}),
      encode_delete_collection("seed"),
  };
  std::vector<std::uint8_t> log;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    write_file(logs / ("entry" + std::to_string(i)), entries[i]);
    append_record(log, entries[i]);
  }
  write_file(logs / "log", log);
  return 0;
}
