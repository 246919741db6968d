// Conversion of a filter argument (search, batch_search, get, count,
// delete_where) into the core's MetadataFilter. Two grammars share it:
//
//   the list form     {"must": [condition, ...], "must_not": [condition, ...]}
//                     with conditions {"field", "op", "value" | "values"}
//                     (convert.h);
//   the operator form {"year": 2024, "tag": {"$in": ["a", "b"]},
//                      "$or": [filter, ...], "$and": [...], "$not": filter}
//                     in the style of document databases.
//
// A dict with a top-level key "must" or "must_not" is the list form; any
// other dict is the operator form (so {} passes everything either way). A
// metadata key literally named "must" is written inside "$and".
#pragma once

#include <Python.h>

#include "core/search/filter_types.h"

namespace karvalith::py {

// TypeError when `object` is not a dict; ValueError (or OverflowError for
// an integer beyond 64 bits) naming the part of the filter that is wrong.
bool to_filter(PyObject* object, MetadataFilter& out);

// karvalith.filter_fields(filter): the metadata keys a filter tests, sorted,
// after checking the filter as search does.
PyObject* filter_fields(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace karvalith::py
