// Opening a data directory: snapshots, then the log replayed on top.
#include <sys/stat.h>

#include <filesystem>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/store/durable_database.h"
#include "core/snapshot/snapshot_scan.h"
#include "core/wal/wal_entry.h"
#include "core/store/wal_replay.h"

namespace karvalith {

namespace {

Error prefixed(const char* prefix, const Error& error) {
  return Error{ErrorKind::Io, prefix + error.message};
}

// The collection a logged change names.
const std::string& changed_collection(const WalEntry& entry) {
  return std::visit(
      [](const auto& change) -> const std::string& {
        using Change = std::decay_t<decltype(change)>;
        if constexpr (std::is_same_v<Change, WalCreateCollection> || std::is_same_v<Change, WalDeleteCollection>) {
          return change.name;
        } else {
          return change.collection;
        }
      },
      entry.value);
}

std::string unreadable_log_reason(const std::string& wal_path, const WalStop& stop) {
  std::string reason = "'";
  reason += wal_path;
  reason += "' holds an unreadable record at byte offset ";
  reason += std::to_string(stop.offset);
  reason += " (";
  reason += stop.detail;
  reason += "); the database is read-only: reopen it with the right encryption key, "
            "or move the file aside to start a new log";
  return reason;
}

}  // namespace

Result<std::unique_ptr<DurableDatabase>> DurableDatabase::open(const std::string& data_dir, EncryptionKeyPtr key) {
  auto snapshots_error = [&](const Error& error) {
    return make_error(ErrorKind::Io, "failed to load snapshots from '" + data_dir + "': " + error.message);
  };
  // A path naming something other than a directory cannot be listed.
  struct stat info;
  if (::stat(data_dir.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
    auto scanned = scan_snapshots(data_dir, key.get());
    if (!scanned) return snapshots_error(scanned.error());
  }
  // The directory is created and locked before it is read, so no other
  // handle checkpoints it between the snapshots and the log read here.
  if (Status made = create_directories(data_dir, 0777); !made) {
    return std::unexpected(prefixed("failed to open WAL: ", made.error()));
  }
  auto lock = DirectoryLock::acquire(data_dir);
  if (!lock) return std::unexpected(prefixed("failed to open WAL: ", lock.error()));

  auto scanned = scan_snapshots(data_dir, key.get());
  if (!scanned) return snapshots_error(scanned.error());

  std::unique_ptr<DurableDatabase> opened(new DurableDatabase(key));
  opened->data_dir_ = data_dir;
  opened->directory_lock_ = std::move(*lock);
  opened->unloadable_ = std::move(scanned->unloadable);
  for (CollectionPtr& collection : scanned->collections) {
    std::string name = collection->state().read()->name;
    opened->database_.put_collection(name, std::move(collection));
  }

  const std::filesystem::path wal_path = std::filesystem::path(data_dir) / WAL_FILE_NAME;
  auto wal = SyncWriteAheadLog::open(wal_path, key);
  if (!wal) return std::unexpected(prefixed("failed to open WAL: ", wal.error()));

  std::vector<WalEntry> entries;
  auto stop = read_records(wal_path, key.get(), [&](std::span<const std::uint8_t> payload, std::uint64_t) {
    auto entry = decode_wal_entry(payload);
    if (!entry) {
      opened->logged_unknown_ = true;  // skipped, but it may name any collection
      return;
    }
    opened->logged_collections_.insert(changed_collection(*entry));
    if (std::holds_alternative<WalDeleteCollection>(entry->value)) {
      opened->deleted_collections_.insert(changed_collection(*entry));
    }
    entries.push_back(std::move(*entry));
  });
  if (!stop) return std::unexpected(prefixed("WAL replay failed: ", stop.error()));

  switch (stop->reason) {
    case WalStopReason::CleanEnd:
      break;
    case WalStopReason::TornTail:
      // A record cut short by a crash was never acknowledged: drop it, so
      // later appends are not hidden behind it.
      wal->reset();
      if (Status cut = cut_back(wal_path, stop->offset); !cut) {
        return std::unexpected(prefixed("WAL replay failed: ", cut.error()));
      }
      wal = SyncWriteAheadLog::open(wal_path, key);
      if (!wal) return std::unexpected(prefixed("failed to open WAL: ", wal.error()));
      break;
    case WalStopReason::Unreadable:
      // Records behind it may be intact under another key: keep the file as it
      // is, and append nothing behind what could not be read.
      opened->read_only_reason_ = unreadable_log_reason(wal_path.string(), *stop);
      break;
  }
  opened->wal_ = std::move(*wal);
  replay_wal(opened->database_, entries);
  return opened;
}

}  // namespace karvalith
