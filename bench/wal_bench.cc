// Write-ahead-log throughput: durable appends of encoded InsertDocument
// entries (one fsync each), and replay (read, check or open, decode).
//
//   wal_bench [appends=2000] [replay_records=100000] [dimension=128]
#include <fcntl.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/codec/crc32.h"
#include "core/sealing/crypto.h"
#include "core/files/file_io.h"
#include "core/wal/wal.h"
#include "core/wal/wal_entry.h"

namespace {

using namespace karvalith;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void die(const Error& error) {
  std::fprintf(stderr, "%s\n", error.message.c_str());
  std::exit(1);
}

std::vector<std::vector<std::uint8_t>> make_payloads(std::uint32_t count, std::uint64_t dimension) {
  std::mt19937 rng(5);
  std::normal_distribution<float> normal;
  std::vector<std::vector<std::uint8_t>> payloads;
  payloads.reserve(count);
  std::vector<float> embedding(dimension);
  for (std::uint32_t n = 0; n < count; ++n) {
    Metadata metadata;
    metadata.insert_or_assign("n", MetadataValue(static_cast<std::int64_t>(n)));
    metadata.insert_or_assign("source", MetadataValue(std::string("bench")));
    auto document = Document::create("log entry number " + std::to_string(n) + " with a short text", metadata);
    if (!document) die(document.error());
    for (float& x : embedding) x = normal(rng);
    payloads.push_back(encode_insert_document("bench", *document, embedding));
  }
  return payloads;
}

// A log file holding every payload, framed as the log frames records,
// written at once (no fsync per record) so replay can be measured on many.
void write_log(const std::filesystem::path& path, const std::vector<std::vector<std::uint8_t>>& payloads,
               const EncryptionKey* key) {
  std::vector<std::uint8_t> file;
  for (const auto& payload : payloads) {
    std::vector<std::uint8_t> body = payload;
    std::uint32_t check = crc32(payload);
    if (key != nullptr) {
      auto sealed = key->encrypt(payload);
      if (!sealed) die(sealed.error());
      body = std::move(*sealed);
      check = WAL_SEALED_CHECK;
    }
    const auto length = static_cast<std::uint32_t>(body.size());
    for (int s = 24; s >= 0; s -= 8) file.push_back(static_cast<std::uint8_t>(length >> s));
    for (int s = 24; s >= 0; s -= 8) file.push_back(static_cast<std::uint8_t>(check >> s));
    file.insert(file.end(), body.begin(), body.end());
  }
  auto handle = FileHandle::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!handle) die(handle.error());
  if (auto s = handle->write_all(file); !s) die(s.error());
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint32_t appends = argc > 1 ? static_cast<std::uint32_t>(std::atoi(argv[1])) : 2000;
  const std::uint32_t replay_records = argc > 2 ? static_cast<std::uint32_t>(std::atoi(argv[2])) : 100000;
  const std::uint64_t dimension = argc > 3 ? static_cast<std::uint64_t>(std::atoi(argv[3])) : 128;

  std::string pattern = (std::filesystem::temp_directory_path() / "kv-walbench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  const std::filesystem::path dir = pattern;
  auto key = EncryptionKey::from_hex("7f3a9c0e5b2d4f6e8a1c3e5f7092b4d6f8a0c2e4f6081a3c5e7f9b1d3f5a7c9e");
  if (!key) die(key.error());

  const auto payloads = make_payloads(std::max(appends, replay_records), dimension);
  std::printf("InsertDocument entries, d=%llu, %zu bytes encoded each\n\n", static_cast<unsigned long long>(dimension),
              payloads.front().size());
  std::printf("%-22s %10s %10s %12s %10s\n", "operation", "records", "seconds", "records/s", "MB/s");

  for (const bool sealed : {false, true}) {
    const EncryptionKey* k = sealed ? key->get() : nullptr;
    const std::filesystem::path path = dir / (sealed ? "sealed.bin" : "plain.bin");

    auto log = SyncWriteAheadLog::open(path, sealed ? *key : nullptr);
    if (!log) die(log.error());
    const auto start = Clock::now();
    for (std::uint32_t n = 0; n < appends; ++n) {
      if (auto s = (*log)->append_payload(payloads[n]); !s) die(s.error());
    }
    const double append_s = seconds_since(start);
    const double append_bytes = static_cast<double>((*log)->size());
    std::printf("%-22s %10u %10.2f %12.0f %10.2f\n", sealed ? "append+fsync sealed" : "append+fsync plain", appends,
                append_s, appends / append_s, append_bytes / 1e6 / append_s);
    log->reset();

    write_log(path, std::vector(payloads.begin(), payloads.begin() + replay_records), k);
    const double file_bytes = static_cast<double>(std::filesystem::file_size(path));
    std::uint64_t decoded = 0;
    const auto replay_start = Clock::now();
    auto stop = read_records(path, k, [&](std::span<const std::uint8_t> payload, std::uint64_t) {
      if (decode_wal_entry(payload)) ++decoded;
    });
    const double replay_s = seconds_since(replay_start);
    if (!stop) die(stop.error());
    if (decoded != replay_records) {
      std::fprintf(stderr, "replayed %llu of %u records\n", static_cast<unsigned long long>(decoded), replay_records);
      return 1;
    }
    std::printf("%-22s %10u %10.2f %12.0f %10.2f\n", sealed ? "replay sealed" : "replay plain", replay_records,
                replay_s, replay_records / replay_s, file_bytes / 1e6 / replay_s);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
