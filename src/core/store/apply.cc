#include "core/store/apply.h"

#include <optional>
#include <unordered_set>
#include <type_traits>
#include <utility>

namespace karvalith {

namespace {

ApplyOutcome applied() { return {}; }
ApplyOutcome already_applied() { return {ApplyStatus::AlreadyApplied, {}, false}; }
ApplyOutcome failed(std::string problem, bool data_missing = false) {
  return {ApplyStatus::Failed, std::move(problem), data_missing};
}

ApplyOutcome missing_collection(const std::string& name) {
  return failed("collection '" + name + "' does not exist", true);
}

ApplyOutcome insert_one(Collection& collection, Document&& document, std::vector<float>&& embedding) {
  if (collection.contains(document.id)) return already_applied();
  const std::string id_text = document.id.to_string();
  auto inserted = collection.insert_document(std::move(document), std::move(embedding));
  if (!inserted) return failed("document '" + id_text + "': " + inserted.error().message);
  return applied();
}

ApplyOutcome upsert_one(Collection& collection, Document&& document, std::vector<float>&& embedding) {
  const std::string id_text = document.id.to_string();
  auto placed = collection.upsert_document(std::move(document), std::move(embedding));
  if (!placed) return failed("document '" + id_text + "': " + placed.error().message);
  return applied();
}

ApplyOutcome create(Database& database, WalCreateCollection&& change) {
  Status created = database.create_collection(change.name, change.dimension, change.config);
  if (created) return applied();
  if (CollectionPtr existing = database.get_collection(change.name)) {
    auto state = existing->state().read();
    if (state->dimension == change.dimension && state->hnsw.config() == change.config) return already_applied();
    return failed("collection '" + change.name + "' already exists with another dimension or configuration");
  }
  return failed(created.error().message);
}

// A batch's documents that are not live yet, each check seeing the ones
// before it (a repeated id counts once), inserted together.
ApplyOutcome insert_new(Collection& collection, std::vector<PendingDocument>& documents, unsigned threads,
                        Progress* progress) {
  std::unordered_set<Uuid, UuidHash> seen;
  std::vector<PendingDocument> fresh;
  fresh.reserve(documents.size());
  for (PendingDocument& pending : documents) {
    if (collection.contains(pending.document.id) || !seen.insert(pending.document.id).second) continue;
    fresh.push_back(std::move(pending));
  }
  if (fresh.empty()) return already_applied();
  if (Status valid = collection.validate_insert(fresh); !valid) {
    // A record of an old version may hold what the live path now refuses:
    // place what can be placed, one at a time.
    std::optional<ApplyOutcome> first_failure;
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      if (!keep_going(progress, i, fresh.size())) {
        return {ApplyStatus::Cancelled, "stopped after " + std::to_string(i) + " of " +
                                            std::to_string(fresh.size()) + " documents", false};
      }
      ApplyOutcome one = insert_one(collection, std::move(fresh[i].document), std::move(fresh[i].embedding));
      if (one.status == ApplyStatus::Failed && !first_failure) first_failure = std::move(one);
    }
    return first_failure ? *first_failure : applied();
  }
  if (Status inserted = collection.insert_batch(fresh, threads, progress); !inserted) {
    if (inserted.error().kind == ErrorKind::Cancelled) return {ApplyStatus::Cancelled, inserted.error().message, false};
    return failed(inserted.error().message);
  }
  return applied();
}

}  // namespace

ApplyOutcome apply_change(Database& database, WalEntry&& entry, unsigned threads, Progress* progress) {
  return std::visit(
      [&](auto&& change) -> ApplyOutcome {
        using Change = std::decay_t<decltype(change)>;
        if constexpr (std::is_same_v<Change, WalCreateCollection>) {
          return create(database, std::move(change));
        } else if constexpr (std::is_same_v<Change, WalDeleteCollection>) {
          return database.delete_collection(change.name) ? applied() : already_applied();
        } else if constexpr (std::is_same_v<Change, WalLoadCollection>) {
          return failed("a loaded collection is applied by replay");
        } else {
          CollectionPtr collection = database.get_collection(change.collection);
          if (!collection) return missing_collection(change.collection);
          if constexpr (std::is_same_v<Change, WalInsertDocument>) {
            return insert_one(*collection, std::move(change.document), std::move(change.embedding));
          } else if constexpr (std::is_same_v<Change, WalDeleteDocument>) {
            return collection->delete_document(change.id) ? applied() : already_applied();
          } else if constexpr (std::is_same_v<Change, WalBatchInsert>) {
            return insert_new(*collection, change.documents, threads, progress);
          } else if constexpr (std::is_same_v<Change, WalUpdateMetadata>) {
            return collection->update_metadata(change.id, std::move(change.metadata)) ? applied() : already_applied();
          } else if constexpr (std::is_same_v<Change, WalDeleteDocuments>) {
            return collection->delete_documents(change.ids) != 0 ? applied() : already_applied();
          } else {
            static_assert(std::is_same_v<Change, WalUpdateDocument>);
            // The entry's id names the document replaced; the document itself
            // carries the id it is stored under (the same for upserts).
            if (change.document.id != change.id) collection->delete_document(change.id);
            return upsert_one(*collection, std::move(change.document), std::move(change.embedding));
          }
        }
      },
      std::move(entry.value));
}

}  // namespace karvalith
