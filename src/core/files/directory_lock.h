// An exclusive advisory lock on a data directory, so two handles never
// append to the same log. flock is taken on the directory itself, which
// deleting or replacing a file inside it cannot defeat, and on DIR/LOCK,
// which older handles lock. flock belongs to the open file description: a
// second handle in the same process conflicts too.
#pragma once

#include <filesystem>

#include "core/common/result.h"
#include "core/files/file_io.h"

namespace karvalith {

inline constexpr const char* LOCK_FILE_NAME = "LOCK";

class DirectoryLock {
 public:
  // Locks the directory and DIR/LOCK (created 0600 if missing) without
  // waiting. ErrorKind::Busy "data directory '{dir}' is in use by another
  // Karvalith handle" when someone else holds either; the system's error,
  // naming what failed, otherwise.
  static Result<DirectoryLock> acquire(const std::filesystem::path& directory);

  DirectoryLock(DirectoryLock&&) noexcept = default;
  DirectoryLock& operator=(DirectoryLock&&) noexcept = default;

 private:
  DirectoryLock(FileHandle directory, FileHandle file) : directory_(std::move(directory)), file_(std::move(file)) {}
  FileHandle directory_;  // closing them releases the lock
  FileHandle file_;
};

}  // namespace karvalith
