// The one place where a core error becomes a Python exception, and the guard
// that keeps C++ exceptions from crossing into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "core/common/result.h"

namespace karvalith::py {

// Sets the exception for `error` (NotFound -> KeyError, InvalidInput ->
// ValueError, InvalidData/Io/Other -> RuntimeError, Busy ->
// DirectoryLockedError (a RuntimeError), Internal -> SystemError,
// Cancelled -> KeyboardInterrupt);
// the message is the exception's single argument. Always returns null.
PyObject* raise_error(const Error& error);

// Creates DirectoryLockedError on first use and adds it to `module` as
// _DirectoryLockedError (the package exports it under its own name).
bool add_exception_classes(PyObject* module);

// Sets `type` with `message` as its single argument. Always returns null.
PyObject* raise_message(PyObject* type, const std::string& message);

// Runs a method body; a C++ exception becomes MemoryError (bad_alloc) or
// SystemError (anything else) instead of unwinding through the interpreter.
template <class Body>
auto guarded_call(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    PyErr_Format(PyExc_SystemError, "internal error: %s", fault.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "internal error: unknown exception");
  }
  return decltype(body()){};
}

}  // namespace karvalith::py
