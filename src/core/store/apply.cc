#include "core/store/apply.h"

#include <optional>
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

enum class IdState { Free, Live, Retired };

IdState id_state(const Collection& collection, const Uuid& id) {
  auto state = collection.state().read();
  if (state->documents.contains(id)) return IdState::Live;
  return state->uuid_to_internal.contains(id) ? IdState::Retired : IdState::Free;
}

ApplyOutcome insert_one(Collection& collection, Document&& document, std::vector<float>&& embedding) {
  switch (id_state(collection, document.id)) {
    case IdState::Live:
      return already_applied();
    case IdState::Retired:
      if (auto rebuilt = collection.rebuild(); !rebuilt) return failed(rebuilt.error().message);
      if (id_state(collection, document.id) != IdState::Free) {
        return failed("document id '" + document.id.to_string() + "' still holds a slot after a rebuild");
      }
      break;
    case IdState::Free:
      break;
  }
  const std::string id_text = document.id.to_string();
  auto inserted = collection.insert_document(std::move(document), std::move(embedding));
  if (!inserted) return failed("document '" + id_text + "': " + inserted.error().message);
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

}  // namespace

ApplyOutcome apply_change(Database& database, WalEntry&& entry) {
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
            // A document that cannot be placed does not keep the others out.
            ApplyOutcome outcome = already_applied();
            std::optional<ApplyOutcome> first_failure;
            for (PendingDocument& pending : change.documents) {
              ApplyOutcome one = insert_one(*collection, std::move(pending.document), std::move(pending.embedding));
              if (one.status == ApplyStatus::Failed && !first_failure) first_failure = std::move(one);
              if (one.status == ApplyStatus::Applied) outcome = applied();
            }
            return first_failure ? *first_failure : outcome;
          } else {
            static_assert(std::is_same_v<Change, WalUpdateDocument>);
            collection->delete_document(change.id);
            return insert_one(*collection, std::move(change.document), std::move(change.embedding));
          }
        }
      },
      std::move(entry.value));
}

}  // namespace karvalith
