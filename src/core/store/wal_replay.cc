#include "core/store/wal_replay.h"

#include <type_traits>
#include <utility>

namespace karvalith {

namespace {

enum class IdState { Free, Live, Retired };

IdState id_state(const Collection& collection, const Uuid& id) {
  auto state = collection.state().read();
  if (state->documents.contains(id)) return IdState::Live;
  return state->uuid_to_internal.contains(id) ? IdState::Retired : IdState::Free;
}

void replay_insert(Collection& collection, const Document& document, const std::vector<float>& embedding) {
  switch (id_state(collection, document.id)) {
    case IdState::Live:
      return;
    case IdState::Retired:
      if (!collection.rebuild()) return;
      if (id_state(collection, document.id) != IdState::Free) return;
      break;
    case IdState::Free:
      break;
  }
  (void)collection.insert_document(document, embedding);
}

}  // namespace

void replay_wal(Database& database, std::span<const WalEntry> entries) {
  for (const WalEntry& entry : entries) {
    std::visit(
        [&](const auto& change) {
          using Change = std::decay_t<decltype(change)>;
          if constexpr (std::is_same_v<Change, WalCreateCollection>) {
            (void)database.create_collection(change.name, change.dimension, change.config);
          } else if constexpr (std::is_same_v<Change, WalDeleteCollection>) {
            database.delete_collection(change.name);
          } else {
            CollectionPtr collection = database.get_collection(change.collection);
            if (!collection) return;
            if constexpr (std::is_same_v<Change, WalInsertDocument>) {
              replay_insert(*collection, change.document, change.embedding);
            } else if constexpr (std::is_same_v<Change, WalDeleteDocument>) {
              collection->delete_document(change.id);
            } else if constexpr (std::is_same_v<Change, WalBatchInsert>) {
              for (const PendingDocument& pending : change.documents) {
                replay_insert(*collection, pending.document, pending.embedding);
              }
            } else {
              static_assert(std::is_same_v<Change, WalUpdateDocument>);
              collection->delete_document(change.id);
              replay_insert(*collection, change.document, change.embedding);
            }
          }
        },
        entry.value);
  }
}

}  // namespace karvalith
