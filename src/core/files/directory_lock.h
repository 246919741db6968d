// An exclusive advisory lock on a data directory (flock on DIR/LOCK), so two
// handles never append to the same log. flock belongs to the open file
// description: a second handle in the same process conflicts too.
#pragma once

#include <filesystem>

#include "core/common/result.h"
#include "core/files/file_io.h"

namespace karvalith {

inline constexpr const char* LOCK_FILE_NAME = "LOCK";

class DirectoryLock {
 public:
  // Creates DIR/LOCK (0600) if missing and locks it without waiting.
  // ErrorKind::Io "data directory '{dir}' is in use by another Karvalith
  // handle" when someone else holds it; the system's error otherwise.
  static Result<DirectoryLock> acquire(const std::filesystem::path& directory);

  DirectoryLock(DirectoryLock&&) noexcept = default;
  DirectoryLock& operator=(DirectoryLock&&) noexcept = default;

 private:
  explicit DirectoryLock(FileHandle file) : file_(std::move(file)) {}
  FileHandle file_;  // closing it releases the lock
};

}  // namespace karvalith
