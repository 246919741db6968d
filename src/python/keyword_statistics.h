// Keyword figures (Bm25Statistics) as Python dicts:
//   {"document_count": int, "total_length": int,
//    "document_frequencies": {term: int, ...}}
#pragma once

#include <Python.h>

#include "core/bm25/scorer.h"

namespace karvalith::py {

// A new dict of that shape (null with an exception only when memory runs out).
PyObject* bm25_statistics_to_py(const Bm25Statistics& statistics);

// Reads a dict (or subclass) of that shape for search's bm25_statistics:
// TypeError for a value of the wrong type, ValueError for a missing or
// unknown key.
bool to_bm25_statistics(PyObject* object, Bm25Statistics& out);

}  // namespace karvalith::py
