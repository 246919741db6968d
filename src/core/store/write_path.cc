// The changes: each validates everything, then logs, then applies, holding
// the locks that make log order equal apply order (store.h).
#include <string>
#include <string_view>
#include <optional>
#include <utility>

#include "core/common/heap.h"
#include "core/store/apply.h"
#include "core/store/store.h"

namespace karvalith {

namespace {

// The pending documents of an insert, with fresh ids where none was given.
Result<std::vector<PendingDocument>> to_pending(std::vector<NewDocument> documents) {
  std::vector<PendingDocument> pending;
  pending.reserve(documents.size());
  for (NewDocument& document : documents) {
    Document built;
    if (document.id) {
      built = Document{*document.id, std::move(document.text), std::move(document.metadata)};
    } else {
      auto created = Document::create(std::move(document.text), std::move(document.metadata));
      if (!created) return std::unexpected(std::move(created.error()));
      built = std::move(*created);
    }
    pending.push_back(PendingDocument{std::move(built), std::move(document.embedding)});
  }
  return pending;
}

// How an existing collection differs from the one create_collection asks
// for: its dimension and metric always count, the other options only when
// given. Empty when it is the one asked for.
std::string differences(const Collection& existing, std::uint64_t dimension, const HnswConfig& asked,
                        const CollectionOptions& options) {
  auto state = existing.state().read();
  const HnswConfig& held = state->hnsw.config();
  std::string out;
  auto differ = [&](std::string_view what, const std::string& has, const std::string& wanted) {
    if (!out.empty()) out.append(", ");
    out.append(what).append(" ").append(has).append(" (asked ").append(wanted).append(")");
  };
  auto number = [](std::uint64_t value) { return std::to_string(value); };
  auto metric = [](DistanceMetric value) {
    std::string quoted(1, '\'');
    quoted.append(distance_metric_name(value)).push_back('\'');
    return quoted;
  };
  auto flag = [](bool value) { return std::string(value ? "True" : "False"); };
  if (state->dimension != dimension) differ("dimension", number(state->dimension), number(dimension));
  if (held.distance_metric != asked.distance_metric) {
    differ("distance_metric", metric(held.distance_metric), metric(asked.distance_metric));
  }
  if (options.m && held.m != asked.m) differ("m", number(held.m), number(asked.m));
  if (options.ef_construction && held.ef_construction != asked.ef_construction) {
    differ("ef_construction", number(held.ef_construction), number(asked.ef_construction));
  }
  if (options.ef_search && held.ef_search != asked.ef_search) {
    differ("ef_search", number(held.ef_search), number(asked.ef_search));
  }
  if (options.store_raw_vectors && held.store_raw_vectors != asked.store_raw_vectors) {
    differ("store_raw_vectors", flag(held.store_raw_vectors), flag(asked.store_raw_vectors));
  }
  auto bits = [](std::uint8_t walk_bits) { return std::to_string(walk_bits == 0 ? 8 : walk_bits); };
  if (options.walk_bits && held.walk_bits != asked.walk_bits) {
    differ("walk_bits", bits(held.walk_bits), bits(asked.walk_bits));
  }
  return out;
}

}  // namespace

Status Store::create_collection(const std::string& name, std::uint64_t dimension, const CollectionOptions& options,
                                bool exist_ok) {
  auto config = make_collection_config(options, dimension);
  if (!config) return std::unexpected(std::move(config.error()));
  if (Status fits = check_file_name(name); !fits) return fits;
  bool created = false;
  Status done = [&]() -> Status {
    std::lock_guard registry_change(registry_changes_);
    if (CollectionPtr existing = database_.get_collection(name)) {
      if (!exist_ok) return make_error(ErrorKind::InvalidInput, "Collection '" + name + "' already exists");
      const std::string different = differences(*existing, dimension, *config, options);
      if (different.empty()) return {};
      return make_error(ErrorKind::InvalidInput, "collection '" + name + "' already exists with " + different);
    }
    created = true;
    return log_and_apply(WalEntry{WalCreateCollection{name, dimension, *config}});
  }();
  if (done && created) maybe_checkpoint();
  return done;
}

Result<bool> Store::delete_collection(const std::string& name) {
  Result<bool> done = [&]() -> Result<bool> {
    std::lock_guard registry_change(registry_changes_);
    CollectionPtr existing = database_.get_collection(name);
    std::unique_lock<std::mutex> order;
    if (existing) order = std::unique_lock(existing->write_order());
    // Logged whether or not the name exists.
    if (Status logged = log_and_apply(WalEntry{WalDeleteCollection{name}}); !logged) {
      return std::unexpected(std::move(logged.error()));
    }
    if (existing) existing->mark_detached();
    return existing != nullptr;
  }();
  if (done) maybe_checkpoint();
  return done;
}

Result<Uuid> Store::insert(const std::string& collection, NewDocument document) {
  std::vector<NewDocument> one;
  one.push_back(std::move(document));
  auto ids = batch_insert_entry(collection, std::move(one), false, 1, nullptr);
  if (!ids) return std::unexpected(std::move(ids.error()));
  return ids->front();
}

Result<std::vector<Uuid>> Store::batch_insert(const std::string& collection, std::vector<NewDocument> documents,
                                              unsigned threads, Progress* progress) {
  return batch_insert_entry(collection, std::move(documents), true, threads, progress);
}

Result<std::vector<Uuid>> Store::batch_insert_entry(const std::string& collection, std::vector<NewDocument> documents,
                                                    bool as_batch, unsigned threads, Progress* progress) {
  auto ids = locked_insert(collection, std::move(documents), as_batch, threads, progress);
  ProgressPollOnly polls(progress);
  if (ids) maybe_checkpoint(progress ? &polls : nullptr);
  // The batch's record and vectors are freed by now.
  if (as_batch && ids && ids->size() >= Collection::PARALLEL_BATCH) return_free_heap();
  return ids;
}

// Runs while the batch links, between chunks, with the write order and the
// checkpoint gate (shared) held by log_and_apply and no state lock: the
// removal is logged and applied under the same gate as the batch itself, so
// no checkpoint can come between them.
class Store::BatchRollback final : public Progress {
 public:
  BatchRollback(Store& store, const std::string& collection, const std::vector<Uuid>& ids, Progress* caller)
      : store_(store), collection_(collection), ids_(ids), caller_(caller) {}

  bool report(std::uint64_t done, std::uint64_t total) override {
    linked_ = done;
    // A report of the whole batch comes after the last chunk: nothing to stop.
    if (keep_going(caller_, done, total) || done == total || failure_) return true;
    return roll_back();
  }
  bool poll() override { return keep_going(caller_) || failure_ || roll_back(); }

  bool rolled_back() const { return rolled_back_; }
  std::uint64_t linked() const { return linked_; }
  const std::optional<Error>& failure() const { return failure_; }

 private:
  bool roll_back() {
    WalEntry removal{WalDeleteDocuments{collection_, ids_}};
    if (store_.wal_) {
      if (Status logged = store_.append(removal); !logged) {
        failure_ = logged.error();  // the log holds the whole batch: it is finished instead
        return true;
      }
    }
    (void)apply_change(store_.database_, std::move(removal));
    rolled_back_ = true;
    return false;
  }

  Store& store_;
  const std::string& collection_;
  const std::vector<Uuid>& ids_;
  Progress* caller_;
  std::uint64_t linked_ = 0;
  bool rolled_back_ = false;
  std::optional<Error> failure_;
};

Result<std::vector<Uuid>> Store::locked_insert(const std::string& collection, std::vector<NewDocument> documents,
                                               bool as_batch, unsigned threads, Progress* progress) {
  auto locked = lock_for_change(collection);
  if (!locked) return std::unexpected(std::move(locked.error()));
  auto pending = to_pending(std::move(documents));
  if (!pending) return std::unexpected(std::move(pending.error()));
  if (Status valid = locked->collection->validate_insert(*pending); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  std::vector<Uuid> ids;
  ids.reserve(pending->size());
  for (const PendingDocument& item : *pending) ids.push_back(item.document.id);
  // The last point where a stop leaves nothing behind.
  if (!keep_going(progress, 0, ids.size())) {
    return make_error(ErrorKind::Cancelled, "stopped before anything was logged: none of the " +
                                                std::to_string(ids.size()) + " documents was inserted");
  }

  WalEntry entry;
  if (as_batch) {
    entry.value = WalBatchInsert{collection, std::move(*pending)};
  } else {
    PendingDocument& item = pending->front();
    entry.value = WalInsertDocument{collection, std::move(item.document), std::move(item.embedding)};
  }
  BatchRollback rollback(*this, collection, ids, progress);
  Status done = log_and_apply(std::move(entry), threads, progress ? &rollback : nullptr);
  if (rollback.rolled_back()) {
    const std::string count = std::to_string(ids.size());
    return make_error(ErrorKind::Cancelled,
                      "stopped after linking " + std::to_string(rollback.linked()) + " of " + count +
                          " documents; the batch was rolled back: none of its " + count +
                          " documents was kept (the log holds its insert and its removal)");
  }
  if (!done) return std::unexpected(std::move(done.error()));
  if (rollback.failure()) {
    note_event(ProblemEvent{"a stopped batch insert into '" + collection + "' could not be rolled back (" +
                                rollback.failure()->message + "), so all its " + std::to_string(ids.size()) +
                                " documents were inserted",
                            false});
  }
  return ids;
}

Result<Uuid> Store::upsert(const std::string& collection, NewDocument document) {
  if (!document.id) return make_error(ErrorKind::InvalidInput, "upsert needs the id of the document");
  Result<Uuid> done = [&]() -> Result<Uuid> {
    auto locked = lock_for_change(collection);
    if (!locked) return std::unexpected(std::move(locked.error()));
    PendingDocument pending{Document{*document.id, std::move(document.text), std::move(document.metadata)},
                            std::move(document.embedding)};
    if (Status valid = locked->collection->validate_upsert(std::span(&pending, 1)); !valid) {
      return std::unexpected(std::move(valid.error()));
    }
    const Uuid id = pending.document.id;
    WalEntry entry{WalUpdateDocument{collection, id, std::move(pending.document), std::move(pending.embedding)}};
    if (Status logged = log_and_apply(std::move(entry)); !logged) return std::unexpected(std::move(logged.error()));
    return id;
  }();
  if (done) maybe_checkpoint();
  return done;
}

Result<bool> Store::update_metadata(const std::string& collection, const Uuid& id, Metadata metadata) {
  Result<bool> done = [&]() -> Result<bool> {
    auto locked = lock_for_change(collection);
    if (!locked) return std::unexpected(std::move(locked.error()));
    if (!locked->collection->contains(id)) return false;
    if (Status logged = log_and_apply(WalEntry{WalUpdateMetadata{collection, id, std::move(metadata)}}); !logged) {
      return std::unexpected(std::move(logged.error()));
    }
    return true;
  }();
  if (done && *done) maybe_checkpoint();
  return done;
}

Result<bool> Store::delete_document(const std::string& collection, const Uuid& id) {
  Result<bool> done = [&]() -> Result<bool> {
    auto locked = lock_for_change(collection);
    if (!locked) return std::unexpected(std::move(locked.error()));
    const bool live = locked->collection->contains(id);
    // Logged whether or not the document is live.
    if (Status logged = log_and_apply(WalEntry{WalDeleteDocument{collection, id}}); !logged) {
      return std::unexpected(std::move(logged.error()));
    }
    return live;
  }();
  if (done) maybe_checkpoint();
  return done;
}

}  // namespace karvalith

namespace karvalith {

Result<std::uint64_t> Store::delete_documents(const std::string& collection, std::span<const Uuid> ids) {
  Result<std::uint64_t> done = [&]() -> Result<std::uint64_t> {
    auto locked = lock_for_change(collection);
    if (!locked) return std::unexpected(std::move(locked.error()));
    return locked_delete(collection, live_among(*locked->collection, ids));
  }();
  if (done && *done != 0) maybe_checkpoint();
  return done;
}

Result<std::uint64_t> Store::delete_where(const std::string& collection, const MetadataFilter& filter) {
  Result<std::uint64_t> done = [&]() -> Result<std::uint64_t> {
    auto locked = lock_for_change(collection);
    if (!locked) return std::unexpected(std::move(locked.error()));
    // The write order keeps every other change out until the apply, so the
    // record deletes exactly what the filter passes now.
    auto ids = passing_ids(*locked->collection, filter);
    if (!ids) return std::unexpected(std::move(ids.error()));
    return locked_delete(collection, std::move(*ids));
  }();
  if (done && *done != 0) maybe_checkpoint();
  return done;
}

Result<std::uint64_t> Store::locked_delete(const std::string& collection, std::vector<Uuid> ids) {
  const std::uint64_t count = ids.size();
  if (count == 0) return 0;
  if (Status logged = log_and_apply(WalEntry{WalDeleteDocuments{collection, std::move(ids)}}); !logged) {
    return std::unexpected(std::move(logged.error()));
  }
  return count;
}

}  // namespace karvalith
