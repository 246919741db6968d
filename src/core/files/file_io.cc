#include "core/files/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>

namespace karvalith {
namespace {

// ---- fault seam ----

struct FaultSlot {
  bool armed = false;
  FileFault fault{};
  std::uint32_t failed = 0;
};

std::atomic<bool> g_faults_armed{false};
std::mutex g_fault_mutex;
std::array<FaultSlot, 4> g_fault_slots;

struct FaultDecision {
  int error = 0;
  bool partial_write = false;
};

FaultDecision consult_armed(FileOp op) {
  std::lock_guard lock(g_fault_mutex);
  FaultSlot& slot = g_fault_slots[static_cast<std::size_t>(op)];
  if (!slot.armed) return {};
  if (slot.fault.succeed_first > 0) {
    --slot.fault.succeed_first;
    return {};
  }
  if (slot.fault.fail_count != 0 && slot.failed >= slot.fault.fail_count) return {};
  ++slot.failed;
  return {slot.fault.error, slot.fault.partial_write};
}

inline FaultDecision consult(FileOp op) {
  if (!g_faults_armed.load(std::memory_order_relaxed)) return {};
  return consult_armed(op);
}

// ---- power loss ----

struct PowerNode {
  std::vector<std::uint8_t> synced;  // contents at the last fsync
};

struct PowerState {
  std::filesystem::path root;
  std::uint64_t ops = 0;
  std::uint64_t crash_at = 0;
  bool crashed = false;
  std::uint64_t seed = 0;
  std::vector<PowerNode> nodes;
  std::map<std::string, std::size_t> live;     // name in root -> node
  std::map<std::string, std::size_t> durable;  // as of the last directory fsync
  std::map<int, std::size_t> files;            // open descriptor -> node
  std::set<int> directories;                   // open descriptors of root
};

std::atomic<bool> g_power_armed{false};
std::mutex g_power_mutex;
PowerState g_power;

bool in_root(const std::filesystem::path& path) {
  return path.lexically_normal().parent_path() == g_power.root;
}

// Counts one operation that changes the disk; false (EIO) at and after the
// cut. `at_cut` tells whether this very operation is the cut.
bool power_step(bool* at_cut = nullptr) {
  if (g_power.crashed) return false;
  if (++g_power.ops >= g_power.crash_at) {
    g_power.crashed = true;
    if (at_cut != nullptr) *at_cut = true;
    return false;
  }
  return true;
}

// The node a descriptor writes to, when it is a file of the directory;
// descriptors opened before arming are found by their path.
std::optional<std::size_t> power_node(int fd) {
  if (auto known = g_power.files.find(fd); known != g_power.files.end()) return known->second;
  if (g_power.directories.contains(fd)) return std::nullopt;
  std::error_code error;
  const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
  if (error || !in_root(path)) return std::nullopt;
  auto [at, added] = g_power.live.try_emplace(path.filename().string(), g_power.nodes.size());
  if (added) g_power.nodes.emplace_back();
  g_power.files[fd] = at->second;
  return at->second;
}

std::vector<std::uint8_t> read_fd(int fd) {
  std::vector<std::uint8_t> out;
  struct stat st;
  if (::fstat(fd, &st) != 0) return out;
  out.resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(done));
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  out.resize(done);
  return out;
}

std::vector<std::uint8_t> contents_of(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return {};
  std::vector<std::uint8_t> out = read_fd(fd);
  ::close(fd);
  return out;
}

// What the file behind a descriptor holds (which may be open write-only).
std::vector<std::uint8_t> contents_of_fd(int fd) { return contents_of("/proc/self/fd/" + std::to_string(fd)); }

void forget_descriptor(int fd) {
  if (fd < 0 || !g_power_armed.load(std::memory_order_relaxed)) return;
  std::lock_guard lock(g_power_mutex);
  g_power.files.erase(fd);
  g_power.directories.erase(fd);
}

// ---- helpers ----

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

}  // namespace

Error os_error(int errnum) {
  char buffer[256] = {};
  const char* text = strerror_text(::strerror_r(errnum, buffer, sizeof buffer), buffer);
  return Error{ErrorKind::Io, std::string(text) + " (os error " + std::to_string(errnum) + ")"};
}

void inject_file_fault(const FileFault& fault) {
  std::lock_guard lock(g_fault_mutex);
  g_fault_slots[static_cast<std::size_t>(fault.op)] = FaultSlot{true, fault, 0};
  g_faults_armed.store(true, std::memory_order_relaxed);
}

void clear_file_faults() {
  std::lock_guard lock(g_fault_mutex);
  g_fault_slots = {};
  g_faults_armed.store(false, std::memory_order_relaxed);
}

// ---- FileHandle ----

Result<FileHandle> FileHandle::open(const std::filesystem::path& path, int flags, mode_t mode) {
  std::unique_lock<std::mutex> power;
  bool tracked = false;
  if (g_power_armed.load(std::memory_order_relaxed)) {
    power = std::unique_lock(g_power_mutex);
    const bool directory = (flags & O_DIRECTORY) != 0 && path.lexically_normal() == g_power.root;
    tracked = directory || in_root(path);
    const bool creates = !directory && (flags & O_CREAT) != 0 && !g_power.live.contains(path.filename().string());
    const bool changes = creates || (flags & O_TRUNC) != 0;
    if (tracked && changes && !power_step()) return std::unexpected(os_error(EIO));
  }
  for (;;) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) {
      if (tracked) {
        if ((flags & O_DIRECTORY) != 0) {
          g_power.directories.insert(fd);
        } else {
          const std::string name = path.filename().string();
          auto [at, added] = g_power.live.try_emplace(name, g_power.nodes.size());
          if (added) g_power.nodes.emplace_back();
          g_power.files[fd] = at->second;
        }
      }
      return FileHandle(fd);
    }
    if (errno != EINTR) return std::unexpected(os_error(errno));
  }
}

FileHandle::FileHandle(FileHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    forget_descriptor(fd_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FileHandle::~FileHandle() {
  forget_descriptor(fd_);
  if (fd_ >= 0) ::close(fd_);
}

Status FileHandle::write_all(std::span<const std::uint8_t> bytes) {
  if (g_power_armed.load(std::memory_order_relaxed)) {
    std::lock_guard power(g_power_mutex);
    bool at_cut = false;
    if (power_node(fd_) && !power_step(&at_cut)) {
      // The cut comes during this write: it reaches the file, unsynced.
      if (at_cut && !bytes.empty()) {
        [[maybe_unused]] ssize_t ignored = ::write(fd_, bytes.data(), bytes.size());
      }
      return std::unexpected(os_error(EIO));
    }
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t left = bytes.size() - done;
    if (const FaultDecision fault = consult(FileOp::Write); fault.error != 0) {
      if (fault.partial_write && left > 1) {
        [[maybe_unused]] ssize_t ignored = ::write(fd_, bytes.data() + done, left / 2);
      }
      return std::unexpected(os_error(fault.error));
    }
    const ssize_t written = ::write(fd_, bytes.data() + done, left);
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
  if (const FaultDecision fault = consult(FileOp::Sync); fault.error != 0) {
    return std::unexpected(os_error(fault.error));
  }
  std::unique_lock<std::mutex> power;
  bool tracked = false;
  if (g_power_armed.load(std::memory_order_relaxed)) {
    power = std::unique_lock(g_power_mutex);
    tracked = power_node(fd_).has_value() || g_power.directories.contains(fd_);
    if (tracked && !power_step()) return std::unexpected(os_error(EIO));
  }
  while (::fsync(fd_) != 0) {
    if (errno != EINTR) return std::unexpected(os_error(errno));
  }
  if (tracked) {
    if (g_power.directories.contains(fd_)) {
      g_power.durable = g_power.live;
    } else {
      g_power.nodes[g_power.files[fd_]].synced = contents_of_fd(fd_);
    }
  }
  return {};
}

Status FileHandle::truncate(std::uint64_t length) {
  if (const FaultDecision fault = consult(FileOp::Truncate); fault.error != 0) {
    return std::unexpected(os_error(fault.error));
  }
  if (g_power_armed.load(std::memory_order_relaxed)) {
    std::lock_guard power(g_power_mutex);
    if (power_node(fd_) && !power_step()) return std::unexpected(os_error(EIO));
  }
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
  forget_descriptor(fd);
  // Linux releases the descriptor even when close reports EINTR: never retry.
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return std::unexpected(os_error(errno));
  return {};
}

// ---- path operations ----

// A change of names in the power-loss directory: counted, and mirrored in
// the live names once it has been made. False at and after the cut.
bool power_names(const std::filesystem::path& path) {
  return !g_power_armed.load(std::memory_order_relaxed) || !in_root(path) || power_step();
}

Status rename_path(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (const FaultDecision fault = consult(FileOp::Rename); fault.error != 0) {
    return std::unexpected(os_error(fault.error));
  }
  std::unique_lock<std::mutex> power;
  if (g_power_armed.load(std::memory_order_relaxed)) power = std::unique_lock(g_power_mutex);
  if (!power_names(to)) return std::unexpected(os_error(EIO));
  if (::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(os_error(errno));
  if (power.owns_lock() && in_root(to)) {
    auto moved = g_power.live.find(from.filename().string());
    if (moved != g_power.live.end()) {
      g_power.live[to.filename().string()] = moved->second;
      g_power.live.erase(moved);
    }
  }
  return {};
}

Status remove_file(const std::filesystem::path& path) {
  std::unique_lock<std::mutex> power;
  if (g_power_armed.load(std::memory_order_relaxed)) power = std::unique_lock(g_power_mutex);
  if (!power_names(path)) return std::unexpected(os_error(EIO));
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return std::unexpected(os_error(errno));
  if (power.owns_lock()) g_power.live.erase(path.filename().string());
  return {};
}

Status link_path(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::unique_lock<std::mutex> power;
  if (g_power_armed.load(std::memory_order_relaxed)) power = std::unique_lock(g_power_mutex);
  if (!power_names(to)) return std::unexpected(os_error(EIO));
  if (::link(from.c_str(), to.c_str()) != 0) return std::unexpected(os_error(errno));
  if (power.owns_lock() && in_root(to)) {
    auto source = g_power.live.find(from.filename().string());
    if (source != g_power.live.end()) g_power.live[to.filename().string()] = source->second;
  }
  return {};
}

void arm_power_loss(const PowerLossPlan& plan) {
  std::lock_guard lock(g_power_mutex);
  g_power = PowerState{};
  g_power.root = std::filesystem::absolute(plan.directory).lexically_normal();
  g_power.crash_at = plan.crash_at;
  g_power.seed = plan.seed;
  // What is there now is durable.
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(g_power.root, ignored)) {
    if (!entry.is_regular_file(ignored)) continue;
    g_power.live[entry.path().filename().string()] = g_power.nodes.size();
    g_power.nodes.push_back(PowerNode{contents_of(entry.path())});
  }
  g_power.durable = g_power.live;
  g_power_armed.store(true, std::memory_order_relaxed);
}

bool power_lost() {
  std::lock_guard lock(g_power_mutex);
  return g_power.crashed;
}

Status apply_power_loss() {
  g_power_armed.store(false, std::memory_order_relaxed);
  std::lock_guard lock(g_power_mutex);
  std::mt19937_64 rng(g_power.seed);
  // What each live file holds now, before the directory is rewritten.
  std::map<std::size_t, std::vector<std::uint8_t>> now;
  for (const auto& [name, node] : g_power.live) now[node] = contents_of(g_power.root / name);
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(g_power.root, error)) {
    if (entry.is_regular_file(error)) std::filesystem::remove(entry.path(), error);
  }
  for (const auto& [name, node] : g_power.durable) {
    std::vector<std::uint8_t> bytes = g_power.nodes[node].synced;
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
    const int fd = ::open((g_power.root / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return std::unexpected(os_error(errno));
    const ssize_t written = bytes.empty() ? 0 : ::write(fd, bytes.data(), bytes.size());
    ::close(fd);
    if (written != static_cast<ssize_t>(bytes.size())) return make_error(ErrorKind::Io, "rewriting after the power cut failed");
  }
  g_power = PowerState{};
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

}  // namespace karvalith
