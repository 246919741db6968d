#include "core/store/replay.h"

#include <string>
#include <unordered_map>
#include <utility>

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
