// Log records: the entry decoder and the record reader must handle any bytes
// (torn, corrupt or hostile lengths) without a crash or an oversized
// allocation, and the damage it reports must be consistent with what it reads.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "core/files/file_io.h"
#include "core/wal/wal.h"
#include "core/wal/wal_entry.h"

using namespace karvalith;

namespace {

const std::filesystem::path& log_path() {
  static const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("kv-wal-fuzz-" + std::to_string(::getpid()) + ".bin");
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  if (auto entry = decode_wal_entry(input)) {
    auto again = decode_wal_entry(encode_wal_entry(*entry));
    if (!again) __builtin_trap();  // what we write must decode
  }

  auto file = FileHandle::open(log_path(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!file || !file->write_all(input) || !file->close()) return 0;
  std::vector<std::uint64_t> recovered;
  auto stop = read_records(log_path(), nullptr, [&](std::span<const std::uint8_t> payload, std::uint64_t offset) {
    (void)decode_wal_entry(payload);
    recovered.push_back(offset);
  });
  if (!stop) return 0;

  // Resynchronising: the regions lie in order inside the file, apart from
  // each other and from the records visited, and the first is where
  // recovery stopped.
  std::vector<std::uint64_t> visited;
  std::uint64_t covered = 0;  // end of the last region or record
  bool first = true;
  auto resynced = read_records(
      log_path(), nullptr,
      [&](std::span<const std::uint8_t> payload, std::uint64_t offset) {
        if (offset < covered) __builtin_trap();
        covered = offset + WAL_HEADER_BYTES + payload.size();
        visited.push_back(offset);
      },
      [&](const WalDamage& damage) {
        if (damage.stops_recovery != first || damage.offset < covered || damage.length == 0 ||
            damage.offset + damage.length > size) {
          __builtin_trap();
        }
        if (first && damage.offset != stop->offset) __builtin_trap();
        first = false;
        covered = damage.offset + damage.length;
        return true;
      });
  if (!resynced) return 0;
  if (resynced->offset != stop->offset || resynced->reason != stop->reason) __builtin_trap();
  if (first != (stop->reason == WalStopReason::CleanEnd)) __builtin_trap();  // damage is reported
  if (visited.size() < recovered.size() || !std::equal(recovered.begin(), recovered.end(), visited.begin())) {
    __builtin_trap();
  }
  return 0;
}
