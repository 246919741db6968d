// save, load and compact: moving collections between memory and snapshots.
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "core/store/durable_database.h"
#include "core/files/file_io.h"
#include "core/snapshot/snapshot_file.h"

namespace karvalith {

namespace {

// The locks a checkpoint holds: appends wait until the truncation is done.
struct CheckpointLocks {
  std::unique_lock<std::shared_mutex> gate;
  std::unique_lock<std::shared_mutex> log;
};

CheckpointLocks lock_checkpoint(std::shared_mutex& gate, SyncWriteAheadLog* wal) {
  CheckpointLocks locks;
  if (wal) {
    locks.gate = std::unique_lock(gate);
    locks.log = std::unique_lock(wal->checkpoint_lock());
  }
  return locks;
}

// Keeps the kind when it already maps to a runtime failure.
ErrorKind runtime_kind(ErrorKind kind) {
  return kind == ErrorKind::Io || kind == ErrorKind::InvalidData ? kind : ErrorKind::Other;
}

}  // namespace

Status DurableDatabase::save(const std::string& collection_name, const std::optional<std::string>& path,
                             const EncryptionKey* key) {
  CollectionPtr collection = database_.get_collection(collection_name);
  if (!collection) return make_error(ErrorKind::NotFound, "collection '" + collection_name + "' not found");
  auto directory = checkpoint_directory(path);
  if (!directory) return std::unexpected(directory.error());
  const bool into_data_dir = is_data_dir(path);

  CheckpointLocks locks = lock_checkpoint(checkpoint_gate_, wal_.get());
  if (into_data_dir) {
    if (auto refused = protect_unloadable(collection_name)) return std::unexpected(*refused);
  }
  if (Status saved = save_collection(*collection, *directory, key ? key : key_.get()); !saved) return saved;
  if (!wal_ || !into_data_dir || !read_only_reason_.empty()) return {};
  {
    std::lock_guard changes(changes_mutex_);
    // The snapshot holds every logged change only if the log changed
    // nothing else (a deleted collection counts as changed).
    if (logged_unknown_) return {};
    for (const std::string& name : logged_collections_) {
      if (name != collection_name) return {};
    }
  }
  return truncate_log();
}

Status DurableDatabase::load(const std::string& name, const std::optional<std::string>& path,
                             const EncryptionKey* key) {
  auto directory = checkpoint_directory(path);
  if (!directory) return std::unexpected(directory.error());
  auto loaded = load_collection(snapshot_path(*directory, name).string(), key);
  if (!loaded) {
    return make_error(runtime_kind(loaded.error().kind), "failed to load '" + name + "': " + loaded.error().message);
  }
  CollectionPtr collection = std::move(*loaded);
  {
    auto state = collection->state().write();
    if (state->name != name) state->name = name;
  }
  database_.put_collection(name, std::move(collection));
  return {};
}

Status DurableDatabase::compact() {
  if (!data_dir_) return make_error(ErrorKind::InvalidInput, "compact requires data_dir to be set");
  if (!read_only_reason_.empty()) {
    return make_error(ErrorKind::Io, "WAL truncate failed: " + read_only_reason_);
  }
  CheckpointLocks locks = lock_checkpoint(checkpoint_gate_, wal_.get());
  const std::vector<std::string> names = database_.list_collections();
  std::vector<std::string> removed;
  std::vector<std::string> logged;
  {
    std::lock_guard changes(changes_mutex_);
    for (const std::string& name : deleted_collections_) {
      if (!database_.get_collection(name)) removed.push_back(name);
    }
    logged.assign(logged_collections_.begin(), logged_collections_.end());
  }
  // Everything is checked before the first file is written.
  for (const std::string& name : names) {
    if (auto refused = protect_unloadable(name)) {
      return make_error(refused->kind, "save '" + name + "' failed: " + refused->message);
    }
  }
  for (const std::string& name : removed) {
    if (auto refused = protect_unloadable(name)) return std::unexpected(*refused);
  }
  // Logged changes of a collection whose snapshot did not load were not
  // replayed either: emptying the log would lose them.
  for (const std::string& name : logged) {
    if (auto refused = protect_unloadable(name)) return std::unexpected(*refused);
  }

  for (const std::string& name : names) {
    CollectionPtr collection = database_.get_collection(name);
    if (!collection) continue;
    if (Status saved = save_collection(*collection, *data_dir_, key_.get()); !saved) {
      return make_error(runtime_kind(saved.error().kind), "save '" + name + "' failed: " + saved.error().message);
    }
  }
  // Snapshots of deleted collections would come back at the next open once
  // the log no longer deletes them.
  if (!removed.empty()) {
    for (const std::string& name : removed) {
      const std::filesystem::path file = snapshot_path(*data_dir_, name);
      if (std::remove(file.c_str()) != 0 && errno != ENOENT) {
        const Error failed = os_error(errno);
        return make_error(ErrorKind::Io, "failed to remove snapshot '" + file.string() + "': " + failed.message);
      }
    }
    if (Status synced = sync_directory(*data_dir_); !synced) {
      return make_error(ErrorKind::Io, "failed to remove snapshots: " + synced.error().message);
    }
  }
  if (Status emptied = truncate_log(); !emptied) return emptied;
  std::lock_guard changes(changes_mutex_);
  for (const std::string& name : removed) deleted_collections_.erase(name);
  return {};
}

}  // namespace karvalith
