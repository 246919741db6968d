#include "testing/power_loss_file_system.h"

#include <fcntl.h>

#include <algorithm>
#include <random>

#include "core/files/file_io.h"

namespace karvalith::testing {
namespace {

std::vector<std::uint8_t> contents_of(const std::filesystem::path& path) {
  return read_file(path).value_or(std::vector<std::uint8_t>{});
}

// What a file holds, read through a descriptor of its own.
std::vector<std::uint8_t> contents_of(FileHandle& file) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(file.size().value_or(0)));
  out.resize(file.read_at(0, out).value_or(0));
  return out;
}

}  // namespace

// A file of the watched directory. It keeps a read-only descriptor of the
// same file, which renames do not affect, to see what each fsync made durable.
class PowerLossFile final : public WritableFileWrapper {
 public:
  PowerLossFile(PowerLossFileSystem& files, std::unique_ptr<WritableFile> target, std::size_t node,
                FileHandle watcher)
      : WritableFileWrapper(std::move(target)), files_(files), node_(node), watcher_(std::move(watcher)) {}

  Status append(std::span<const std::uint8_t> bytes) override {
    {
      std::lock_guard lock(files_.mutex_);
      bool at_cut = false;
      if (files_.armed_ && !files_.step(&at_cut)) {
        // The cut comes during this write: it reaches the file, unsynced.
        if (at_cut && !bytes.empty()) (void)target().append(bytes);
        return std::unexpected(os_error(EIO));
      }
    }
    return target().append(bytes);
  }

  Status sync() override {
    std::lock_guard lock(files_.mutex_);
    if (!files_.armed_) return target().sync();
    if (!files_.step()) return std::unexpected(os_error(EIO));
    if (Status synced = target().sync(); !synced) return synced;
    files_.synced_[node_] = contents_of(watcher_);
    return {};
  }

  Status truncate(std::uint64_t length) override {
    {
      std::lock_guard lock(files_.mutex_);
      if (files_.armed_ && !files_.step()) return std::unexpected(os_error(EIO));
    }
    return target().truncate(length);
  }

 private:
  PowerLossFileSystem& files_;
  std::size_t node_;
  FileHandle watcher_;
};

PowerLossFileSystem::PowerLossFileSystem(FileSystem& target, const PowerLossPlan& plan)
    : FileSystemWrapper(target),
      root_(std::filesystem::absolute(plan.directory).lexically_normal()),
      crash_at_(plan.crash_at),
      seed_(plan.seed) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(root_, ignored)) {
    if (!entry.is_regular_file(ignored)) continue;
    live_[entry.path().filename().string()] = synced_.size();
    synced_.push_back(contents_of(entry.path()));
  }
  durable_ = live_;
}

bool PowerLossFileSystem::watches(const std::filesystem::path& path) const {
  return armed_ && path.lexically_normal().parent_path() == root_;
}

bool PowerLossFileSystem::step(bool* at_cut) {
  if (crashed_) return false;
  if (++ops_ >= crash_at_) {
    crashed_ = true;
    if (at_cut != nullptr) *at_cut = true;
    return false;
  }
  return true;
}

std::size_t PowerLossFileSystem::node_of(const std::string& name) {
  auto [at, added] = live_.try_emplace(name, synced_.size());
  if (added) synced_.emplace_back();
  return at->second;
}

bool PowerLossFileSystem::lost() {
  std::lock_guard lock(mutex_);
  return crashed_;
}

Result<std::unique_ptr<WritableFile>> PowerLossFileSystem::open_writable(const std::filesystem::path& path, int flags,
                                                                         mode_t mode) {
  std::lock_guard lock(mutex_);
  if (!watches(path)) return target().open_writable(path, flags, mode);
  const std::string name = path.filename().string();
  const bool creates = (flags & O_CREAT) != 0 && !live_.contains(name);
  if ((creates || (flags & O_TRUNC) != 0) && !step()) return std::unexpected(os_error(EIO));
  auto file = target().open_writable(path, flags, mode);
  if (!file) return std::unexpected(file.error());
  auto watcher = FileHandle::open(path, O_RDONLY | O_NONBLOCK);
  if (!watcher) return std::unexpected(watcher.error());
  return std::make_unique<PowerLossFile>(*this, std::move(*file), node_of(name), std::move(*watcher));
}

Status PowerLossFileSystem::rename(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::lock_guard lock(mutex_);
  if (!watches(to)) return target().rename(from, to);
  if (!step()) return std::unexpected(os_error(EIO));
  if (Status moved = target().rename(from, to); !moved) return moved;
  if (auto moved = live_.find(from.filename().string()); moved != live_.end()) {
    live_[to.filename().string()] = moved->second;
    live_.erase(moved);
  }
  return {};
}

Status PowerLossFileSystem::remove(const std::filesystem::path& path) {
  std::lock_guard lock(mutex_);
  if (!watches(path)) return target().remove(path);
  if (!step()) return std::unexpected(os_error(EIO));
  if (Status removed = target().remove(path); !removed) return removed;
  live_.erase(path.filename().string());
  return {};
}

Status PowerLossFileSystem::link(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::lock_guard lock(mutex_);
  if (!watches(to)) return target().link(from, to);
  if (!step()) return std::unexpected(os_error(EIO));
  if (Status linked = target().link(from, to); !linked) return linked;
  if (auto source = live_.find(from.filename().string()); source != live_.end()) {
    live_[to.filename().string()] = source->second;
  }
  return {};
}

Status PowerLossFileSystem::sync_directory(const std::filesystem::path& directory) {
  std::lock_guard lock(mutex_);
  if (!armed_ || directory.lexically_normal() != root_) return target().sync_directory(directory);
  if (!step()) return std::unexpected(os_error(EIO));
  if (Status synced = target().sync_directory(directory); !synced) return synced;
  durable_ = live_;
  return {};
}

Result<DirectoryLock> PowerLossFileSystem::lock_directory(const std::filesystem::path& directory) {
  std::lock_guard lock(mutex_);
  const std::filesystem::path lock_path = directory / LOCK_FILE_NAME;
  if (!watches(lock_path)) return target().lock_directory(directory);
  // Creating the lock file is a change of names.
  if (!live_.contains(LOCK_FILE_NAME) && !step()) {
    return make_error(ErrorKind::Io, "cannot lock data directory '" + directory.string() + "': opening '" +
                                         lock_path.string() + "': " + os_error(EIO).message);
  }
  auto locked = target().lock_directory(directory);
  if (locked) node_of(LOCK_FILE_NAME);
  return locked;
}

Status PowerLossFileSystem::apply() {
  std::lock_guard lock(mutex_);
  armed_ = false;
  std::mt19937_64 rng(seed_);
  // What each live file holds now, before the directory is rewritten.
  std::map<std::size_t, std::vector<std::uint8_t>> now;
  for (const auto& [name, node] : live_) now[node] = contents_of(root_ / name);
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(root_, error)) {
    if (entry.is_regular_file(error)) std::filesystem::remove(entry.path(), error);
  }
  for (const auto& [name, node] : durable_) {
    std::vector<std::uint8_t> bytes = synced_[node];
    auto current = now.find(node);
    if (current != now.end() && current->second.size() > bytes.size() &&
        std::equal(bytes.begin(), bytes.end(), current->second.begin())) {
      // Appended since the last fsync: whole, torn, zero-filled or gone.
      const std::size_t extra = current->second.size() - bytes.size();
      const std::size_t kept = static_cast<std::size_t>(rng() % (extra + 1));
      switch (rng() % 4) {
        case 0: bytes = current->second; break;
        case 1: bytes.insert(bytes.end(), current->second.begin() + static_cast<std::ptrdiff_t>(bytes.size()),
                             current->second.begin() + static_cast<std::ptrdiff_t>(bytes.size() + kept)); break;
        case 2: bytes.resize(bytes.size() + kept, 0); break;
        default: break;
      }
    }
    auto file = FileHandle::open(root_ / name, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!file) return std::unexpected(file.error());
    if (Status written = file->write_all(bytes); !written) {
      return make_error(ErrorKind::Io, "rewriting after the power cut failed");
    }
  }
  return {};
}

}  // namespace karvalith::testing
