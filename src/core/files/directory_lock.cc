#include "core/files/directory_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace karvalith {

namespace {

// 0 when locked, else the errno of flock.
int lock_now(const FileHandle& file) {
  int locked;
  do {
    locked = ::flock(file.fd(), LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  return locked == 0 ? 0 : errno;
}

}  // namespace

Result<DirectoryLock> DirectoryLock::acquire(const std::filesystem::path& directory) {
  const std::filesystem::path lock_path = directory / LOCK_FILE_NAME;
  auto in_use = [&] {
    return make_error(ErrorKind::Busy, "data directory '" + directory.string() +
                                           "' is in use by another Karvalith handle (it and its lock file '" +
                                           lock_path.string() + "' are locked)");
  };
  auto failed = [&](const std::string& what, const Error& error) {
    return make_error(ErrorKind::Io, "cannot lock data directory '" + directory.string() + "': " + what + ": " +
                                         error.message);
  };
  auto dir = FileHandle::open(directory, O_RDONLY | O_DIRECTORY);
  if (!dir) return failed("opening it", dir.error());
  if (const int error = lock_now(*dir); error != 0) {
    return error == EWOULDBLOCK ? in_use() : failed("locking it", os_error(error));
  }
  auto file = FileHandle::open(lock_path, O_RDWR | O_CREAT | O_NONBLOCK, 0600);
  if (!file) return failed("opening '" + lock_path.string() + "'", file.error());
  if (const int error = lock_now(*file); error != 0) {
    return error == EWOULDBLOCK ? in_use() : failed("locking '" + lock_path.string() + "'", os_error(error));
  }
  return DirectoryLock(std::move(*dir), std::move(*file));
}

}  // namespace karvalith
