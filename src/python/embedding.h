// Conversion of an embedding argument to 32-bit floats.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

namespace karvalith::py {

// Accepts any sequence of numbers other than str. Objects exporting a 1-D
// buffer (any stride) of native float32 or float64 (numpy arrays,
// array.array('f'/'d'), memoryviews) are read directly, without a Python
// float per component; every other sequence goes item by item. Both paths
// round each value to the nearest float32 the same way. On failure raises
// TypeError (or OverflowError) whose message starts with `label`.
bool to_embedding(PyObject* value, const std::string& label, std::vector<float>& out);

}  // namespace karvalith::py
