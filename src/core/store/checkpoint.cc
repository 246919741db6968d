// save, load and compact: moving collections between memory and snapshots.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <vector>

#include "core/common/os_random.h"
#include "core/snapshot/snapshot_file.h"
#include "core/store/store.h"

namespace karvalith {

namespace {

// Keeps the kind when it already maps to a runtime failure.
ErrorKind runtime_kind(ErrorKind kind) {
  return kind == ErrorKind::Io || kind == ErrorKind::InvalidData ? kind : ErrorKind::Other;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

Status Store::save(const std::string& collection_name, const std::optional<std::string>& path,
                   const EncryptionKey* key, Progress* progress) {
  const auto start = std::chrono::steady_clock::now();
  auto collection = lookup(collection_name);
  if (!collection) return std::unexpected(std::move(collection.error()));
  auto directory = checkpoint_directory(path);
  if (!directory) return std::unexpected(directory.error());
  const bool into_data_dir = is_data_dir(path);
  if (into_data_dir && key != nullptr && !(key_ && key_->same_as(*key))) {
    // The next open reads data_dir with the database's key alone.
    return make_error(ErrorKind::InvalidInput,
                      std::string(key_ ? "encryption_key differs from the key the database was opened with"
                                       : "the database was opened without an encryption key") +
                          ": a snapshot sealed with it in the data directory '" + *data_dir_ +
                          "' could not be read at the next open; save without encryption_key, or to another path");
  }

  std::unique_lock<SharedMutex> gate;
  if (wal_) {
    gate = std::unique_lock(checkpoint_gate_);
    if (closed_.load()) return make_error(ErrorKind::InvalidInput, CLOSED_MESSAGE);
  }
  if (into_data_dir) {
    if (auto refused = protect_unloadable(collection_name)) return std::unexpected(*refused);
  }
  CheckpointEvent event{CheckpointEvent::Trigger::Save, *directory, collection_name, 1, 0, false, 0, 0};
  if (Status saved = save_collection(**collection, *directory, key ? key : key_.get(), progress, &event.bytes, files_);
      !saved) {
    return saved;
  }
  Status emptied = [&]() -> Status {
    if (!wal_ || !into_data_dir || refuse_change("")) return {};
    {
      std::lock_guard changes(changes_mutex_);
      // The snapshot holds every logged change only if the log changed
      // nothing else (a deleted collection counts as changed).
      if (logged_unknown_) return {};
      for (const std::string& name : logged_collections_) {
        if (name != collection_name) return {};
      }
    }
    event.log_bytes = wal_->size();
    if (Status truncated = truncate_log(); !truncated) return truncated;
    event.log_emptied = true;
    return {};
  }();
  if (!emptied) return emptied;
  event.seconds = seconds_since(start);
  note_event(std::move(event));
  return {};
}

Status Store::load(const std::string& name, const std::optional<std::string>& path, const EncryptionKey* key,
                   Progress* progress) {
  auto directory = checkpoint_directory(path);
  if (!directory) return std::unexpected(directory.error());
  if (Status fits = check_file_name(name); !fits) return fits;
  // Without a key of its own, load reads with the database's key, as save
  // writes with it (a plain file loads whatever the key). Staging the
  // snapshot is one more step on a persistent database.
  const std::uint64_t steps = LOAD_STEPS + (wal_ ? 1 : 0);
  ProgressPart reading(progress, 0, steps);
  auto loaded = load_collection(snapshot_path(*directory, name).string(), key ? key : key_.get(), nullptr,
                                progress ? &reading : nullptr);
  if (!loaded && loaded.error().kind == ErrorKind::Cancelled) {
    return make_error(ErrorKind::Cancelled, "load of '" + name + "' stopped before anything changed (" +
                                                loaded.error().message + ")");
  }
  if (!loaded) {
    return make_error(runtime_kind(loaded.error().kind), "failed to load '" + name + "': " + loaded.error().message);
  }
  CollectionPtr collection = std::move(*loaded);
  collection->rename(name);

  std::lock_guard registry_change(registry_changes_);
  CollectionPtr replaced = database_.get_collection(name);
  std::unique_lock<std::mutex> order;
  if (replaced) order = std::unique_lock(replaced->write_order());

  if (wal_) {
    // Durable before anything changes: the collection is staged in data_dir
    // under a fresh token, the log records the load, and only then does the
    // staged file replace the collection's snapshot. A crash after the
    // record finds the staged file by its token and finishes the move.
    std::shared_lock gate(checkpoint_gate_);
    if (auto refused = refuse_change("WAL write failed: ")) return std::unexpected(*refused);
    if (auto refused = protect_unloadable(name)) return std::unexpected(*refused);
    const std::uint64_t token = os_random_u64();
    const std::string staged_name = staged_load_file_name(name, token);
    const std::filesystem::path staged = std::filesystem::path(*data_dir_) / staged_name;
    ProgressPollOnly staging(progress);
    if (Status staged_ok = save_collection_as(*collection, *data_dir_, staged_name, key_.get(),
                                              progress ? &staging : nullptr, nullptr, files_);
        !staged_ok) {
      if (staged_ok.error().kind == ErrorKind::Cancelled) {
        return make_error(ErrorKind::Cancelled, "load of '" + name + "' stopped before anything changed (" +
                                                    staged_ok.error().message + ")");
      }
      return make_error(runtime_kind(staged_ok.error().kind),
                        "failed to load '" + name + "': staging its snapshot failed: " + staged_ok.error().message);
    }
    // The last point where a stop leaves nothing behind.
    if (!keep_going(progress)) {
      (void)files_.remove(staged);
      return make_error(ErrorKind::Cancelled, "load of '" + name + "' stopped before anything changed");
    }
    if (Status logged = append(WalEntry{WalLoadCollection{name, token}}); !logged) {
      (void)files_.remove(staged);
      return logged;
    }
    // The load is durable now; a failed move is finished by the next open.
    if (Status moved = files_.rename(staged, snapshot_path(*data_dir_, name)); moved) {
      (void)files_.sync_directory(*data_dir_);
    }
    database_.put_collection(name, std::move(collection));
  } else {
    if (closed_.load()) return make_error(ErrorKind::InvalidInput, CLOSED_MESSAGE);
    database_.put_collection(name, std::move(collection));
  }
  if (replaced) replaced->mark_detached();
  (void)keep_going(progress, steps, steps);  // loaded: nothing left to stop
  return {};
}

Status Store::compact(Progress* progress) { return checkpoint_all(CheckpointEvent::Trigger::Compact, progress); }

Status Store::checkpoint_all(CheckpointEvent::Trigger trigger, Progress* progress) {
  if (!data_dir_) return make_error(ErrorKind::InvalidInput, "compact requires data_dir to be set");
  const auto start = std::chrono::steady_clock::now();
  std::unique_lock gate(checkpoint_gate_);
  if (auto refused = refuse_change("WAL truncate failed: ")) return std::unexpected(*refused);
  const std::vector<std::string> names = database_.list_collections();
  std::vector<std::string> removed;
  std::vector<std::string> logged;
  std::set<std::string> deleted;
  {
    std::lock_guard changes(changes_mutex_);
    deleted = deleted_collections_;
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
  // A deleted collection whose snapshot did not load: nothing of it needs
  // writing, and its file is left as it is.
  std::erase_if(removed, [&](const std::string& name) { return protect_unloadable(name).has_value(); });
  // Logged changes of a collection whose snapshot did not load were not
  // replayed either: emptying the log would lose them, unless the
  // collection has been deleted since.
  for (const std::string& name : logged) {
    if (!database_.get_collection(name) && deleted.contains(name)) continue;
    if (auto refused = protect_unloadable(name)) return std::unexpected(*refused);
  }

  CheckpointEvent event{trigger, *data_dir_, {}, 0, 0, false, 0, 0};
  ProgressPollOnly writing(progress);
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    if (!keep_going(progress, i, names.size())) {
      return make_error(ErrorKind::Cancelled,
                        "compact stopped after writing " + std::to_string(i) + " of " + std::to_string(names.size()) +
                            " snapshots; the log was kept, so nothing is lost");
    }
    CollectionPtr collection = database_.get_collection(name);
    if (!collection) continue;
    std::uint64_t bytes = 0;
    if (Status saved = save_collection(*collection, *data_dir_, key_.get(), progress ? &writing : nullptr, &bytes,
                                    files_);
        !saved) {
      if (saved.error().kind == ErrorKind::Cancelled) {
        return make_error(ErrorKind::Cancelled, "compact stopped after writing " + std::to_string(i) + " of " +
                                                    std::to_string(names.size()) +
                                                    " snapshots; the log was kept, so nothing is lost");
      }
      return make_error(runtime_kind(saved.error().kind), "save '" + name + "' failed: " + saved.error().message);
    }
    ++event.snapshots;
    event.bytes += bytes;
  }
  // Snapshots of deleted collections would come back at the next open once
  // the log no longer deletes them.
  if (!removed.empty()) {
    for (const std::string& name : removed) {
      const std::filesystem::path file = snapshot_path(*data_dir_, name);
      if (Status gone = files_.remove(file); !gone) {
        return make_error(ErrorKind::Io, "failed to remove snapshot '" + file.string() + "': " + gone.error().message);
      }
    }
    if (Status synced = files_.sync_directory(*data_dir_); !synced) {
      return make_error(ErrorKind::Io, "failed to remove snapshots: " + synced.error().message);
    }
  }
  // Past here nothing is left to stop.
  event.log_bytes = wal_->size();
  if (Status emptied = truncate_log(); !emptied) return emptied;
  event.log_emptied = true;
  {
    std::lock_guard changes(changes_mutex_);
    for (const std::string& name : removed) deleted_collections_.erase(name);
  }
  (void)keep_going(progress, names.size(), names.size());
  event.seconds = seconds_since(start);
  note_event(std::move(event));
  return {};
}

}  // namespace karvalith
