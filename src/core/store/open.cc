// Opening a data directory: snapshots, then the log replayed on top.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <utility>
#include <vector>

#include "core/common/heap.h"
#include "core/snapshot/snapshot_file.h"
#include "core/snapshot/snapshot_scan.h"
#include "core/store/replay.h"
#include "core/store/store.h"

namespace karvalith {

namespace {

Error prefixed(const char* prefix, const Error& error) { return Error{ErrorKind::Io, prefix + error.message}; }

std::string unreadable_log_reason(const std::string& wal_path, const WalStop& stop) {
  std::string reason = "'";
  reason += wal_path;
  reason += "' holds an unreadable record at byte offset ";
  reason += std::to_string(stop.offset);
  reason += " (";
  reason += stop.detail;
  reason += "); the database is read-only so that nothing behind it is lost: reopen it with the right "
            "encryption key if that is the cause, or call salvage_log() to keep the readable records "
            "in a new log and the damaged file beside it";
  return reason;
}

// Sealed data that no given key opens: a missing or wrong key, not damage.
std::optional<Error> key_problem(const std::string& data_dir, const EncryptionKey* key,
                                 const ScannedSnapshots& scanned, const WalStop& stop) {
  const bool log_refused = stop.reason == WalStopReason::Unreadable && stop.sealed_unopened;
  if (scanned.sealed_loaded || stop.sealed_opened) return std::nullopt;  // the key is right
  if (!log_refused && scanned.sealed_unloadable.empty()) return std::nullopt;
  std::string where = "'";
  if (log_refused) {
    where += WAL_FILE_NAME;
    where += "' (record at byte offset ";
    where += std::to_string(stop.offset);
    where += ")";
  } else {
    where += scanned.sealed_unloadable.front();
    where += "'";
  }
  if (key == nullptr) {
    return Error{ErrorKind::InvalidInput, "data directory '" + data_dir + "' holds sealed data (" + where +
                                              ") but no encryption key was provided"};
  }
  return Error{ErrorKind::InvalidInput, "the encryption key does not open the sealed data in data directory '" +
                                            data_dir + "' (" + where +
                                            "), and nothing sealed there opens with it: is it the key the data "
                                            "was written with?"};
}

}  // namespace

std::string staged_load_file_name(const std::string& collection, std::uint64_t token) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string name = snapshot_file_name(collection);
  name += '.';
  for (int shift = 60; shift >= 0; shift -= 4) name += HEX[(token >> shift) & 0xF];
  name += ".loading";
  return name;
}

Result<std::shared_ptr<Store>> Store::open(const std::string& data_dir, EncryptionKeyPtr key,
                                           CheckpointPolicy policy, Progress* progress, FileSystem& files) {
  const auto start = std::chrono::steady_clock::now();
  auto stopped = [&](const std::string& where) {
    return make_error(ErrorKind::Cancelled, "opening '" + data_dir + "' stopped " + where +
                                                "; nothing in the directory was lost, and the next open replays "
                                                "the log again");
  };
  if (data_dir.empty()) {
    return make_error(ErrorKind::InvalidInput, "data_dir must not be empty (pass \".\" for the current directory)");
  }
  if (data_dir.find('\0') != std::string::npos) return make_error(ErrorKind::InvalidInput, "data_dir: embedded null byte");
  auto snapshots_error = [&](const Error& error) {
    return make_error(ErrorKind::Io, "failed to load snapshots from '" + data_dir + "': " + error.message);
  };
  // A path naming something other than a directory cannot be listed.
  struct stat info;
  if (::stat(data_dir.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
    auto scanned = scan_snapshots(data_dir, key.get(), nullptr, files);
    if (!scanned) return snapshots_error(scanned.error());
  }
  // The directory is created and locked before it is read, so no other
  // handle checkpoints it between the snapshots and the log read here.
  if (Status made = files.create_directories(data_dir, 0777); !made) {
    return std::unexpected(prefixed("failed to open WAL: ", made.error()));
  }
  auto lock = files.lock_directory(data_dir);
  if (!lock) return std::unexpected(lock.error());

  auto scanned = scan_snapshots(data_dir, key.get(), progress, files);
  if (!scanned && scanned.error().kind == ErrorKind::Cancelled) return stopped("while loading the snapshots");
  if (!scanned) return snapshots_error(scanned.error());

  std::shared_ptr<Store> store(new Store(key, files));
  store->data_dir_ = data_dir;
  store->directory_lock_ = std::move(*lock);
  store->policy_ = policy;
  errno = 0;
  if (const long name_max = ::pathconf(data_dir.c_str(), _PC_NAME_MAX); name_max > 0) {
    store->name_max_ = static_cast<std::size_t>(name_max);
  }
  for (auto& [file, reason] : scanned->unloadable) {
    store->unloadable_.insert(file);
    store->recovery_issues_.push_back(RecoveryIssue{file, 0, "snapshot did not load: " + reason, {}, true});
  }
  for (CollectionPtr& collection : scanned->collections) {
    std::string name = collection->state().read()->name;
    store->database_.put_collection(name, std::move(collection));
  }

  const std::filesystem::path wal_path = std::filesystem::path(data_dir) / WAL_FILE_NAME;
  auto wal = SyncWriteAheadLog::open(wal_path, key, files);
  if (!wal) return std::unexpected(prefixed("failed to open WAL: ", wal.error()));

  const auto log_start = std::chrono::steady_clock::now();
  std::vector<LoggedChange> changes;
  std::string undecodable;  // the first record that does not decode
  bool reading_stopped = false;
  auto stop = read_records(wal_path, key.get(), [&](std::span<const std::uint8_t> payload, std::uint64_t offset) {
    // The reader cannot be interrupted: once stopped, the rest is skipped.
    if (reading_stopped || (changes.size() % 256 == 0 && !keep_going(progress))) {
      reading_stopped = true;
      return;
    }
    auto entry = decode_wal_entry(payload);
    if (!entry) {
      store->logged_unknown_ = true;  // skipped, but it may name any collection
      std::string reason = "the record at byte offset " + std::to_string(offset) +
                           " does not decode and was skipped: " + entry.error().message;
      if (undecodable.empty()) undecodable = reason;
      store->recovery_issues_.push_back(RecoveryIssue{WAL_FILE_NAME, offset, std::move(reason), {}, true});
      return;
    }
    const std::string& name = changed_collection(*entry);
    store->logged_collections_.insert(name);
    if (std::holds_alternative<WalDeleteCollection>(entry->value)) store->deleted_collections_.insert(name);
    store->logged_records_ += changed_documents(*entry);
    store->logged_weight_ += checkpoint_weight(*entry);
    changes.push_back(LoggedChange{std::move(*entry), offset});
  });
  if (!stop) return std::unexpected(prefixed("WAL replay failed: ", stop.error()));
  if (reading_stopped) return stopped("while reading the log");
  if (auto refused = key_problem(data_dir, key.get(), *scanned, *stop)) return std::unexpected(*refused);

  RecoveredEvent recovered{data_dir, scanned->collections.size(), scanned->unloadable.size(), changes.size(), 0, 0, 0,
                           0};
  for (const LoggedChange& change : changes) recovered.log_documents += changed_documents(change.entry);
  switch (stop->reason) {
    case WalStopReason::CleanEnd:
      break;
    case WalStopReason::TornTail: {
      // A record cut short by a crash was never acknowledged: drop it, so
      // later appends are not hidden behind it.
      const std::uint64_t torn_bytes = (*wal)->size() - stop->offset;
      recovered.torn_bytes = torn_bytes;
      wal->reset();
      if (Status cut = cut_back(wal_path, stop->offset, files); !cut) {
        return std::unexpected(prefixed("WAL replay failed: ", cut.error()));
      }
      wal = SyncWriteAheadLog::open(wal_path, key, files);
      if (!wal) return std::unexpected(prefixed("failed to open WAL: ", wal.error()));
      store->recovery_issues_.push_back(RecoveryIssue{
          WAL_FILE_NAME, stop->offset,
          "torn tail of " + std::to_string(torn_bytes) + " bytes cut off at byte offset " +
              std::to_string(stop->offset) + " (" + stop->detail + "; a write that never completed)",
          {}, false});
      break;
    }
    case WalStopReason::Unreadable:
      // Records behind it may be intact: keep the file as it is, and append
      // nothing behind what could not be read.
      store->damaged_log_reason_ = unreadable_log_reason(wal_path.string(), *stop);
      store->damaged_log_offset_ = stop->offset;
      store->recovery_issues_.push_back(RecoveryIssue{WAL_FILE_NAME, stop->offset,
                                                      "unreadable record: " + stop->detail, {}, true});
      break;
  }
  store->wal_ = std::move(*wal);

  Store& opened = *store;
  const LoadReplayer replay_load = [&](const WalLoadCollection& load) -> ApplyOutcome {
    const std::filesystem::path staged = std::filesystem::path(data_dir) / staged_load_file_name(load.collection, load.token);
    std::error_code error;
    if (std::filesystem::exists(staged, error)) {
      // The load was logged but its staged snapshot not yet moved into place.
      auto loaded = load_collection(staged.string(), opened.key_.get());
      if (!loaded) return {ApplyStatus::Failed, "its staged snapshot did not load: " + loaded.error().message, true};
      (*loaded)->rename(load.collection);
      opened.database_.put_collection(load.collection, std::move(*loaded));
      if (opened.damaged_log_reason_.empty()) {
        if (Status moved = files.rename(staged, snapshot_path(data_dir, load.collection)); moved) {
          (void)files.sync_directory(data_dir);
        }
      }
      return {};
    }
    if (opened.database_.get_collection(load.collection)) return {ApplyStatus::AlreadyApplied, {}, false};
    return {ApplyStatus::Failed, "its snapshot file is missing", true};
  };
  auto replayed = replay(opened.database_, std::move(changes), replay_load, progress);
  if (!replayed) {
    if (replayed.error().kind == ErrorKind::Cancelled) return stopped("while replaying the log (" + replayed.error().message + ")");
    return std::unexpected(prefixed("WAL replay failed: ", replayed.error()));
  }
  // A record that does not decode may hold anything (a newer version's
  // change, say): no checkpoint may drop it either.
  if (!undecodable.empty()) {
    opened.held_reason_ =
        wal_path.string() + ": " + undecodable + "; the database is read-only so that no checkpoint drops the record";
  }
  recovered.unapplied = replayed->size();
  for (RecoveryIssue& issue : *replayed) {
    // A change to a collection whose snapshot did not load is kept in the log
    // by the checkpoints' refusals; any other missing data makes the
    // database read-only, so no checkpoint can drop the record.
    const bool kept_by_refusals = !issue.collection.empty() && opened.protect_unloadable(issue.collection);
    if (issue.data_missing && !kept_by_refusals && opened.held_reason_.empty()) {
      opened.held_reason_ = issue.reason + "; the database is read-only so that no checkpoint drops the record";
    }
    opened.recovery_issues_.push_back(std::move(issue));
  }
  return_free_heap();  // decoded snapshots and replayed records are gone

  const auto now = std::chrono::steady_clock::now();
  recovered.seconds = std::chrono::duration<double>(now - log_start).count();
  OpenedEvent event{data_dir, 0, 0, std::chrono::duration<double>(now - start).count()};
  for (const CollectionPtr& collection : opened.database_.collections()) {
    ++event.collections;
    event.documents += summarize(*collection).document_count;
  }
  opened.note_event(std::move(event));
  if (recovered.log_records != 0 || !opened.recovery_issues_.empty()) opened.note_event(std::move(recovered));
  for (const RecoveryIssue& issue : opened.recovery_issues_) {
    std::string where = "'" + issue.file + "'";
    if (issue.file == WAL_FILE_NAME) where += " (byte offset " + std::to_string(issue.offset) + ")";
    opened.note_event(ProblemEvent{where + ": " + issue.reason, issue.data_missing});
  }
  return store;
}

}  // namespace karvalith
