// The methods of Karvalith, one function each, in vectorcall form. They may
// throw (only bad_alloc in practice); the method table wraps each in
// guarded_call.
#pragma once

#include <Python.h>

#include "handle.h"

namespace karvalith::py {

using MethodBody = PyObject* (*)(Handle&, PyObject* const*, Py_ssize_t, PyObject*);

// Collections.
PyObject* create_collection(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* delete_collection(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* list_collections(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* collection_info(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* rebuild(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* total_memory_bytes(Handle&, PyObject* const*, Py_ssize_t, PyObject*);

// Documents.
PyObject* insert(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* batch_insert(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* upsert(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* update_metadata(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* list_ids(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* get_embedding(Handle&, PyObject* const*, Py_ssize_t, PyObject*);

// Selections by id or filter (query_methods.cc).
PyObject* get(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* delete_document(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* delete_where(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* count(Handle&, PyObject* const*, Py_ssize_t, PyObject*);

// Queries (search_method.cc).
PyObject* search(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* batch_search(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* keyword_statistics(Handle&, PyObject* const*, Py_ssize_t, PyObject*);

// Checkpoints (checkpoint_methods.cc).
PyObject* save(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* load(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* compact(Handle&, PyObject* const*, Py_ssize_t, PyObject*);

// Lifecycle (lifecycle_methods.cc). close is also __exit__'s work.
PyObject* close(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* close_handle(Handle&);
PyObject* status(Handle&, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* salvage_log(Handle&, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace karvalith::py
