#include "core/files/directory_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

namespace karvalith {

Result<DirectoryLock> DirectoryLock::acquire(const std::filesystem::path& directory) {
  auto file = FileHandle::open(directory / LOCK_FILE_NAME, O_RDWR | O_CREAT, 0600);
  if (!file) return std::unexpected(file.error());
  int locked;
  do {
    locked = ::flock(file->fd(), LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    if (errno == EWOULDBLOCK) {
      return make_error(ErrorKind::Io, "data directory '" + directory.string() +
                                           "' is in use by another Karvalith handle (lock file '" +
                                           (directory / LOCK_FILE_NAME).string() + "' is held)");
    }
    return std::unexpected(os_error(errno));
  }
  return DirectoryLock(std::move(*file));
}

}  // namespace karvalith
