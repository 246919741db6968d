// The module-level functions of _karvalith (functions that need no handle).
#pragma once

#include <Python.h>

namespace karvalith::py {

// The null-terminated method table of the module.
PyMethodDef* module_functions();

}  // namespace karvalith::py
