#include "core/store/store.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <utility>

#include "core/common/os_random.h"
#include "core/common/parallel.h"
#include "core/engine/collection_search.h"
#include "core/engine/document_query.h"
#include "core/search/filter.h"
#include "core/snapshot/snapshot_file.h"
#include "core/store/apply.h"

namespace karvalith {

Store::Store(EncryptionKeyPtr key, FileSystem& files)
    : key_(std::move(key)), files_(files), opener_process_(::getpid()) {}

bool Store::usable_in_this_process() const { return !wal_ || ::getpid() == opener_process_; }

Status Store::check_process() const {
  if (usable_in_this_process()) return {};
  return make_error(ErrorKind::Other,
                    "this Karvalith handle on '" + data_dir_.value_or("") + "' was opened by process " +
                        std::to_string(opener_process_) + " and cannot be used in process " +
                        std::to_string(::getpid()) +
                        " (a fork of it): changes made here would never reach the opener's memory. "
                        "Open the data directory in the process that uses it, with Karvalith(data_dir=...), "
                        "once no other process holds it open (for a worker pool: in the worker's initializer, "
                        "with the parent's handle closed first)");
}

std::shared_ptr<Store> Store::ephemeral(EncryptionKeyPtr key, FileSystem& files) {
  return std::shared_ptr<Store>(new Store(std::move(key), files));
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

Result<std::uint64_t> Store::collection_dimension(const std::string& name) const {
  auto collection = lookup(name);
  if (!collection) return std::unexpected(std::move(collection.error()));
  return (*collection)->dimension();
}

std::uint64_t Store::total_memory_bytes() const { return database_.total_memory_bytes(); }

Result<std::uint64_t> Store::rebuild(const std::string& name, unsigned threads, Progress* progress) {
  auto collection = lookup(name);
  if (!collection) return std::unexpected(std::move(collection.error()));
  std::lock_guard one_at_a_time((*collection)->rebuild_order());
  return (*collection)->rebuild(threads, progress);
}

Result<DocumentPtr> Store::get(const std::string& collection, const Uuid& id) const {
  auto found = lookup(collection);
  if (!found) return std::unexpected(std::move(found.error()));
  return (*found)->get_document(id);
}

Result<std::vector<DocumentPtr>> Store::get_documents(const std::string& collection,
                                                      const DocumentQuery& query) const {
  auto found = lookup(collection);
  if (!found) return std::unexpected(std::move(found.error()));
  return select_documents(**found, query);
}

Result<std::uint64_t> Store::count(const std::string& collection, const MetadataFilter* filter) const {
  auto found = lookup(collection);
  if (!found) return std::unexpected(std::move(found.error()));
  return count_documents(**found, filter);
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

Result<std::vector<std::vector<ScoredDocument>>> Store::batch_search(const std::string& collection,
                                                                     const QueryBatch& batch,
                                                                     unsigned threads) const {
  auto found = lookup(collection);
  if (!found) return std::unexpected(std::move(found.error()));
  const Collection& target = **found;
  if (Status asked = require_query(batch.has_embeddings, batch.has_texts); !asked) {
    return std::unexpected(std::move(asked.error()));
  }
  if (batch.shared.filter) {
    if (Status valid = check_filter(*batch.shared.filter); !valid) return std::unexpected(std::move(valid.error()));
  }
  const std::size_t count = batch.has_embeddings ? batch.embeddings.size() : batch.texts.size();
  if (batch.has_embeddings && batch.has_texts && batch.texts.size() != count) {
    return make_error(ErrorKind::InvalidInput, "query_texts has " + std::to_string(batch.texts.size()) +
                                                   " texts for " + std::to_string(count) + " query embeddings");
  }
  for (std::size_t i = 0; batch.has_embeddings && i < count; ++i) {
    if (Status valid = check_query_embedding(target, batch.embeddings[i]); !valid) {
      return make_error(ErrorKind::InvalidInput,
                        valid.error().message + " (query " + std::to_string(i) + " of the batch)");
    }
  }

  std::vector<std::vector<ScoredDocument>> answers(count);
  std::vector<SearchRequest> requests(worker_count(count, threads), batch.shared);
  std::mutex failure_mutex;
  std::optional<Error> failure;
  parallel_for(count, threads, [&](std::size_t i, unsigned worker) {
    SearchRequest& request = requests[worker];
    if (batch.has_embeddings) {
      if (!request.embedding) request.embedding.emplace();
      request.embedding->assign(batch.embeddings[i].begin(), batch.embeddings[i].end());
    }
    if (batch.has_texts) request.text = batch.texts[i];
    auto hits = karvalith::search(target, request);
    if (hits) {
      answers[i] = std::move(*hits);
    } else {
      std::lock_guard lock(failure_mutex);
      if (!failure) failure = std::move(hits.error());
    }
  });
  if (failure) return std::unexpected(std::move(*failure));
  return answers;
}

Result<std::string> Store::checkpoint_directory(const std::optional<std::string>& path) const {
  if (path && path->empty()) {
    return make_error(ErrorKind::InvalidInput, "path must not be empty (pass \".\" for the current directory)");
  }
  if (path && path->find('\0') != std::string::npos) {
    return make_error(ErrorKind::InvalidInput, "path: embedded null byte");
  }
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

std::optional<Error> Store::refuse_change(const char* prefix) const {
  if (closed_.load()) return Error{ErrorKind::InvalidInput, CLOSED_MESSAGE};
  std::lock_guard status(status_mutex_);
  const std::string& reason = !damaged_log_reason_.empty() ? damaged_log_reason_ : held_reason_;
  if (reason.empty()) return std::nullopt;
  return Error{ErrorKind::Io, prefix + reason};
}

Status Store::append(const WalEntry& entry) {
  if (auto refused = refuse_change("WAL write failed: ")) return std::unexpected(*refused);
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
  std::lock_guard changes(changes_mutex_);
  logged_records_ += changed_documents(entry);
  logged_records_by_collection_[changed_collection(entry)] += changed_documents(entry);
  logged_weight_ += checkpoint_weight(entry);
  return {};
}

Status Store::log_and_apply(WalEntry entry, unsigned threads, Progress* progress) {
  std::shared_lock<SharedMutex> gate;
  if (wal_) {
    gate = std::shared_lock(checkpoint_gate_);
    if (Status logged = append(entry); !logged) return logged;
  } else if (closed_.load()) {
    return make_error(ErrorKind::InvalidInput, CLOSED_MESSAGE);
  }
  const ApplyOutcome outcome = apply_change(database_, std::move(entry), threads, progress);
  if (outcome.status == ApplyStatus::Cancelled) return make_error(ErrorKind::Cancelled, outcome.problem);
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
  logged_records_ = 0;
  logged_records_by_collection_.clear();
  logged_weight_ = 0;
  checkpoint_backoff_ = 0;
  return {};
}

void Store::maybe_checkpoint(Progress* progress) {
  if (!wal_ || closed_.load()) return;
  {
    std::lock_guard changes(changes_mutex_);
    const std::uint64_t step = checkpoint_backoff_;
    const bool by_bytes = policy_.log_bytes != 0 && wal_->size() >= policy_.log_bytes * (step + 1);
    const bool by_records = policy_.log_records != 0 && logged_weight_ >= policy_.log_records * (step + 1);
    if (!by_bytes && !by_records) return;
  }
  // One thread checkpoints; the others go on.
  if (checkpoint_running_.exchange(true)) return;
  Status done = checkpoint_all(CheckpointEvent::Trigger::Automatic, progress);
  if (!done && done.error().kind == ErrorKind::Cancelled) {
    // Stopped by the caller: tried again after the next change.
    checkpoint_running_.store(false);
    return;
  }
  {
    std::lock_guard status(status_mutex_);
    checkpoint_error_ = done ? std::string() : done.error().message;
  }
  if (!done) {
    note_event(ProblemEvent{"automatic checkpoint failed: " + done.error().message, false});
    // Tried again once the log has grown by another threshold.
    std::lock_guard changes(changes_mutex_);
    ++checkpoint_backoff_;
  }
  checkpoint_running_.store(false);
}

void Store::note_event(StoreEvent event) {
  std::lock_guard events(events_mutex_);
  events_.push_back(std::move(event));
  events_pending_.store(true);
}

std::vector<StoreEvent> Store::take_events() {
  if (!events_pending_.load()) return {};
  std::lock_guard events(events_mutex_);
  events_pending_.store(false);
  return std::exchange(events_, {});
}

Status Store::check_file_name(const std::string& collection) const {
  if (!data_dir_) return {};
  // The longest name written for it: a staged load's temporary file.
  const std::string file = snapshot_file_name(collection);
  const std::size_t longest = staged_load_file_name(collection, 0).size() + SNAPSHOT_TEMP_SUFFIX.size();
  if (longest <= name_max_) return {};
  return make_error(ErrorKind::InvalidInput,
                    "collection name is too long: its snapshot file '" + file + "' and the names it takes while "
                    "being written (up to " + std::to_string(longest) + " bytes) exceed the " +
                    std::to_string(name_max_) + "-byte file name limit of '" + *data_dir_ + "'");
}

std::string Store::read_only_reason() const {
  std::lock_guard status(status_mutex_);
  return !damaged_log_reason_.empty() ? damaged_log_reason_ : held_reason_;
}

std::vector<RecoveryIssue> Store::recovery_issues() const {
  std::lock_guard status(status_mutex_);
  return recovery_issues_;
}

std::string Store::checkpoint_error() const {
  std::lock_guard status(status_mutex_);
  return checkpoint_error_;
}

std::uint64_t Store::log_bytes() const { return wal_ ? wal_->size() : 0; }

std::uint64_t Store::log_records() const {
  std::lock_guard changes(changes_mutex_);
  return logged_records_;
}

std::map<std::string, std::uint64_t> Store::log_records_by_collection() const {
  std::lock_guard changes(changes_mutex_);
  return logged_records_by_collection_;
}

Status Store::close() {
  if (!wal_) {
    closed_.store(true);
    return {};
  }
  // Waits for every change between its append and its apply, and for any
  // checkpoint, to finish.
  std::unique_lock gate(checkpoint_gate_);
  if (closed_.exchange(true)) return {};
  Status closed = wal_->close();
  directory_lock_.reset();
  if (!closed) return make_error(ErrorKind::Io, "closing '" + wal_->path().string() + "' failed: " + closed.error().message);
  return {};
}

Result<std::string> Store::salvage_log() {
  if (!wal_) return make_error(ErrorKind::InvalidInput, "salvage_log requires data_dir to be set");
  std::unique_lock gate(checkpoint_gate_);
  if (closed_.load()) return make_error(ErrorKind::InvalidInput, CLOSED_MESSAGE);
  std::uint64_t keep = 0;
  {
    std::lock_guard status(status_mutex_);
    if (!damaged_log_offset_) {
      return make_error(ErrorKind::InvalidInput, "the log has no unreadable record: there is nothing to salvage");
    }
    keep = *damaged_log_offset_;
  }
  const std::filesystem::path dir(*data_dir_);
  const std::filesystem::path log = wal_->path();
  static constexpr char HEX[] = "0123456789abcdef";
  std::string damaged_name = std::string(WAL_FILE_NAME) + ".damaged-";
  const std::uint64_t token = os_random_u64();
  for (int shift = 60; shift >= 0; shift -= 4) damaged_name += HEX[(token >> shift) & 0xF];
  const std::filesystem::path damaged = dir / damaged_name;
  const std::filesystem::path temp = dir / (std::string(WAL_FILE_NAME) + ".salvage.tmp");
  auto failed = [&](const std::string& step, const Error& error) {
    (void)files_.remove(temp);
    return make_error(ErrorKind::Io, "salvaging '" + log.string() + "' failed while " + step + ": " + error.message);
  };

  // The readable records, written durably beside the log.
  auto bytes = read_file(log);
  if (!bytes) return failed("reading it", bytes.error());
  if (bytes->size() < keep) return failed("reading it", Error{ErrorKind::Io, "the file is shorter than at the open"});
  {
    auto out = files_.open_writable(temp, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!out) return failed("creating '" + temp.string() + "'", out.error());
    if (Status s = (*out)->append(std::span(*bytes).first(static_cast<std::size_t>(keep))); !s) {
      return failed("writing '" + temp.string() + "'", s.error());
    }
    if (Status s = (*out)->sync(); !s) return failed("syncing '" + temp.string() + "'", s.error());
  }
  // The damaged file gets its second name first: wal.bin is the damaged
  // file until the rename below replaces it in one step.
  if (Status s = files_.link(log, damaged); !s) return failed("keeping it as '" + damaged.string() + "'", s.error());
  if (Status s = files_.sync_directory(dir); !s) return failed("syncing '" + dir.string() + "'", s.error());
  if (Status s = files_.rename(temp, log); !s) return failed("moving the salvaged log into place", s.error());
  if (Status s = files_.sync_directory(dir); !s) return failed("syncing '" + dir.string() + "'", s.error());
  if (Status s = wal_->reopen(); !s) return failed("reopening it", s.error());

  std::lock_guard status(status_mutex_);
  damaged_log_reason_.clear();
  damaged_log_offset_.reset();
  recovery_issues_.push_back(RecoveryIssue{WAL_FILE_NAME, keep,
                                           "salvaged: the " + std::to_string(keep) +
                                               " readable bytes were kept in a new log; the damaged file is '" +
                                               damaged.string() + "'",
                                           {}, false});
  return damaged.string();
}

}  // namespace karvalith
