// A database together with how it persists: memory only (ephemeral), or a
// data directory holding one snapshot per collection plus the write-ahead
// log of every change since the last checkpoint.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>

#include "core/common/result.h"
#include "core/sealing/crypto.h"
#include "core/engine/database.h"
#include "core/files/directory_lock.h"
#include "core/wal/wal.h"

namespace karvalith {

inline constexpr const char* WAL_FILE_NAME = "wal.bin";

class DurableDatabase {
 public:
  // Memory only. `key` (may be null) is still save's default key.
  explicit DurableDatabase(EncryptionKeyPtr key = nullptr);

  // Opens `data_dir`: creates it (mkdir -p), locks it, loads every snapshot
  // file that loads with `key` (remembering those that do not), opens
  // wal.bin, cuts a torn tail back, and replays the log. A log holding an
  // unreadable record is left as it is and the database opens read-only.
  // Errors (ErrorKind::Io unless noted) carry their final messages:
  //   "failed to load snapshots from '{dir}': {err}"
  //   "failed to open WAL: {err}"   (also: the directory is in use)
  //   "WAL replay failed: {err}"
  static Result<std::unique_ptr<DurableDatabase>> open(const std::string& data_dir, EncryptionKeyPtr key);

  DurableDatabase(const DurableDatabase&) = delete;
  DurableDatabase& operator=(const DurableDatabase&) = delete;

  Database& database() { return database_; }
  const Database& database() const { return database_; }
  const std::optional<std::string>& data_dir() const { return data_dir_; }
  const EncryptionKeyPtr& key() const { return key_; }
  bool persistent() const { return wal_ != nullptr; }
  // Why mutations are refused; empty while the log is writable.
  const std::string& read_only_reason() const { return read_only_reason_; }
  // Snapshot files in data_dir that did not load at open (file names).
  const std::set<std::string>& unloadable_snapshots() const { return unloadable_; }

  // Durably logs one encoded WalEntry that changes `collection` (or, with
  // `deletes_collection`, removes it). Nothing to do when ephemeral.
  // Fails with "WAL write failed: {err}" (the change must then not be made).
  Status log(std::span<const std::uint8_t> entry, std::string_view collection, bool deletes_collection = false);

  // The directory a checkpoint uses: `path`, else data_dir; ErrorKind::InvalidInput
  // "no path specified and Karvalith was created without data_dir" when neither.
  Result<std::string> checkpoint_directory(const std::optional<std::string>& path) const;

  // Writes the collection's snapshot into the checkpoint directory, sealed
  // with `key` or, when null, the database's key. Empties the log only when
  // the snapshot went into data_dir and the log holds changes of no other
  // collection. NotFound "collection '{}' not found"; a failed write is the
  // write's own error; "WAL truncate failed: {err}".
  Status save(const std::string& collection, const std::optional<std::string>& path, const EncryptionKey* key);

  // Reads DIR/N.kvl (N = `name`) with exactly `key` (may be null) and
  // registers it under `name`, renamed when its stored name differs,
  // replacing any collection of that name. On failure ("failed to load
  // '{}': {}") the registry is unchanged. Writes no log record.
  Status load(const std::string& name, const std::optional<std::string>& path, const EncryptionKey* key);

  // Writes every collection into data_dir, removes the snapshot files of
  // collections deleted since the open, then empties the log.
  // InvalidInput "compact requires data_dir to be set"; "save '{}' failed: {}";
  // "WAL truncate failed: {}".
  Status compact();

 private:
  // The refusal for a snapshot file that failed to load at open, if `name`'s
  // file in data_dir is one.
  std::optional<Error> protect_unloadable(std::string_view collection) const;
  bool is_data_dir(const std::optional<std::string>& path) const;
  // Empties the log; the caller holds both checkpoint locks.
  Status truncate_log();

  Database database_;
  EncryptionKeyPtr key_;
  std::optional<std::string> data_dir_;
  std::optional<DirectoryLock> directory_lock_;
  std::unique_ptr<SyncWriteAheadLog> wal_;  // declared after the lock: closed before it is released
  std::string read_only_reason_;
  std::set<std::string> unloadable_;

  // Appends take it shared, checkpoints exclusive (then the log's own
  // checkpoint lock), so the bookkeeping below always matches the log.
  std::shared_mutex checkpoint_gate_;
  std::mutex changes_mutex_;
  std::set<std::string> logged_collections_;  // touched by the log since it was last emptied
  bool logged_unknown_ = false;               // the log holds a record that did not decode
  std::set<std::string> deleted_collections_; // deleted since the open (their files may remain)
};

}  // namespace karvalith
