#include "core/files/posix_file_system.h"

#include "core/files/file_io.h"

namespace karvalith {
namespace {

class PosixWritableFile final : public WritableFile {
 public:
  explicit PosixWritableFile(FileHandle file) : file_(std::move(file)) {}

  Status append(std::span<const std::uint8_t> bytes) override { return file_.write_all(bytes); }
  Status sync() override { return file_.sync(); }
  Status truncate(std::uint64_t length) override { return file_.truncate(length); }
  Result<std::uint64_t> size() const override { return file_.size(); }
  Status require_regular() const override { return file_.require_regular(); }
  Status close() override { return file_.close(); }

 private:
  FileHandle file_;
};

}  // namespace

Result<std::unique_ptr<WritableFile>> PosixFileSystem::open_writable(const std::filesystem::path& path, int flags,
                                                                     mode_t mode) {
  auto file = FileHandle::open(path, flags, mode);
  if (!file) return std::unexpected(file.error());
  return std::make_unique<PosixWritableFile>(std::move(*file));
}

Status PosixFileSystem::rename(const std::filesystem::path& from, const std::filesystem::path& to) {
  return rename_path(from, to);
}

Status PosixFileSystem::remove(const std::filesystem::path& path) { return remove_file(path); }

Status PosixFileSystem::link(const std::filesystem::path& from, const std::filesystem::path& to) {
  return link_path(from, to);
}

Status PosixFileSystem::sync_directory(const std::filesystem::path& directory) {
  return karvalith::sync_directory(directory);
}

Status PosixFileSystem::create_directories(const std::filesystem::path& directory, mode_t mode) {
  return karvalith::create_directories(directory, mode);
}

Status PosixFileSystem::set_mode(const std::filesystem::path& path, mode_t mode) {
  return karvalith::set_mode(path, mode);
}

Result<std::vector<std::string>> PosixFileSystem::list(const std::filesystem::path& directory) {
  return list_directory(directory);
}

Result<DirectoryLock> PosixFileSystem::lock_directory(const std::filesystem::path& directory) {
  return DirectoryLock::acquire(directory);
}

FileSystem& default_file_system() {
  // Leaked on purpose: stores may still use it while statics are destroyed.
  static FileSystem* const posix = new PosixFileSystem();
  return *posix;
}

}  // namespace karvalith
