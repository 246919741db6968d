// Log records: the entry decoder and the record reader must handle any bytes
// (torn, corrupt or hostile lengths) without a crash or an oversized
// allocation.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

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
  (void)read_records(log_path(), nullptr, [](std::span<const std::uint8_t> payload, std::uint64_t) {
    (void)decode_wal_entry(payload);
  });
  return 0;
}
