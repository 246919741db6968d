// CollectionInfo: an independent summary of one collection with read-only
// getters.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "core/engine/collection.h"

namespace karvalith::py {

// Creates the class (once, at module initialisation). New reference.
PyObject* create_collection_info_type();

PyObject* new_collection_info(CollectionSummary summary);

}  // namespace karvalith::py
