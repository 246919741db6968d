// The file operations by which the durable layer (log writer, snapshot
// writing, checkpoints, the store's directory lock) changes the disk, behind
// one interface. Production passes the POSIX implementation
// (default_file_system()); tests wrap it to fail chosen calls or to simulate
// a power cut. Reading stays with file_io.h's plain helpers.
//
// Failures are file_io.h's: ErrorKind::Io with the system's text. An
// implementation must outlive everything opened through it, and may be used
// from several threads at once.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/common/result.h"
#include "core/files/directory_lock.h"

namespace karvalith {

// A file open for writing, closed when it goes.
class WritableFile {
 public:
  virtual ~WritableFile() = default;

  // Writes every byte at the file's position (its end when opened with
  // O_APPEND); "failed to write whole buffer" when a write accepts nothing.
  virtual Status append(std::span<const std::uint8_t> bytes) = 0;
  // fsync: the contents written so far survive a crash.
  virtual Status sync() = 0;
  virtual Status truncate(std::uint64_t length) = 0;
  virtual Result<std::uint64_t> size() const = 0;
  // ErrorKind::Io "not a regular file" unless it is one.
  virtual Status require_regular() const = 0;
  // Closes now and reports the result.
  virtual Status close() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // open(2) for writing: `flags` are open(2)'s (O_WRONLY or O_RDWR among
  // them; O_CLOEXEC is added), `mode` applies when O_CREAT creates the file.
  virtual Result<std::unique_ptr<WritableFile>> open_writable(const std::filesystem::path& path, int flags,
                                                              mode_t mode = 0) = 0;
  virtual Status rename(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // A missing file is fine.
  virtual Status remove(const std::filesystem::path& path) = 0;
  // A second name for the same file.
  virtual Status link(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  // fsync of a directory, so a rename or creation inside it is durable.
  virtual Status sync_directory(const std::filesystem::path& directory) = 0;
  // mkdir -p with `mode` (before the umask); an existing directory is fine.
  virtual Status create_directories(const std::filesystem::path& directory, mode_t mode) = 0;
  virtual Status set_mode(const std::filesystem::path& path, mode_t mode) = 0;
  // Entry names in listing order, without "." and "..".
  virtual Result<std::vector<std::string>> list(const std::filesystem::path& directory) = 0;
  // DirectoryLock::acquire's lock of a data directory (directory_lock.h).
  virtual Result<DirectoryLock> lock_directory(const std::filesystem::path& directory) = 0;
};

// The process's POSIX file system (posix_file_system.h); never destroyed.
FileSystem& default_file_system();

}  // namespace karvalith
