#include "core/store/durable_database.h"

#include <filesystem>
#include <utility>

#include "core/snapshot/snapshot_file.h"

namespace karvalith {

DurableDatabase::DurableDatabase(EncryptionKeyPtr key) : key_(std::move(key)) {}

Status DurableDatabase::log(std::span<const std::uint8_t> entry, std::string_view collection,
                            bool deletes_collection) {
  if (!wal_) return {};
  if (!read_only_reason_.empty()) {
    return make_error(ErrorKind::Io, "WAL write failed: " + read_only_reason_);
  }
  std::shared_lock gate(checkpoint_gate_);
  {
    // Noted before the append: a failed append leaves the name noted, which
    // only keeps a later save from emptying the log.
    std::lock_guard changes(changes_mutex_);
    logged_collections_.emplace(collection);
    if (deletes_collection) deleted_collections_.emplace(collection);
  }
  if (Status appended = wal_->append_payload(entry); !appended) {
    return make_error(ErrorKind::Io, "WAL write failed: " + appended.error().message);
  }
  return {};
}

Result<std::string> DurableDatabase::checkpoint_directory(const std::optional<std::string>& path) const {
  if (path) return *path;
  if (data_dir_) return *data_dir_;
  return make_error(ErrorKind::InvalidInput, "no path specified and Karvalith was created without data_dir");
}

bool DurableDatabase::is_data_dir(const std::optional<std::string>& path) const {
  if (!data_dir_) return false;
  if (!path || *path == *data_dir_) return true;
  std::error_code ignored;
  return std::filesystem::equivalent(*path, *data_dir_, ignored);
}

std::optional<Error> DurableDatabase::protect_unloadable(std::string_view collection) const {
  const std::string file = snapshot_file_name(collection);
  if (!unloadable_.contains(file)) return std::nullopt;
  return Error{ErrorKind::Other,
               "snapshot file '" + (std::filesystem::path(*data_dir_) / file).string() +
                   "' could not be loaded when the database was opened and is kept as it is: move it "
                   "aside (or reopen with the encryption key it was written with) first"};
}

Status DurableDatabase::truncate_log() {
  if (Status emptied = wal_->truncate(); !emptied) {
    return make_error(ErrorKind::Io, "WAL truncate failed: " + emptied.error().message);
  }
  std::lock_guard changes(changes_mutex_);
  logged_collections_.clear();
  logged_unknown_ = false;
  return {};
}

}  // namespace karvalith
