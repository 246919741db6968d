#include "core/store/replay.h"

#include <algorithm>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>

#include "core/common/parallel.h"

namespace karvalith {

namespace {

const char* WAL_NAME = "wal.bin";

const char* describe(const WalEntry& entry) {
  switch (entry.value.index()) {
    case 0: return "creation of";
    case 1: return "deletion of";
    case 2: return "insert into";
    case 3: return "document deletion in";
    case 4: return "batch insert into";
    case 5: return "update in";
    case 6: return "load of";
    case 7: return "metadata update in";
    default: return "deletion of documents in";
  }
}

bool resets_collection(const WalEntry& entry) {
  return std::holds_alternative<WalDeleteCollection>(entry.value) ||
         std::holds_alternative<WalLoadCollection>(entry.value);
}

// The ids an entry deletes, and the ids it otherwise touches (inserts,
// replaces or changes).
void touched_ids(const WalEntry& entry, std::vector<Uuid>& deleted, std::vector<Uuid>& other) {
  std::visit(
      [&](const auto& change) {
        using Change = std::decay_t<decltype(change)>;
        if constexpr (std::is_same_v<Change, WalDeleteDocument>) {
          deleted.push_back(change.id);
        } else if constexpr (std::is_same_v<Change, WalDeleteDocuments>) {
          deleted.insert(deleted.end(), change.ids.begin(), change.ids.end());
        } else if constexpr (std::is_same_v<Change, WalInsertDocument>) {
          other.push_back(change.document.id);
        } else if constexpr (std::is_same_v<Change, WalBatchInsert>) {
          for (const PendingDocument& pending : change.documents) other.push_back(pending.document.id);
        } else if constexpr (std::is_same_v<Change, WalUpdateDocument>) {
          other.push_back(change.id);
          other.push_back(change.document.id);
        } else if constexpr (std::is_same_v<Change, WalUpdateMetadata>) {
          other.push_back(change.id);
        }
      },
      entry.value);
}

// Drops from each batch the documents whose id's last record in the log is
// a deletion: they would be linked only to be removed (a batch rolled back
// after a stop costs nothing to replay). Only records `applied` counts.
template <class Applied>
void drop_undone_batch_documents(std::vector<LoggedChange>& changes, const Applied& applied) {
  const bool any_deletion = std::any_of(changes.begin(), changes.end(), [](const LoggedChange& change) {
    return std::holds_alternative<WalDeleteDocument>(change.entry.value) ||
           std::holds_alternative<WalDeleteDocuments>(change.entry.value);
  });
  if (!any_deletion) return;
  // Per collection, whether the last record of each id deletes it.
  std::unordered_map<std::string, std::unordered_map<Uuid, bool, UuidHash>> last_is_deletion;
  std::vector<Uuid> deleted;
  std::vector<Uuid> other;
  for (std::size_t i = changes.size(); i-- > 0;) {
    if (!applied(i)) continue;
    WalEntry& entry = changes[i].entry;
    auto& last = last_is_deletion[changed_collection(entry)];
    if (auto* batch = std::get_if<WalBatchInsert>(&entry.value)) {
      std::erase_if(batch->documents, [&](const PendingDocument& pending) {
        const auto found = last.find(pending.document.id);
        return found != last.end() && found->second;
      });
    }
    deleted.clear();
    other.clear();
    touched_ids(entry, deleted, other);
    for (const Uuid& id : deleted) last.try_emplace(id, true);
    for (const Uuid& id : other) last.try_emplace(id, false);
  }
}

}  // namespace

Result<std::vector<RecoveryIssue>> replay(Database& database, std::vector<LoggedChange> changes,
                                          const LoadReplayer& replay_load, Progress* progress) {
  std::unordered_map<std::string, std::size_t> last_reset;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    if (resets_collection(changes[i].entry)) last_reset[changed_collection(changes[i].entry)] = i;
  }
  auto skipped = [&](std::size_t i) {
    auto reset = last_reset.find(changed_collection(changes[i].entry));
    return reset != last_reset.end() && i < reset->second;
  };
  drop_undone_batch_documents(changes, [&](std::size_t i) { return !skipped(i); });
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    if (!skipped(i)) total += changed_documents(changes[i].entry);
  }

  std::vector<RecoveryIssue> issues;
  std::uint64_t done = 0;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    if (skipped(i)) continue;
    LoggedChange& change = changes[i];
    const std::string name = changed_collection(change.entry);
    const std::uint64_t size = changed_documents(change.entry);
    if (!keep_going(progress, done, total)) {
      return make_error(ErrorKind::Cancelled, "replay stopped after " + std::to_string(done) + " of " +
                                                  std::to_string(total) + " logged documents");
    }

    const char* what = describe(change.entry);
    ApplyOutcome outcome;
    if (const auto* load = std::get_if<WalLoadCollection>(&change.entry.value)) {
      outcome = replay_load(*load);
    } else {
      // Every core the process may use links a logged batch into its graph.
      ProgressPart part(progress, done, total);
      outcome = apply_change(database, std::move(change.entry), resolve_thread_count(0), progress ? &part : nullptr);
    }
    if (outcome.status == ApplyStatus::Cancelled) {
      return make_error(ErrorKind::Cancelled, "replay stopped in the record at byte offset " +
                                                  std::to_string(change.offset) + ": " + outcome.problem);
    }
    done += size;
    if (outcome.status != ApplyStatus::Failed) continue;
    issues.push_back(RecoveryIssue{WAL_NAME, change.offset,
                                   "the logged " + std::string(what) + " collection '" + name +
                                       "' (record at byte offset " + std::to_string(change.offset) +
                                       ") could not be applied: " + outcome.problem,
                                   name, outcome.data_missing});
  }
  (void)keep_going(progress, total, total);  // the log is applied: nothing left to stop
  return issues;
}

}  // namespace karvalith
