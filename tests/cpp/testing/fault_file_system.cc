#include "testing/fault_file_system.h"

#include <system_error>

#include "core/files/file_io.h"

namespace karvalith::testing {
namespace {

class FaultFile final : public WritableFileWrapper {
 public:
  FaultFile(FaultInjectingFileSystem& files, std::unique_ptr<WritableFile> target)
      : WritableFileWrapper(std::move(target)), files_(files) {}

  Status append(std::span<const std::uint8_t> bytes) override {
    if (bytes.empty()) return target().append(bytes);
    if (const auto fault = files_.consult(FileOp::Write); fault.error != 0) {
      if (fault.partial_write && bytes.size() > 1) (void)target().append(bytes.first(bytes.size() / 2));
      return std::unexpected(os_error(fault.error));
    }
    return target().append(bytes);
  }
  Status sync() override {
    if (const auto fault = files_.consult(FileOp::Sync); fault.error != 0) {
      return std::unexpected(os_error(fault.error));
    }
    return target().sync();
  }
  Status truncate(std::uint64_t length) override {
    if (const auto fault = files_.consult(FileOp::Truncate); fault.error != 0) {
      return std::unexpected(os_error(fault.error));
    }
    return target().truncate(length);
  }

 private:
  FaultInjectingFileSystem& files_;
};

}  // namespace

void FaultInjectingFileSystem::inject(const FileFault& fault) {
  std::lock_guard lock(mutex_);
  slots_[static_cast<std::size_t>(fault.op)] = Slot{true, fault, 0};
}

void FaultInjectingFileSystem::clear() {
  std::lock_guard lock(mutex_);
  slots_ = {};
}

FaultInjectingFileSystem::Decision FaultInjectingFileSystem::consult(FileOp op) {
  std::lock_guard lock(mutex_);
  Slot& slot = slots_[static_cast<std::size_t>(op)];
  if (!slot.armed) return {};
  if (slot.fault.succeed_first > 0) {
    --slot.fault.succeed_first;
    return {};
  }
  if (slot.fault.fail_count != 0 && slot.failed >= slot.fault.fail_count) return {};
  ++slot.failed;
  return {slot.fault.error, slot.fault.partial_write};
}

Result<std::unique_ptr<WritableFile>> FaultInjectingFileSystem::open_writable(const std::filesystem::path& path,
                                                                              int flags, mode_t mode) {
  auto file = target().open_writable(path, flags, mode);
  if (!file) return std::unexpected(file.error());
  return std::make_unique<FaultFile>(*this, std::move(*file));
}

Status FaultInjectingFileSystem::rename(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (const Decision fault = consult(FileOp::Rename); fault.error != 0) return std::unexpected(os_error(fault.error));
  return target().rename(from, to);
}

Status FaultInjectingFileSystem::sync_directory(const std::filesystem::path& directory) {
  // The fault is the fsync's: a directory that cannot be opened fails first.
  std::error_code error;
  if (!std::filesystem::is_directory(directory, error)) return target().sync_directory(directory);
  if (const Decision fault = consult(FileOp::Sync); fault.error != 0) return std::unexpected(os_error(fault.error));
  return target().sync_directory(directory);
}

}  // namespace karvalith::testing
