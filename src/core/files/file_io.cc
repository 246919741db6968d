#include "core/files/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

namespace karvalith {
namespace {

// strerror_r comes in a GNU flavour (returns the text) and an XSI one
// (fills the buffer); these overloads accept either.
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* strerror_text(const char* result, const char*) { return result; }

bool names_directory(const std::filesystem::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

Error os_error(int errnum) {
  char buffer[256] = {};
  const char* text = strerror_text(::strerror_r(errnum, buffer, sizeof buffer), buffer);
  return Error{ErrorKind::Io, std::string(text) + " (os error " + std::to_string(errnum) + ")"};
}

// ---- FileHandle ----

Result<FileHandle> FileHandle::open(const std::filesystem::path& path, int flags, mode_t mode) {
  for (;;) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return FileHandle(fd);
    if (errno != EINTR) return std::unexpected(os_error(errno));
  }
}

FileHandle::FileHandle(FileHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FileHandle::~FileHandle() {
  if (fd_ >= 0) ::close(fd_);
}

Status FileHandle::write_all(std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(os_error(errno));
    }
    if (written == 0) return make_error(ErrorKind::Io, "failed to write whole buffer");
    done += static_cast<std::size_t>(written);
  }
  return {};
}

Status FileHandle::sync() {
  while (::fsync(fd_) != 0) {
    if (errno != EINTR) return std::unexpected(os_error(errno));
  }
  return {};
}

Result<std::uint8_t*> FileHandle::map_private(std::uint64_t offset, std::size_t length) const {
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd_, static_cast<off_t>(offset));
  if (p == MAP_FAILED) return std::unexpected(os_error(errno));
  return static_cast<std::uint8_t*>(p);
}

Status FileHandle::truncate(std::uint64_t length) {
  while (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return std::unexpected(os_error(errno));
  }
  return {};
}

Result<std::uint64_t> FileHandle::size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return std::unexpected(os_error(errno));
  return static_cast<std::uint64_t>(st.st_size);
}

Status FileHandle::require_regular() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return std::unexpected(os_error(errno));
  if (!S_ISREG(st.st_mode)) return make_error(ErrorKind::Io, "not a regular file");
  return {};
}

Result<std::size_t> FileHandle::read_some(std::span<std::uint8_t> out) {
  for (;;) {
    const ssize_t got = ::read(fd_, out.data(), out.size());
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return std::unexpected(os_error(errno));
  }
}

Result<std::size_t> FileHandle::read_at(std::uint64_t offset, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(os_error(errno));
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

Status FileHandle::close() {
  const int fd = fd_;
  fd_ = -1;
  // Linux releases the descriptor even when close reports EINTR: never retry.
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return std::unexpected(os_error(errno));
  return {};
}

// ---- path operations ----

Status rename_path(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(os_error(errno));
  return {};
}

Status remove_file(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return std::unexpected(os_error(errno));
  return {};
}

Status link_path(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::link(from.c_str(), to.c_str()) != 0) return std::unexpected(os_error(errno));
  return {};
}

Status sync_directory(const std::filesystem::path& directory) {
  auto dir = FileHandle::open(directory, O_RDONLY | O_DIRECTORY);
  if (!dir) return std::unexpected(dir.error());
  return dir->sync();
}

Result<std::vector<std::uint8_t>> read_file(const std::filesystem::path& path) {
  auto file = FileHandle::open(path, O_RDONLY | O_NONBLOCK);
  if (!file) return std::unexpected(file.error());
  if (auto regular = file->require_regular(); !regular) return std::unexpected(regular.error());
  auto size = file->size();
  if (!size) return std::unexpected(size.error());
  // The length is a hint: the file may change while it is read.
  std::vector<std::uint8_t> out(static_cast<std::size_t>(*size));
  std::size_t used = 0;
  for (;;) {
    if (used == out.size()) out.resize(out.size() + std::max<std::size_t>(4096, out.size() / 2));
    auto got = file->read_some(std::span(out).subspan(used));
    if (!got) return std::unexpected(got.error());
    if (*got == 0) break;
    used += *got;
  }
  out.resize(used);
  return out;
}

Status create_directories(const std::filesystem::path& directory, mode_t mode) {
  if (directory.empty()) return {};
  if (::mkdir(directory.c_str(), mode) == 0) return {};
  const int first_error = errno;
  if (first_error != ENOENT) {
    if (names_directory(directory)) return {};
    return std::unexpected(os_error(first_error));
  }
  const std::filesystem::path parent = directory.parent_path();
  if (parent == directory) return std::unexpected(os_error(first_error));
  if (auto made = create_directories(parent, mode); !made) return made;
  if (::mkdir(directory.c_str(), mode) == 0) return {};
  const int second_error = errno;
  if (names_directory(directory)) return {};
  return std::unexpected(os_error(second_error));
}

Status set_mode(const std::filesystem::path& path, mode_t mode) {
  if (::chmod(path.c_str(), mode) != 0) return std::unexpected(os_error(errno));
  return {};
}

Result<std::vector<std::string>> list_directory(const std::filesystem::path& directory) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(directory.c_str()));
  if (!dir) return std::unexpected(os_error(errno));
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return std::unexpected(os_error(errno));
      return names;
    }
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
}

}  // namespace karvalith
