// A thin POSIX file layer for snapshots and the log. Every failure is an
// ErrorKind::Io error carrying the system's text, e.g.
// "No space left on device (os error 28)".
//
// Fault seam: tests can make the Nth and later write / fsync / rename /
// ftruncate calls fail with a chosen errno (see FileFault). When no fault is
// armed the check is one relaxed atomic load per call.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
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

// ---- fault injection (tests only) ----

enum class FileOp : std::uint8_t { Write, Sync, Rename, Truncate };

struct FileFault {
  FileOp op;
  int error;                      // errno reported, e.g. ENOSPC or EIO
  std::uint32_t succeed_first = 0;  // calls of `op` that still succeed
  std::uint32_t fail_count = 1;   // failing calls after those; 0 = every later call
  bool partial_write = false;     // Write: put half the bytes on disk before failing
};

// Arms `fault` (replacing any fault armed for the same op). Process-wide:
// meant for single-threaded tests.
void inject_file_fault(const FileFault& fault);
void clear_file_faults();

// ---- power loss (tests only) ----
//
// Simulates a power cut in one directory: from the moment it is armed, the
// file layer remembers what each file in `directory` held at its last fsync
// and which names a directory fsync made durable. The `crash_at`-th write,
// fsync, ftruncate, rename, link, unlink or file creation there is the
// moment of the cut: a write still reaches the file, the others do nothing,
// and that call and every later one there fail with EIO. apply_power_loss()
// then rewrites the directory to what a disk would hold after the cut: only
// durable names, each with its last fsynced contents, except that bytes
// appended since are kept whole, torn at a random length, zero-filled, or
// dropped (chosen with `seed`). Process-wide, single-threaded.
struct PowerLossPlan {
  std::filesystem::path directory;
  std::uint64_t crash_at = 1;
  std::uint64_t seed = 0;
};
void arm_power_loss(const PowerLossPlan& plan);
// True once the cut has happened.
bool power_lost();
// Rewrites the directory as described and disarms. Call once nothing in
// the directory is open any more.
Status apply_power_loss();

// Arms a fault for one scope.
class ScopedFileFault {
 public:
  explicit ScopedFileFault(const FileFault& fault) { inject_file_fault(fault); }
  ~ScopedFileFault() { clear_file_faults(); }
  ScopedFileFault(const ScopedFileFault&) = delete;
  ScopedFileFault& operator=(const ScopedFileFault&) = delete;
};

}  // namespace karvalith
