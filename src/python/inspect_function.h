// _karvalith.inspect_directory: a read-only look into a data directory.
#pragma once

#include <Python.h>

namespace karvalith::py {

PyObject* inspect_directory(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace karvalith::py
