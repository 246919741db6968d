// A FileSystem that passes every call to another one: the base of the test
// doubles, which override the calls they interfere with.
#pragma once

#include "core/files/file_system.h"

namespace karvalith::testing {

class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : target_(target) {}

  FileSystem& target() const { return target_; }

  Result<std::unique_ptr<WritableFile>> open_writable(const std::filesystem::path& path, int flags,
                                                      mode_t mode = 0) override {
    return target_.open_writable(path, flags, mode);
  }
  Status rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
    return target_.rename(from, to);
  }
  Status remove(const std::filesystem::path& path) override { return target_.remove(path); }
  Status link(const std::filesystem::path& from, const std::filesystem::path& to) override {
    return target_.link(from, to);
  }
  Status sync_directory(const std::filesystem::path& directory) override { return target_.sync_directory(directory); }
  Status create_directories(const std::filesystem::path& directory, mode_t mode) override {
    return target_.create_directories(directory, mode);
  }
  Status set_mode(const std::filesystem::path& path, mode_t mode) override { return target_.set_mode(path, mode); }
  Result<std::vector<std::string>> list(const std::filesystem::path& directory) override {
    return target_.list(directory);
  }
  Result<DirectoryLock> lock_directory(const std::filesystem::path& directory) override {
    return target_.lock_directory(directory);
  }

 private:
  FileSystem& target_;
};

// A WritableFile that passes every call to another one.
class WritableFileWrapper : public WritableFile {
 public:
  explicit WritableFileWrapper(std::unique_ptr<WritableFile> target) : target_(std::move(target)) {}

  WritableFile& target() const { return *target_; }

  Status append(std::span<const std::uint8_t> bytes) override { return target_->append(bytes); }
  Status sync() override { return target_->sync(); }
  Status truncate(std::uint64_t length) override { return target_->truncate(length); }
  Result<std::uint64_t> size() const override { return target_->size(); }
  Status require_regular() const override { return target_->require_regular(); }
  Status close() override { return target_->close(); }

 private:
  std::unique_ptr<WritableFile> target_;
};

}  // namespace karvalith::testing
