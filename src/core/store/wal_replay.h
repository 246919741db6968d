// Re-applies logged mutations to a registry at start-up.
#pragma once

#include <span>

#include "core/engine/database.h"
#include "core/wal/wal_entry.h"

namespace karvalith {

// Applies `entries` in order. Every rule is a no-op when the snapshot already
// holds the change, so records older than a snapshot replay harmlessly:
//   create   ignored when the name is taken;
//   delete   removes the collection if present;
//   insert   only into an existing collection, and only when the id is not
//            live. An id that is deleted but still holds a slot can only have
//            been re-inserted after a rebuild (which is not logged), so the
//            collection is rebuilt first: the insert then takes a fresh slot
//            instead of giving the id two;
//   delete document  if the collection exists;
//   batch    each pair as an insert, each check seeing the inserts before it;
//   update   delete then insert, whatever the delete found.
// Never fails and writes nothing to any log.
void replay_wal(Database& database, std::span<const WalEntry> entries);

}  // namespace karvalith
