// Snapshot throughput: encode, save (temp file, fsync, rename, directory
// fsync) and load (read, check, decode, validate, rebuild) of one collection,
// plain and sealed; the payload's load through the general decoder and
// through the direct path.
//
//   snapshot_bench [documents=100000] [dimension=128] [repeats=3]
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/engine/collection.h"
#include "core/sealing/crypto.h"
#include "core/snapshot/snapshot_codec.h"
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

}  // namespace

int main(int argc, char** argv) {
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
  rows.push_back({"payload general", static_cast<double>(payload.size()), payload_general});
  rows.push_back({"payload direct", static_cast<double>(payload.size()), payload_direct});
  rows.push_back({"load plain", file_bytes, load_plain});
  rows.push_back({"load sealed", sealed_bytes, load_sealed});

  std::printf("%u documents, d=%llu, best of %d\n", count, static_cast<unsigned long long>(dimension), repeats);
  std::printf("%-16s %12s %10s %10s\n", "operation", "bytes", "ms", "MB/s");
  for (const Row& row : rows) {
    std::printf("%-16s %12.0f %10.1f %10.1f\n", row.what, row.bytes, row.best_seconds * 1e3,
                row.bytes / 1e6 / row.best_seconds);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
