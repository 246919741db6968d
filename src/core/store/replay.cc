#include "core/store/replay.h"

#include <string>
#include <unordered_map>
#include <utility>
#include <variant>

#include "core/common/parallel.h"

namespace karvalith {

namespace {

const char* WAL_NAME = "wal.bin";

// The record named by its change, for messages: "the {describe} {collection}".
struct RecordName {
  const char* operator()(const WalCreateCollection&) const { return "creation of"; }
  const char* operator()(const WalDeleteCollection&) const { return "deletion of"; }
  const char* operator()(const WalInsertDocument&) const { return "insert into"; }
  const char* operator()(const WalDeleteDocument&) const { return "document deletion in"; }
  const char* operator()(const WalBatchInsert&) const { return "batch insert into"; }
  const char* operator()(const WalUpdateDocument&) const { return "update in"; }
  const char* operator()(const WalLoadCollection&) const { return "load of"; }
  const char* operator()(const WalUpdateMetadata&) const { return "metadata update in"; }
  const char* operator()(const WalDeleteDocuments&) const { return "deletion of documents in"; }
};

const char* describe(const WalEntry& entry) { return std::visit(RecordName{}, entry.value); }

bool resets_collection(const WalEntry& entry) {
  return std::holds_alternative<WalDeleteCollection>(entry.value) ||
         std::holds_alternative<WalLoadCollection>(entry.value);
}

// Whether `removal` deletes exactly the documents `batch` inserts, in order:
// the record a batch insert stopped while linking is rolled back with.
bool removes_batch(const WalEntry& batch, const WalEntry& removal) {
  const auto* inserted = std::get_if<WalBatchInsert>(&batch.value);
  const auto* removed = std::get_if<WalDeleteDocuments>(&removal.value);
  if (inserted == nullptr || removed == nullptr || inserted->documents.size() != removed->ids.size()) return false;
  for (std::size_t i = 0; i < removed->ids.size(); ++i) {
    if (inserted->documents[i].document.id != removed->ids[i]) return false;
  }
  return true;
}

}  // namespace

Result<std::vector<RecoveryIssue>> replay(Database& database, std::vector<LoggedChange> changes,
                                          const LoadReplayer& replay_load, Progress* progress) {
  std::unordered_map<std::string, std::size_t> last_reset;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    if (resets_collection(changes[i].entry)) last_reset[changed_collection(changes[i].entry)] = i;
  }
  // A batch rolled back by the next record of its collection is skipped
  // with that record: it would be linked only to be removed.
  std::vector<bool> rolled_back(changes.size(), false);
  std::unordered_map<std::string, std::size_t> previous;  // the last record of each collection so far
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const std::string& name = changed_collection(changes[i].entry);
    if (auto before = previous.find(name); before != previous.end() &&
                                           removes_batch(changes[before->second].entry, changes[i].entry)) {
      rolled_back[before->second] = rolled_back[i] = true;
    }
    previous[name] = i;
  }
  auto skipped = [&](std::size_t i) {
    if (rolled_back[i]) return true;
    auto reset = last_reset.find(changed_collection(changes[i].entry));
    return reset != last_reset.end() && i < reset->second;
  };
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
