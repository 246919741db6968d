// CollectionInfo: an independent summary of one collection with read-only
// getters.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

namespace karvalith::py {

struct CollectionSummary {
  std::string name;
  std::uint64_t dimension = 0;
  std::uint64_t document_count = 0;
  std::uint64_t estimated_memory_bytes = 0;
};

// Creates the class (once, at module initialisation). New reference.
PyObject* create_collection_info_type();

PyObject* new_collection_info(CollectionSummary summary);

}  // namespace karvalith::py
