// A thin POSIX file layer for snapshots and the log. Every failure is an
// ErrorKind::Io error carrying the system's text, e.g.
// "No space left on device (os error 28)".
//
// Reading goes through these directly. The durable layer changes files only
// through a FileSystem (file_system.h), whose POSIX implementation is built
// on these, so that tests can wrap it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "core/common/result.h"

namespace karvalith {

// ErrorKind::Io "<strerror text> (os error N)".
Error os_error(int errnum);

// An open file descriptor, closed when the handle goes.
class FileHandle {
 public:
  // open(2) with O_CLOEXEC added; `mode` applies when O_CREAT creates the file.
  static Result<FileHandle> open(const std::filesystem::path& path, int flags, mode_t mode = 0);

  FileHandle() = default;
  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle();

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Writes every byte, retrying on EINTR and continuing after short writes;
  // a write that accepts nothing fails with "failed to write whole buffer".
  Status write_all(std::span<const std::uint8_t> bytes);
  // fsync, retried on EINTR.
  Status sync();
  Status truncate(std::uint64_t length);
  Result<std::uint64_t> size() const;
  // ErrorKind::Io "not a regular file" unless the descriptor is one (so a
  // FIFO or device opened with O_NONBLOCK is refused before any read).
  Status require_regular() const;
  // One read, retried on EINTR; 0 at end of file.
  Result<std::size_t> read_some(std::span<std::uint8_t> out);
  // Fills `out` from `offset` (pread) unless the file ends first; returns the
  // bytes placed. Leaves the file position alone.
  Result<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> out);
  // Closes now and reports the result (the destructor closes silently).
  Status close();
  // A private, writable mapping of `length` bytes from `offset` (a multiple
  // of the page size): reads come from the file's cached pages, writes copy
  // the page they touch and never reach the file. The mapping outlives the
  // descriptor; the caller unmaps it (munmap).
  Result<std::uint8_t*> map_private(std::uint64_t offset, std::size_t length) const;

 private:
  explicit FileHandle(int fd) : fd_(fd) {}
  int fd_ = -1;
};

Status rename_path(const std::filesystem::path& from, const std::filesystem::path& to);
// unlink(2); a missing file is fine.
Status remove_file(const std::filesystem::path& path);
// link(2): a second name for the same file.
Status link_path(const std::filesystem::path& from, const std::filesystem::path& to);
// fsync of a directory, so a rename or creation inside it is durable.
Status sync_directory(const std::filesystem::path& directory);
// The whole file, read with one buffer sized from its length. Anything but a
// regular file is refused (ErrorKind::Io "not a regular file") without
// blocking on it.
Result<std::vector<std::uint8_t>> read_file(const std::filesystem::path& path);
// mkdir -p: creates `directory` and missing parents with `mode` (before the
// umask). An existing directory is fine; an existing non-directory is EEXIST.
Status create_directories(const std::filesystem::path& directory, mode_t mode);
Status set_mode(const std::filesystem::path& path, mode_t mode);
// Entry names in listing order, without "." and "..".
Result<std::vector<std::string>> list_directory(const std::filesystem::path& directory);

}  // namespace karvalith
