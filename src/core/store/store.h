// The database behind a handle: the registry of collections and, when it is
// persistent, its data directory (one snapshot file per collection and the
// write-ahead log of every change since the last checkpoint).
//
// Every change goes through this type, for ephemeral and persistent
// databases alike: it validates completely (existence included), then logs
// (persistent only), then applies. The apply step is the one replay uses
// (apply.h), so a logged change means the same thing live and at the next
// open. Failures are error values; nothing throws across this interface
// except std::bad_alloc.
//
// Lock order. A thread takes these only in this order, never the reverse, and
// every lock is released before the call returns:
//   1. the interpreter lock (the binding's: released before any lock below but
//      the registry lock is awaited, re-taken only after all of them are
//      released);
//   2. the registry change mutex (create, delete and load of collections);
//   3. a collection's write order (every change to that collection, from its
//      validation to the end of its apply); a rebuild takes the collection's
//      rebuild mutex here instead;
//   4. the checkpoint gate (shared from a change's log append to the end of
//      its apply; exclusive for save and compact);
//   5. the log's writer mutex (inside SyncWriteAheadLog, one append);
//   6. the registry lock (map lookups and updates only: its holders never
//      wait for anything else, so the binding may await it with the
//      interpreter lock held; never held while a state lock is taken);
//   7. a collection's state lock (shared for searches, reads and snapshot
//      writing; exclusive to apply a change and for a rebuild's swap).
// The log append happens outside every state lock, so searches never wait
// for an fsync.
//
// Long calls take a Progress (common/progress.h, may be null) and call it on
// the calling thread while holding any of 2-4 and at most a shared state
// lock (a snapshot write); the binding's Progress re-takes the interpreter
// lock there, which is safe because no thread that holds the interpreter
// lock waits for 2-5 or 7.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/progress.h"
#include "core/common/result.h"
#include "core/common/shared_mutex.h"
#include "core/document/document.h"
#include "core/engine/collection.h"
#include "core/engine/collection_options.h"
#include "core/engine/database.h"
#include "core/engine/document_query.h"
#include "core/files/directory_lock.h"
#include "core/files/file_system.h"
#include "core/sealing/crypto.h"
#include "core/search/request.h"
#include "core/search/types.h"
#include "core/store/recovery_issue.h"
#include "core/store/store_events.h"
#include "core/wal/wal.h"
#include "core/wal/wal_entry.h"

namespace karvalith {

inline constexpr const char* WAL_FILE_NAME = "wal.bin";

// Many queries with the same parameters: an embedding and/or a text per
// query. The embeddings are views: the caller keeps their floats alive.
struct QueryBatch {
  bool has_embeddings = false;
  bool has_texts = false;
  std::vector<std::span<const float>> embeddings;  // one per query when has_embeddings
  std::vector<std::string> texts;                  // one per query when has_texts
  SearchRequest shared;  // k, thresholds, fusion, filter, ef; its embedding and text are unused
};

// A document to insert. Without an id it gets a fresh random one.
struct NewDocument {
  std::optional<Uuid> id;
  std::string text;
  Metadata metadata;
  std::vector<float> embedding;
};

// When a persistent database checkpoints by itself: after a change that
// leaves the log at or past either threshold (0 turns that one off), the
// change's thread runs compact() before it returns. A batch counts one
// record per document with an embedding, since replay costs per document
// linked into a graph (checkpoint_weight); keyword-only documents are
// bounded by the bytes they take.
struct CheckpointPolicy {
  std::uint64_t log_bytes = std::uint64_t{64} << 20;
  std::uint64_t log_records = 10000;
};

// The message of every call on a closed database.
inline constexpr const char* CLOSED_MESSAGE = "the Karvalith handle is closed";

// The file under which load stages a collection in the data directory before
// logging it: the collection's snapshot file name, the token in hex, then
// ".loading" (not a snapshot extension, so the open-time scan ignores it).
std::string staged_load_file_name(const std::string& collection, std::uint64_t token);

class Store {
 public:
  // Memory only. `key` (may be null) is still save's default key; save to a
  // path writes through `files`.
  static std::shared_ptr<Store> ephemeral(EncryptionKeyPtr key = nullptr, FileSystem& files = default_file_system());

  // Opens `data_dir`: creates it (mkdir -p), locks it, loads every snapshot
  // that loads with `key` (remembering those that do not), opens wal.bin,
  // cuts a torn tail back (wal.h says what is one), and replays the log. A
  // log holding an unreadable record, or a change that cannot be applied and
  // whose data is missing, opens read-only; every such problem is listed in
  // recovery_issues(). Errors carry their final messages:
  //   InvalidInput "data_dir must not be empty ...", "data_dir: embedded null byte"
  //   InvalidInput when sealed data is there and `key` is missing or opens
  //                none of it ("... no encryption key was provided" /
  //                "the encryption key does not open ...")
  //   Busy "data directory '{dir}' is in use by another Karvalith handle ..."
  //   Io "failed to load snapshots from '{dir}': {err}"
  //   Io "failed to open WAL: {err}"
  //   Io "WAL replay failed: {err}"
  // `progress` hears the logged documents replayed (a batch counts each) and
  // is polled while snapshots load and the log is read; a stop is
  // Cancelled, the store is dropped and the directory keeps everything (the
  // next open replays the log again). Queues an OpenedEvent, a
  // RecoveredEvent when the log held records or the open found problems, and
  // a ProblemEvent per recovery issue. Every change to the disk goes through
  // `files`, which must outlive the store.
  static Result<std::shared_ptr<Store>> open(const std::string& data_dir, EncryptionKeyPtr key,
                                             CheckpointPolicy policy = {}, Progress* progress = nullptr,
                                             FileSystem& files = default_file_system());

  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // ---- collections ----
  // NotFound "collection '{}' not found" unless the name is registered.
  Status require_collection(const std::string& name) const;
  // InvalidInput for bad options (make_collection_config), a taken name
  // ("Collection '{}' already exists") or, when persistent, a name whose
  // snapshot file names would exceed the file system's limit; nothing is
  // logged then. With `exist_ok` a taken name is no error when its
  // collection has this dimension and metric (the options' metric, cosine
  // when absent) and every other option given equals the collection's
  // ("collection '{}' exists with {what}, not {asked}" otherwise); nothing
  // is logged then either.
  Status create_collection(const std::string& name, std::uint64_t dimension, const CollectionOptions& options,
                           bool exist_ok = false);
  // False when no collection has the name; logged either way.
  Result<bool> delete_collection(const std::string& name);
  std::vector<std::string> list_collections() const;
  Result<CollectionSummary> collection_info(const std::string& name) const;
  // The collection's dimension alone (collection_info also sums its memory).
  Result<std::uint64_t> collection_dimension(const std::string& name) const;
  std::uint64_t total_memory_bytes() const;
  // Rebuilds both indexes from the live documents (not logged: it changes
  // no document). Returns the number of documents gathered. `progress` as
  // for Collection::rebuild: a stop keeps the old indexes.
  Result<std::uint64_t> rebuild(const std::string& name, unsigned threads = 1, Progress* progress = nullptr);

  // ---- documents ----
  // InvalidInput when an embedding has the wrong length or a non-finite
  // value, or an id already holds a slot or repeats in the batch; nothing is
  // logged or changed then. A batch is one log record.
  Result<Uuid> insert(const std::string& collection, NewDocument document);
  // Batches large enough link their documents into the graph from `threads`
  // threads (Collection::insert_batch). `progress` hears the documents
  // linked. The batch is all or nothing, in memory as in the log. A stop
  // before it is logged is Cancelled with nothing changed. A stop while it
  // links rolls it back: the removal of all its documents is logged as one
  // DeleteDocuments record and applied, then the call is Cancelled ("...
  // rolled back ..."); their graph slots stay deleted until a rebuild. When
  // that record cannot be logged, the batch is linked to the end and the call
  // returns its ids (a ProblemEvent says why; the caller's Progress knows
  // it asked to stop).
  Result<std::vector<Uuid>> batch_insert(const std::string& collection, std::vector<NewDocument> documents,
                                         unsigned threads = 1, Progress* progress = nullptr);
  // Replaces the live document with the document's id, or inserts it when
  // there is none; one UpdateDocument record. The id is required. Refusals
  // as for insert, except that the id may be live.
  Result<Uuid> upsert(const std::string& collection, NewDocument document);
  // Replaces a live document's metadata (one UpdateMetadata record). False,
  // with nothing logged, when the id is not live.
  Result<bool> update_metadata(const std::string& collection, const Uuid& id, Metadata metadata);
  // False when the id is not live; logged either way.
  Result<bool> delete_document(const std::string& collection, const Uuid& id);
  // Deletes every one of `ids` that is live, as one DeleteDocuments record
  // of those ids (nothing is logged when none is). Returns how many were
  // deleted; a repeated id counts once.
  Result<std::uint64_t> delete_documents(const std::string& collection, std::span<const Uuid> ids);
  // Deletes the live documents passing `filter`: they are found under the
  // collection's write order and logged by id in one DeleteDocuments record,
  // so replay deletes exactly these. InvalidInput for a filter that fails
  // check_filter. Returns how many were deleted.
  Result<std::uint64_t> delete_where(const std::string& collection, const MetadataFilter& filter);
  // The live document, or null when the id is not live.
  Result<DocumentPtr> get(const std::string& collection, const Uuid& id) const;
  // select_documents and count_documents (engine/document_query.h) of a
  // registered collection.
  Result<std::vector<DocumentPtr>> get_documents(const std::string& collection, const DocumentQuery& query) const;
  Result<std::uint64_t> count(const std::string& collection, const MetadataFilter* filter) const;
  // Collection::live_ids and Collection::embedding_of of a registered collection.
  Result<std::vector<Uuid>> list_ids(const std::string& collection) const;
  Result<std::optional<std::vector<float>>> get_embedding(const std::string& collection, const Uuid& id) const;
  Result<std::vector<ScoredDocument>> search(const std::string& collection, const SearchRequest& request) const;
  // Every query of the batch, answered from `threads` threads; the answers
  // in query order, each exactly what search gives for that query. Every
  // query is checked before any is answered: the first bad one is refused
  // with search's message and its position.
  Result<std::vector<std::vector<ScoredDocument>>> batch_search(const std::string& collection, const QueryBatch& batch,
                                                                unsigned threads) const;
  // The collection's keyword figures for the terms of `text` (see
  // engine/collection_search.h).
  Result<Bm25Statistics> keyword_statistics(const std::string& collection, std::string_view text) const;

  // ---- checkpoints ----
  // `path`, else data_dir; InvalidInput "no path specified and Karvalith was
  // created without data_dir" when neither.
  Result<std::string> checkpoint_directory(const std::optional<std::string>& path) const;
  // Writes the collection's snapshot into the checkpoint directory, sealed
  // with `key` or, when null, the database's key. Empties the log only when
  // the snapshot went into data_dir and the log holds changes of no other
  // collection. InvalidInput when `key` differs from the database's key and
  // the snapshot would go into data_dir (the next open could not read it).
  // A failed write is the write's own error; "WAL truncate failed: {err}".
  // `progress` hears the snapshot bytes written; a stop before the snapshot
  // replaces the old file is Cancelled with nothing changed. Queues a
  // CheckpointEvent.
  Status save(const std::string& collection, const std::optional<std::string>& path, const EncryptionKey* key,
              Progress* progress = nullptr);
  // Reads DIR/N.kvl (N = `name`) with `key`, or the database's key when null, and
  // registers it under `name` (renamed when its stored name differs),
  // replacing any collection of that name. On a persistent database the
  // loaded collection is staged in data_dir and logged before it replaces
  // anything, so it survives a reopen. On failure ("failed to load '{}': {}")
  // nothing changes. `progress` hears the steps of reading the snapshot
  // (LOAD_STEPS), and one more for staging it on a persistent database; a
  // stop before the load is logged is Cancelled with nothing changed.
  Status load(const std::string& name, const std::optional<std::string>& path, const EncryptionKey* key,
              Progress* progress = nullptr);
  // Writes every collection into data_dir, removes the snapshot files of
  // collections deleted since the open (leaving those that did not load at
  // the open untouched), then empties the log.
  // InvalidInput "compact requires data_dir to be set"; "save '{}' failed:
  // {}"; "WAL truncate failed: {}". `progress` hears the collections
  // written and is polled while each is written; a stop is Cancelled with
  // the log kept: the snapshots written so far hold nothing the log does
  // not, as after a crash in the middle of a checkpoint. Queues a
  // CheckpointEvent.
  Status compact(Progress* progress = nullptr);

  // For a log that holds an unreadable record: keeps the records read at
  // open in a new wal.bin, keeps the whole damaged file beside it as
  // wal.bin.damaged-<hex> (returned, full path), and lifts the read-only
  // state that the damage caused. Crash-safe: wal.bin is at every moment
  // either the damaged file or the salvaged one. InvalidInput when the log
  // has nothing unreadable.
  Result<std::string> salvage_log();

  // Releases the log and the directory lock once no change or checkpoint is
  // in flight; changes and checkpoints after it fail with CLOSED_MESSAGE
  // (InvalidInput). Reads of memory keep working for holders of the store.
  // Idempotent.
  Status close();
  bool closed() const { return closed_.load(); }

  // ---- process ----
  // A persistent store belongs to the process that opened it: a forked
  // child shares its log and lock but not its memory, so a change made
  // through the child would be logged yet never reach the parent, whose
  // next checkpoint would drop it. Other ("... opened by process P and
  // cannot be used in process C ...") in any other process; ephemeral
  // stores pass everywhere.
  Status check_process() const;
  // False in a forked child of the opener of a persistent store: the child
  // must drop its copy without closing it (close would wait on locks that
  // threads of the parent may have held at the fork).
  bool usable_in_this_process() const;

  // ---- state ----
  bool persistent() const { return wal_ != nullptr; }
  const std::optional<std::string>& data_dir() const { return data_dir_; }
  const EncryptionKeyPtr& key() const { return key_; }
  // Why changes are refused; empty while the database is writable.
  std::string read_only_reason() const;
  // What the open found wrong, in the order found (and a salvage, if any).
  std::vector<RecoveryIssue> recovery_issues() const;
  // The log's size now (0 when ephemeral), and the records (a batch counts
  // its documents) appended since it was last emptied.
  std::uint64_t log_bytes() const;
  std::uint64_t log_records() const;
  // log_records() by the collection the records change.
  std::map<std::string, std::uint64_t> log_records_by_collection() const;
  const CheckpointPolicy& checkpoint_policy() const { return policy_; }
  // Why the last automatic checkpoint failed; empty after one succeeds.
  std::string checkpoint_error() const;
  // Snapshot files in data_dir that did not load at open (file names).
  const std::set<std::string>& unloadable_snapshots() const { return unloadable_; }

  // The registry, for reading state directly (tests, benchmarks). Changing
  // it directly bypasses the log.
  const Database& database() const { return database_; }

  // The events queued since the last call, oldest first (store_events.h).
  std::vector<StoreEvent> take_events();

 private:
  Store(EncryptionKeyPtr key, FileSystem& files);

  // A collection held for one change: its write order taken and confirmed
  // to be the registered one.
  struct LockedCollection {
    CollectionPtr collection;
    std::unique_lock<std::mutex> order;
  };
  Result<CollectionPtr> lookup(const std::string& name) const;
  Result<LockedCollection> lock_for_change(const std::string& name);
  // Logs and applies the deletion of `ids` (live, none repeated); the
  // caller holds the collection's write order.
  Result<std::uint64_t> locked_delete(const std::string& collection, std::vector<Uuid> ids);
  // insert (one InsertDocument record) and batch_insert (one BatchInsert).
  Result<std::vector<Uuid>> batch_insert_entry(const std::string& collection, std::vector<NewDocument> documents,
                                               bool as_batch, unsigned threads, Progress* progress);
  // The same under the collection's write order, without the checkpoint.
  Result<std::vector<Uuid>> locked_insert(const std::string& collection, std::vector<NewDocument> documents,
                                          bool as_batch, unsigned threads, Progress* progress);

  // Logs (when persistent) and applies one validated change. The caller holds
  // the write order of the collection the change names (or the registry
  // change mutex for registry changes). "WAL write failed: {}" leaves memory
  // untouched. `progress` reaches a batch's apply; a batch it stops is
  // Cancelled with what it placed still in memory.
  Status log_and_apply(WalEntry entry, unsigned threads = 1, Progress* progress = nullptr);
  // Appends under the checkpoint gate, which the caller holds shared.
  Status append(const WalEntry& entry);
  // The Progress a logged batch links under: on a stop it logs and applies
  // the batch's removal, or, when that cannot be logged, lets it finish.
  class BatchRollback;
  // Runs a checkpoint when the log has passed the policy's thresholds.
  // Called by each change after it has released every lock; `progress` may
  // stop it (which is no failure: the log keeps everything).
  void maybe_checkpoint(Progress* progress = nullptr);
  // compact() for either trigger.
  Status checkpoint_all(CheckpointEvent::Trigger trigger, Progress* progress);
  void note_event(StoreEvent event);
  // InvalidInput when the name's snapshot files could not be created in
  // data_dir.
  Status check_file_name(const std::string& collection) const;
  // The refusal of a change while read-only or closed; the caller holds the
  // checkpoint gate.
  std::optional<Error> refuse_change(const char* prefix) const;

  // The refusal for a snapshot file that failed to load at open, if `name`'s
  // file in data_dir is one.
  std::optional<Error> protect_unloadable(const std::string& collection) const;
  bool is_data_dir(const std::optional<std::string>& path) const;
  // Empties the log; the caller holds the checkpoint gate exclusively.
  Status truncate_log();

  Database database_;
  EncryptionKeyPtr key_;
  FileSystem& files_;
  std::optional<std::string> data_dir_;
  std::optional<DirectoryLock> directory_lock_;  // released by close, under the gate
  std::unique_ptr<SyncWriteAheadLog> wal_;  // declared after the lock: closed before it is released
  std::set<std::string> unloadable_;
  std::size_t name_max_ = 255;  // longest file name data_dir takes
  CheckpointPolicy policy_;
  std::atomic<bool> closed_{false};
  pid_t opener_process_;  // getpid() at construction

  // Read-only state, recovery issues and checkpoint errors; a leaf lock.
  mutable std::mutex status_mutex_;
  std::string damaged_log_reason_;                 // the log holds an unreadable record
  std::optional<std::uint64_t> damaged_log_offset_;  // where reading stopped
  std::string held_reason_;                        // data is missing: no checkpoint may drop a record
  std::vector<RecoveryIssue> recovery_issues_;
  std::string checkpoint_error_;

  std::mutex registry_changes_;
  // Shared from a change's append to the end of its apply, exclusive for
  // checkpoints: a snapshot never misses a logged change that the truncation
  // after it removes.
  SharedMutex checkpoint_gate_;
  mutable std::mutex changes_mutex_;
  std::set<std::string> logged_collections_;   // touched by the log since it was last emptied
  bool logged_unknown_ = false;                // the log holds a record that did not decode
  std::set<std::string> deleted_collections_;  // deleted since the open (their files may remain)
  std::uint64_t logged_records_ = 0;           // since the log was last emptied
  std::map<std::string, std::uint64_t> logged_records_by_collection_;  // the same by collection
  std::uint64_t logged_weight_ = 0;  // checkpoint_weight of the same records, for the record threshold
  std::uint64_t checkpoint_backoff_ = 0;       // thresholds raised by failed automatic checkpoints
  std::atomic<bool> checkpoint_running_{false};

  // Queued events; a leaf lock.
  mutable std::mutex events_mutex_;
  std::vector<StoreEvent> events_;
  std::atomic<bool> events_pending_{false};  // events_ is not empty (read without the lock)
};

}  // namespace karvalith
