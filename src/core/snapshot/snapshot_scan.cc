#include "core/snapshot/snapshot_scan.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <memory>

#include "core/files/file_io.h"
#include "core/snapshot/snapshot_file.h"

namespace karvalith {

bool has_snapshot_extension(std::string_view file_name) {
  const std::size_t dot = file_name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && file_name.substr(dot + 1) == "kvl";
}

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// Entry names in listing order, without "." and "..".
Result<std::vector<std::string>> list_directory(const std::string& directory) {
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

}  // namespace

Result<ScannedSnapshots> scan_snapshots(const std::string& directory, const EncryptionKey* key,
                                        Progress* progress) {
  ScannedSnapshots scanned;
  struct stat info;
  if (::stat(directory.c_str(), &info) != 0) return scanned;
  auto names = list_directory(directory);
  if (!names) return std::unexpected(names.error());
  ProgressPollOnly polls(progress);
  for (const std::string& name : *names) {
    if (!has_snapshot_extension(name)) continue;
    const std::string path = (std::filesystem::path(directory) / name).string();
    auto loaded = load_collection(path, key, nullptr, progress ? &polls : nullptr);
    if (!loaded && loaded.error().kind == ErrorKind::Cancelled) return std::unexpected(std::move(loaded.error()));
    const bool sealed = is_sealed_snapshot(path);
    if (loaded) {
      scanned.collections.push_back(std::move(*loaded));
      scanned.sealed_loaded = scanned.sealed_loaded || sealed;
    } else {
      scanned.unloadable.emplace(name, loaded.error().message);
      if (sealed) scanned.sealed_unloadable.push_back(name);
    }
  }
  return scanned;
}

}  // namespace karvalith
