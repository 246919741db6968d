// The store's events (opens, recoveries, checkpoints, problems) written to
// the standard `logging` module's "karvalith" logger, with the interpreter
// lock held.
#pragma once

#include <Python.h>

#include "core/store/store.h"

namespace karvalith::py {

// Logs every event the store has queued. Keeps a pending exception; a
// logging failure goes to sys.unraisablehook rather than failing the call.
void log_store_events(Store& store);

}  // namespace karvalith::py
