// Fault injection: a FileSystem whose write, fsync (of files and
// directories), rename and ftruncate calls fail with a chosen errno from the
// Nth call on, with every other call passed to the wrapped one.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "testing/file_system_wrapper.h"

namespace karvalith::testing {

enum class FileOp : std::uint8_t { Write, Sync, Rename, Truncate };

struct FileFault {
  FileOp op;
  int error;                        // errno reported, e.g. ENOSPC or EIO
  std::uint32_t succeed_first = 0;  // calls of `op` that still succeed
  std::uint32_t fail_count = 1;     // failing calls after those; 0 = every later call
  bool partial_write = false;       // Write: put half the bytes on disk before failing
};

class FaultInjectingFileSystem final : public FileSystemWrapper {
 public:
  explicit FaultInjectingFileSystem(FileSystem& target = default_file_system()) : FileSystemWrapper(target) {}

  // Arms `fault`, replacing any fault armed for the same op.
  void inject(const FileFault& fault);
  void clear();

  Result<std::unique_ptr<WritableFile>> open_writable(const std::filesystem::path& path, int flags,
                                                      mode_t mode = 0) override;
  Status rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Status sync_directory(const std::filesystem::path& directory) override;

  // The errno the next call of `op` fails with (0: it succeeds), counting
  // the call; whether a failing write puts half its bytes on disk.
  struct Decision {
    int error = 0;
    bool partial_write = false;
  };
  Decision consult(FileOp op);

 private:
  struct Slot {
    bool armed = false;
    FileFault fault{};
    std::uint32_t failed = 0;
  };
  std::mutex mutex_;
  std::array<Slot, 4> slots_;
};

// Arms a fault for one scope; clears every fault when it goes.
class ScopedFileFault {
 public:
  ScopedFileFault(FaultInjectingFileSystem& files, const FileFault& fault) : files_(files) { files_.inject(fault); }
  ~ScopedFileFault() { files_.clear(); }
  ScopedFileFault(const ScopedFileFault&) = delete;
  ScopedFileFault& operator=(const ScopedFileFault&) = delete;

 private:
  FaultInjectingFileSystem& files_;
};

}  // namespace karvalith::testing
