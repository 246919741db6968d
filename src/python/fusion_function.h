// Module-level functions of _karvalith (not methods of a handle).
#pragma once

#include <Python.h>

namespace karvalith::py {

// _karvalith.fuse: the engine's hybrid fusion over lists the caller ranked.
PyObject* fuse(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace karvalith::py
