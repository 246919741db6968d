#include "core/snapshot/snapshot_scan.h"

#include <sys/stat.h>

#include <filesystem>

#include "core/snapshot/snapshot_file.h"

namespace karvalith {

bool has_snapshot_extension(std::string_view file_name) {
  const std::size_t dot = file_name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && file_name.substr(dot + 1) == "kvl";
}

Result<ScannedSnapshots> scan_snapshots(const std::string& directory, const EncryptionKey* key,
                                        Progress* progress, FileSystem& files) {
  ScannedSnapshots scanned;
  struct stat info;
  if (::stat(directory.c_str(), &info) != 0) return scanned;
  auto names = files.list(directory);
  if (!names) return std::unexpected(names.error());
  ProgressPollOnly polls(progress);
  for (const std::string& name : *names) {
    if (!has_snapshot_extension(name)) continue;
    const std::string path = (std::filesystem::path(directory) / name).string();
    // The store's own directory, locked while it is open: read in place.
    auto loaded = load_collection(path, key, nullptr, progress ? &polls : nullptr, SnapshotReading::InPlace);
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
