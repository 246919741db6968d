// Re-applying the log at open.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "core/common/progress.h"
#include "core/common/result.h"
#include "core/engine/database.h"
#include "core/store/apply.h"
#include "core/store/recovery_issue.h"
#include "core/wal/wal_entry.h"

namespace karvalith {

struct LoggedChange {
  WalEntry entry;
  std::uint64_t offset = 0;  // of its record in the log
};

// Installs the collection a LoadCollection record names (it needs the data
// directory, which replay does not know).
using LoadReplayer = std::function<ApplyOutcome(const WalLoadCollection&)>;

// Applies `changes` in order with apply_change (LoadCollection records with
// `replay_load`) and returns one issue per change that could not be applied.
// `progress` (may be null) hears the documents applied (changed_documents)
// of all the changes applied; a stop is ErrorKind::Cancelled, with the
// database part way through the log (the caller drops it).
//
// A change to a collection that a later record deletes or replaces by a load
// is skipped: whatever it did is undone by that record. So is a batch insert
// whose collection's next record removes exactly its documents (a batch
// rolled back after a stop), together with that record. Skipping it also
// keeps a deleted collection's history from being applied to a newer
// collection of the same name that a snapshot already holds.
Result<std::vector<RecoveryIssue>> replay(Database& database, std::vector<LoggedChange> changes,
                                          const LoadReplayer& replay_load, Progress* progress = nullptr);

}  // namespace karvalith
