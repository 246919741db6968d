// Snapshot throughput: encode, save (temp file, fsync, rename, directory
// fsync) and load (read, check, decode, validate, rebuild) of one collection,
// plain and sealed; the payload's load through the general decoder, the
// direct path (format 1) and the column reader (format 3, as saves write); a format-1 file's
// load beside the format-3 one.
//
//   snapshot_bench [documents=100000] [dimension=128] [repeats=3] [keep-dir]
//   snapshot_bench --open FILE [repeats=3] [key-hex]
//   snapshot_bench --open-in-place FILE [repeats=3]
//   snapshot_bench --synthetic DOCUMENTS DIMENSION DIR
//   snapshot_bench --resave FILE DIR [2]
// keep-dir, when given, receives the plain snapshot (bench.kvl). The second
// form loads an existing snapshot file (the third maps its graph blocks in
// place, as a handle's open does): wall and CPU seconds of
// each load, the resident bytes it keeps and the peak above the resident size
// before it (VmHWM, reset before each load). The third writes DIR/bench.kvl
// (format 3, as saves write), DIR/format2.kvl and DIR/older.kvl (format 1)
// of a collection shaped like a built one without the build: random codes, 16-32 random level-0
// neighbours, upper levels one node in 16, empty texts, no metadata, as in
// million_bench.py; its loads cost what a built graph's do. The fourth loads
// FILE and saves it into DIR in the format snapshots are written in now
// (DIR/FILE's name), or with "2" as DIR/format2.kvl in format 2.
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/engine/collection.h"
#include "core/sealing/crypto.h"
#include "core/codec/crc32.h"
#include <zlib.h>
#include "core/snapshot/snapshot_codec.h"
#include "core/snapshot/snapshot_columns.h"
#include "core/snapshot/snapshot_direct.h"
#include "core/snapshot/snapshot_file.h"

namespace {

using namespace karvalith;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

const char* const WORDS[] = {"vector", "search", "index",  "graph",  "query",  "memory", "storage", "snapshot",
                             "cosine", "layer",  "filter", "hybrid", "recall", "token",  "posting", "segment"};

CollectionPtr build(std::uint32_t count, std::uint64_t dimension) {
  auto collection = std::make_shared<Collection>("bench", dimension, HnswConfig{});
  std::mt19937 rng(3);
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> word(0, 15);
  std::vector<PendingDocument> batch;
  for (std::uint32_t n = 0; n < count; ++n) {
    std::string text;
    for (int w = 0; w < 8; ++w) {
      if (w) text.push_back(' ');
      text += WORDS[word(rng)];
    }
    Metadata metadata;
    metadata.insert_or_assign("n", MetadataValue(static_cast<std::int64_t>(n)));
    metadata.insert_or_assign("group", MetadataValue(std::string(WORDS[n % 16])));
    metadata.insert_or_assign("even", MetadataValue(n % 2 == 0));
    auto document = Document::create(std::move(text), std::move(metadata));
    std::vector<float> embedding(dimension);
    for (float& x : embedding) x = normal(rng);
    if (!document || !collection->insert_document(std::move(*document), std::move(embedding))) {
      std::fprintf(stderr, "insert failed\n");
      std::exit(1);
    }
  }
  return collection;
}

struct Row {
  const char* what;
  double bytes;
  double best_seconds;
};

template <class Fn>
double best_of(int repeats, Fn&& fn) {
  double best = 1e30;
  for (int r = 0; r < repeats; ++r) {
    const auto start = Clock::now();
    fn();
    best = std::min(best, seconds_since(start));
  }
  return best;
}

// A /proc/self/status field in kB, as bytes.
double status_bytes(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::atof(line.c_str() + std::strlen(field)) * 1024.0;
  }
  return 0.0;
}

double cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int open_file(const char* path, int repeats, const char* key_hex, SnapshotReading reading) {
  EncryptionKeyPtr key;
  if (key_hex != nullptr) {
    auto parsed = EncryptionKey::from_hex(key_hex);
    if (!parsed) return 1;
    key = std::move(*parsed);
  }
  std::printf("%-6s %10s %10s %10s %14s %14s\n", "load", "wall s", "cpu s", "documents", "resident B", "peak B");
  for (int r = 0; r < repeats; ++r) {
    const double before = status_bytes("VmRSS:");
    { std::ofstream("/proc/self/clear_refs") << "5"; }  // VmHWM := VmRSS
    const double cpu = cpu_seconds();
    const auto start = Clock::now();
    auto loaded = load_collection(path, key.get(), nullptr, nullptr, reading);
    const double wall = seconds_since(start);
    const double used = cpu_seconds() - cpu;
    if (!loaded) {
      std::fprintf(stderr, "%s\n", loaded.error().message.c_str());
      return 1;
    }
    const auto documents = (*loaded)->state().read()->documents.size();
    std::printf("%-6d %10.3f %10.3f %10zu %14.0f %14.0f\n", r + 1, wall, used, documents,
                status_bytes("VmRSS:") - before, status_bytes("VmHWM:") - before);
  }
  return 0;
}

// A payload as a plain snapshot file writes it: its end marker and CRC after it.
void write_plain(const std::filesystem::path& path, std::vector<std::uint8_t> payload) {
  const std::uint32_t crc = crc32(payload);
  payload.insert(payload.end(), {'K', 'C', 'R', '1'});
  for (int shift = 24; shift >= 0; shift -= 8) payload.push_back(static_cast<std::uint8_t>(crc >> shift));
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
}

int synthetic(std::uint32_t count, std::uint64_t dimension, const std::string& directory) {
  std::mt19937 rng(5);
  CollectionData data;
  data.name = "bench";
  data.dimension = dimension;
  HnswParts& h = data.hnsw;
  h.dimension = dimension;
  h.node_count = count;
  h.vector_data.resize(static_cast<std::size_t>(count) * dimension);
  for (auto& c : h.vector_data) c = static_cast<std::uint8_t>(rng());
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  std::uniform_int_distribution<std::uint32_t> node(0, count - 1);
  std::uniform_int_distribution<std::size_t> degree(16, 32);
  h.vector_min.resize(count);
  h.vector_scale.resize(count);
  h.layers.resize(count);
  h.deleted.assign(count, 0);
  h.neighbors.resize(count);
  for (std::uint32_t n = 0; n < count; ++n) {
    h.vector_min[n] = -unit(rng);
    h.vector_scale[n] = unit(rng) / 128.0f;
    std::uint8_t level = 0;
    while (level < 8 && rng() % 16 == 0) ++level;
    h.layers[n] = level;
    h.neighbors[n].resize(level + 1);
    for (std::size_t l = 0; l <= level; ++l) {
      h.neighbors[n][l].resize(l == 0 ? degree(rng) : 16);
      for (auto& id : h.neighbors[n][l]) id = node(rng);
    }
    if (!h.entry_point || level > h.max_level) {
      h.entry_point = n;
      h.max_level = level;
    }
  }
  data.inverted_index.doc_lengths.assign(count, 0);
  data.inverted_index.doc_count = count;
  data.internal_to_uuid.resize(count);
  for (std::uint32_t n = 0; n < count; ++n) {
    Uuid& id = data.internal_to_uuid[n];
    for (auto& b : id.bytes) b = static_cast<std::uint8_t>(rng());
    std::memcpy(id.bytes.data(), &n, sizeof n);  // distinct
    data.uuid_to_internal.emplace(id, n);
    data.documents.emplace(id, std::make_shared<const Document>(Document{id, {}, {}}));
  }
  if (auto problem = validate(data)) {
    std::fprintf(stderr, "%s\n", problem->c_str());
    return 1;
  }
  std::vector<std::uint8_t> older = encode_collection_data(data);
  CollectionPtr collection = build_collection(std::move(data));
  if (auto saved = save_collection(*collection, directory, nullptr); !saved) {
    std::fprintf(stderr, "%s\n", saved.error().message.c_str());
    return 1;
  }
  write_plain(std::filesystem::path(directory) / "format2.kvl",
              encode_collection_columns(*collection->state().read(), ColumnsFormat::Groups));
  write_plain(std::filesystem::path(directory) / "older.kvl", std::move(older));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 4 && std::strcmp(argv[1], "--synthetic") == 0) {
    return synthetic(static_cast<std::uint32_t>(std::atol(argv[2])), static_cast<std::uint64_t>(std::atol(argv[3])),
                     argv[4]);
  }
  if (argc > 3 && std::strcmp(argv[1], "--resave") == 0) {
    auto loaded = load_collection(argv[2], nullptr);
    if (!loaded) {
      std::fprintf(stderr, "%s\n", loaded.error().message.c_str());
      return 1;
    }
    if (argc > 4 && std::strcmp(argv[4], "2") == 0) {
      write_plain(std::filesystem::path(argv[3]) / "format2.kvl",
                  encode_collection_columns(*(*loaded)->state().read(), ColumnsFormat::Groups));
      return 0;
    }
    if (auto saved = save_collection(**loaded, argv[3], nullptr); !saved) {
      std::fprintf(stderr, "%s\n", saved.error().message.c_str());
      return 1;
    }
    return 0;
  }
  if (argc > 2 && std::strcmp(argv[1], "--open") == 0) {
    return open_file(argv[2], argc > 3 ? std::atoi(argv[3]) : 3, argc > 4 ? argv[4] : nullptr, SnapshotReading::Copy);
  }
  if (argc > 2 && std::strcmp(argv[1], "--open-in-place") == 0) {
    return open_file(argv[2], argc > 3 ? std::atoi(argv[3]) : 3, nullptr, SnapshotReading::InPlace);
  }
  const std::uint32_t count = argc > 1 ? static_cast<std::uint32_t>(std::atoi(argv[1])) : 100000;
  const std::uint64_t dimension = argc > 2 ? static_cast<std::uint64_t>(std::atoi(argv[2])) : 128;
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 3;

  std::string pattern = (std::filesystem::temp_directory_path() / "kv-snapbench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  const std::filesystem::path dir = pattern;

  std::printf("building %u documents, d=%llu ...\n", count, static_cast<unsigned long long>(dimension));
  const auto build_start = Clock::now();
  CollectionPtr collection = build(count, dimension);
  std::printf("built in %.1f s\n\n", seconds_since(build_start));

  auto key = EncryptionKey::from_hex("7f3a9c0e5b2d4f6e8a1c3e5f7092b4d6f8a0c2e4f6081a3c5e7f9b1d3f5a7c9e");
  if (!key) return 1;
  const std::string plain_dir = (dir / "plain").string();
  const std::string sealed_dir = (dir / "sealed").string();
  const std::filesystem::path path = snapshot_path(plain_dir, "bench");
  const std::filesystem::path sealed_path = snapshot_path(sealed_dir, "bench");

  std::size_t payload_bytes = 0;
  std::vector<Row> rows;
  const double encode_s = best_of(repeats, [&] {
    auto state = collection->state().read();
    payload_bytes = encode_collection(*state).size();
  });
  rows.push_back({"encode payload", static_cast<double>(payload_bytes), encode_s});

  auto check = [](const Status& s) {
    if (!s) {
      std::fprintf(stderr, "%s\n", s.error().message.c_str());
      std::exit(1);
    }
  };
  const double save_plain = best_of(repeats, [&] { check(save_collection(*collection, plain_dir, nullptr)); });
  const double save_sealed = best_of(repeats, [&] { check(save_collection(*collection, sealed_dir, key->get())); });
  const auto file_bytes = static_cast<double>(std::filesystem::file_size(path));
  const auto sealed_bytes = static_cast<double>(std::filesystem::file_size(sealed_path));
  std::size_t loaded_docs = 0;
  auto load = [&](const std::filesystem::path& p, const EncryptionKey* k) {
    auto loaded = load_collection(p.string(), k);
    if (!loaded) {
      std::fprintf(stderr, "%s\n", loaded.error().message.c_str());
      std::exit(1);
    }
    loaded_docs = (*loaded)->state().read()->documents.size();
  };
  const double load_plain = best_of(repeats, [&] { load(path, nullptr); });
  const double load_sealed = best_of(repeats, [&] { load(sealed_path, key->get()); });
  if (loaded_docs != count) return 1;
  rows.push_back({"save plain", file_bytes, save_plain});
  rows.push_back({"save sealed", sealed_bytes, save_sealed});
  // The payload alone, through each path: decode + validate + build, and
  // the direct load.
  const std::vector<std::uint8_t> payload = encode_collection(*collection->state().read());
  const double payload_general = best_of(repeats, [&] {
    auto data = decode_collection_data(payload);
    if (!data || validate(*data)) std::exit(1);
    loaded_docs = build_collection(std::move(*data))->state().read()->documents.size();
  });
  const double payload_direct = best_of(repeats, [&] {
    CollectionPtr loaded = load_collection_direct(payload, nullptr);
    if (!loaded) std::exit(1);
    loaded_docs = loaded->state().read()->documents.size();
  });
  const std::vector<std::uint8_t> columns = encode_collection_columns(*collection->state().read());
  const double payload_columns = best_of(repeats, [&] {
    ColumnsProblem problem = ColumnsProblem::Other;
    auto loaded = load_collection_columns(PayloadSource::of_memory(columns), false, [] { return true; }, problem);
    if (!loaded) std::exit(1);
    loaded_docs = loaded->collection->state().read()->documents.size();
  });
  // A format-1 file beside the format-3 one the save wrote.
  std::vector<std::uint8_t> older = payload;
  const std::uint32_t crc = crc32(older);
  older.insert(older.end(), {'K', 'C', 'R', '1'});
  for (int shift = 24; shift >= 0; shift -= 8) older.push_back(static_cast<std::uint8_t>(crc >> shift));
  const std::filesystem::path older_path = dir / "older.kvl";
  std::ofstream(older_path, std::ios::binary)
      .write(reinterpret_cast<const char*>(older.data()), static_cast<std::streamsize>(older.size()));
  const double load_older = best_of(repeats, [&] { load(older_path, nullptr); });
  std::uint32_t sink = 0;
  const double crc_folded = best_of(repeats, [&] { sink ^= crc32(columns); });
  const double crc_zlib = best_of(repeats, [&] {
    sink ^= static_cast<std::uint32_t>(::crc32(0, columns.data(), static_cast<uInt>(columns.size())));
  });
  if (sink == 1) std::printf("\n");  // keeps the sums
  rows.push_back({"crc32 (ours)", static_cast<double>(columns.size()), crc_folded});
  rows.push_back({"crc32 (zlib)", static_cast<double>(columns.size()), crc_zlib});
  rows.push_back({"payload general", static_cast<double>(payload.size()), payload_general});
  rows.push_back({"payload direct", static_cast<double>(payload.size()), payload_direct});
  rows.push_back({"payload columns", static_cast<double>(columns.size()), payload_columns});
  rows.push_back({"load plain v1", static_cast<double>(older.size()), load_older});
  rows.push_back({"load plain", file_bytes, load_plain});
  rows.push_back({"load sealed", sealed_bytes, load_sealed});

  std::printf("%u documents, d=%llu, best of %d\n", count, static_cast<unsigned long long>(dimension), repeats);
  std::printf("%-16s %12s %10s %10s\n", "operation", "bytes", "ms", "MB/s");
  for (const Row& row : rows) {
    std::printf("%-16s %12.0f %10.1f %10.1f\n", row.what, row.bytes, row.best_seconds * 1e3,
                row.bytes / 1e6 / row.best_seconds);
  }
  if (argc > 4) check(save_collection(*collection, argv[4], nullptr));
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
