// SearchResult: an independent copy of one search hit (id, text, score,
// metadata) with read-only getters.
#pragma once

#include <Python.h>

#include "core/document/document.h"

namespace karvalith::py {

// Creates the class (once, at module initialisation). New reference.
PyObject* create_search_result_type();

// A new SearchResult holding the document (never null); its attributes are
// converted when read.
PyObject* new_search_result(DocumentPtr document, float score);

}  // namespace karvalith::py
