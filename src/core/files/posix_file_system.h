// The FileSystem of production: file_io.h's POSIX calls, nothing else.
#pragma once

#include "core/files/file_system.h"

namespace karvalith {

class PosixFileSystem final : public FileSystem {
 public:
  Result<std::unique_ptr<WritableFile>> open_writable(const std::filesystem::path& path, int flags,
                                                      mode_t mode = 0) override;
  Status rename(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Status remove(const std::filesystem::path& path) override;
  Status link(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Status sync_directory(const std::filesystem::path& directory) override;
  Status create_directories(const std::filesystem::path& directory, mode_t mode) override;
  Status set_mode(const std::filesystem::path& path, mode_t mode) override;
  Result<std::vector<std::string>> list(const std::filesystem::path& directory) override;
  Result<DirectoryLock> lock_directory(const std::filesystem::path& directory) override;
};

}  // namespace karvalith
