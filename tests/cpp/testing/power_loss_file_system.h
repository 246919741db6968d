// Power-loss simulation: a FileSystem that remembers, for one directory,
// what each file in it held at its last fsync and which names a directory
// fsync made durable. The `crash_at`-th write, fsync, ftruncate, rename,
// link, unlink or file creation there (counted from construction) is the
// moment of the cut: a write still reaches the file, the others do nothing,
// and that call and every later one there fail with EIO. apply() then
// rewrites the directory to what a disk would hold after the cut: only
// durable names, each with its last fsynced contents, except that bytes
// appended since are kept whole, torn at a random length, zero-filled, or
// dropped (chosen with `seed`). Calls outside the directory pass through.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "testing/file_system_wrapper.h"

namespace karvalith::testing {

struct PowerLossPlan {
  std::filesystem::path directory;
  std::uint64_t crash_at = 1;
  std::uint64_t seed = 0;
};

class PowerLossFileSystem final : public FileSystemWrapper {
 public:
  // What the directory holds now counts as durable.
  PowerLossFileSystem(FileSystem& target, const PowerLossPlan& plan);

  // True once the cut has happened.
  bool lost();
  // Rewrites the directory as described; from then on every call passes
  // through. Call once nothing in the directory is open any more.
  Status apply();

  Result<std::unique_ptr<WritableFile>> open_writable(const std::filesystem::path& path, int flags,
                                                      mode_t mode = 0) override;
  Status rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Status remove(const std::filesystem::path& path) override;
  Status link(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Status sync_directory(const std::filesystem::path& directory) override;
  Result<DirectoryLock> lock_directory(const std::filesystem::path& directory) override;

 private:
  friend class PowerLossFile;

  // Whether a call on `path` is one the simulation watches.
  bool watches(const std::filesystem::path& path) const;
  // Counts one operation that changes the disk; false (EIO) at and after the
  // cut. `at_cut` tells whether this very operation is the cut.
  bool step(bool* at_cut = nullptr);
  // The node of a file of the directory, added when new.
  std::size_t node_of(const std::string& name);

  std::mutex mutex_;
  bool armed_ = true;
  std::filesystem::path root_;
  std::uint64_t ops_ = 0;
  std::uint64_t crash_at_ = 0;
  bool crashed_ = false;
  std::uint64_t seed_ = 0;
  std::vector<std::vector<std::uint8_t>> synced_;  // by node: contents at the last fsync
  std::map<std::string, std::size_t> live_;        // name in the directory -> node
  std::map<std::string, std::size_t> durable_;     // as of the last directory fsync
};

}  // namespace karvalith::testing
