// SearchResult: an independent copy of one search hit (id, text, score,
// metadata) with read-only getters.
#pragma once

#include <Python.h>

#include "core/document/document.h"

namespace karvalith::py {

// Creates the class (once, at module initialisation). New reference.
PyObject* create_search_result_type();

// A new SearchResult copying the document's id, text and metadata.
PyObject* new_search_result(const Document& document, float score);

}  // namespace karvalith::py
