// Applying one logged change to the registry. The live write path applies
// each change with this after validating and logging it; replay applies the
// log's changes with it at open. Its rules make a change that a loaded
// snapshot already holds a no-op, because a crash between a checkpoint's
// snapshots and its truncation of the log replays records the snapshots hold:
//   create           ignored when the name exists with the same dimension
//                    and configuration;
//   delete           removes the collection if present;
//   insert           skipped when the id is live; a deleted id's old slot
//                    gives the id up to the new one (place_in_next_slot);
//   delete document  removes the document if live;
//   delete documents removes each listed document that is live;
//   batch            each pair as an insert, each check seeing the ones before;
//   update           replaces the document with the entry's id, or inserts
//                    it when there is none (an upsert), whatever came before;
//   update metadata  replaces a live document's metadata; nothing otherwise.
// None of them rebuilds anything.
// LoadCollection needs the data directory and is applied by replay itself.
#pragma once

#include <string>

#include "core/common/progress.h"
#include "core/engine/database.h"
#include "core/wal/wal_entry.h"

namespace karvalith {

enum class ApplyStatus {
  Applied,         // the change was made
  AlreadyApplied,  // the registry already held it: nothing to do
  Failed,          // it could not be made; `problem` says why
  Cancelled,       // a batch stopped by its Progress: part of it is made, `problem` says how much
};

struct ApplyOutcome {
  ApplyStatus status = ApplyStatus::Applied;
  std::string problem;
  // A failure that means data is missing (a change to a collection that does
  // not exist), not merely a change that makes no difference.
  bool data_missing = false;
};

// Consumes `entry` (documents and embeddings are moved into the collection).
// A batch insert links its documents into the graph from `threads` threads
// (Collection::insert_batch), reporting to `progress` (may be null), which
// may stop it part way (Cancelled). Writes nothing to any log.
ApplyOutcome apply_change(Database& database, WalEntry&& entry, unsigned threads = 1, Progress* progress = nullptr);

}  // namespace karvalith
