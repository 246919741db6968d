#include "core/store/store.h"

#include <filesystem>
#include <utility>

#include "core/engine/collection_search.h"
#include "core/snapshot/snapshot_file.h"
#include "core/store/apply.h"

namespace karvalith {

Store::Store(EncryptionKeyPtr key) : key_(std::move(key)) {}

std::shared_ptr<Store> Store::ephemeral(EncryptionKeyPtr key) {
  return std::shared_ptr<Store>(new Store(std::move(key)));
}

Result<CollectionPtr> Store::lookup(const std::string& name) const {
  CollectionPtr found = database_.get_collection(name);
  if (!found) return make_error(ErrorKind::NotFound, "collection '" + name + "' not found");
  return found;
}

Status Store::require_collection(const std::string& name) const {
  auto found = lookup(name);
  if (!found) return std::unexpected(std::move(found.error()));
  return {};
}

Result<Store::LockedCollection> Store::lock_for_change(const std::string& name) {
  for (;;) {
    auto found = lookup(name);
    if (!found) return std::unexpected(std::move(found.error()));
    std::unique_lock order((*found)->write_order());
    // Deleted or replaced while this writer waited: the next lookup finds
    // the collection now registered under the name, or none.
    if (!(*found)->detached()) return LockedCollection{std::move(*found), std::move(order)};
  }
}

std::vector<std::string> Store::list_collections() const { return database_.list_collections(); }

Result<CollectionSummary> Store::collection_info(const std::string& name) const {
  auto collection = lookup(name);
  if (!collection) return std::unexpected(std::move(collection.error()));
  return summarize(**collection);
}

std::uint64_t Store::total_memory_bytes() const { return database_.total_memory_bytes(); }

Result<std::uint64_t> Store::rebuild(const std::string& name) {
  auto collection = lookup(name);
  if (!collection) return std::unexpected(std::move(collection.error()));
  std::lock_guard one_at_a_time((*collection)->rebuild_order());
  return (*collection)->rebuild();
}

Result<DocumentPtr> Store::get(const std::string& collection, const Uuid& id) const {
  auto found = lookup(collection);
  if (!found) return std::unexpected(std::move(found.error()));
  return (*found)->get_document(id);
}

Result<std::vector<Uuid>> Store::list_ids(const std::string& collection) const {
  auto found = lookup(collection);
  if (!found) return std::unexpected(std::move(found.error()));
  return (*found)->live_ids();
}

Result<std::optional<std::vector<float>>> Store::get_embedding(const std::string& collection, const Uuid& id) const {
  auto found = lookup(collection);
  if (!found) return std::unexpected(std::move(found.error()));
  return (*found)->embedding_of(id);
}

Result<std::vector<ScoredDocument>> Store::search(const std::string& collection,
                                                  const SearchRequest& request) const {
  auto found = lookup(collection);
  if (!found) return std::unexpected(std::move(found.error()));
  return karvalith::search(**found, request);
}

Result<Bm25Statistics> Store::keyword_statistics(const std::string& collection, std::string_view text) const {
  auto found = lookup(collection);
  if (!found) return std::unexpected(std::move(found.error()));
  return karvalith::keyword_statistics(**found, text);
}

Result<std::string> Store::checkpoint_directory(const std::optional<std::string>& path) const {
  if (path) return *path;
  if (data_dir_) return *data_dir_;
  return make_error(ErrorKind::InvalidInput, "no path specified and Karvalith was created without data_dir");
}

bool Store::is_data_dir(const std::optional<std::string>& path) const {
  if (!data_dir_) return false;
  if (!path || *path == *data_dir_) return true;
  std::error_code ignored;
  return std::filesystem::equivalent(*path, *data_dir_, ignored);
}

std::optional<Error> Store::protect_unloadable(const std::string& collection) const {
  const std::string file = snapshot_file_name(collection);
  if (!unloadable_.contains(file)) return std::nullopt;
  return Error{ErrorKind::Other,
               "snapshot file '" + (std::filesystem::path(*data_dir_) / file).string() +
                   "' could not be loaded when the database was opened and is kept as it is: move it "
                   "aside (or reopen with the encryption key it was written with) first"};
}

Status Store::append(const WalEntry& entry) {
  if (!read_only_reason_.empty()) return make_error(ErrorKind::Io, "WAL write failed: " + read_only_reason_);
  {
    // Noted before the append: a failed append leaves the name noted, which
    // only keeps a later save from emptying the log.
    std::lock_guard changes(changes_mutex_);
    const std::string& name = changed_collection(entry);
    logged_collections_.insert(name);
    if (std::holds_alternative<WalDeleteCollection>(entry.value)) deleted_collections_.insert(name);
  }
  if (Status appended = wal_->append_payload(encode_wal_entry(entry)); !appended) {
    return make_error(ErrorKind::Io, "WAL write failed: " + appended.error().message);
  }
  return {};
}

Status Store::log_and_apply(WalEntry entry) {
  std::shared_lock<SharedMutex> gate;
  if (wal_) {
    gate = std::shared_lock(checkpoint_gate_);
    if (Status logged = append(entry); !logged) return logged;
  }
  const ApplyOutcome outcome = apply_change(database_, std::move(entry));
  if (outcome.status == ApplyStatus::Failed) {
    // Validation ruled this out; the log holds the change, so the next open
    // applies it again.
    return make_error(ErrorKind::Internal, "a validated change could not be applied: " + outcome.problem);
  }
  return {};
}

Status Store::truncate_log() {
  if (Status emptied = wal_->truncate(); !emptied) {
    return make_error(ErrorKind::Io, "WAL truncate failed: " + emptied.error().message);
  }
  std::lock_guard changes(changes_mutex_);
  logged_collections_.clear();
  logged_unknown_ = false;
  return {};
}

}  // namespace karvalith
