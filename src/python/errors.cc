#include "errors.h"

#include "py_ref.h"
#include "py_text.h"

namespace karvalith::py {

namespace {

// karvalith.DirectoryLockedError, made with the module (one interpreter).
PyObject* directory_locked_error = nullptr;

PyObject* exception_class(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::NotFound:
      return PyExc_KeyError;
    case ErrorKind::InvalidInput:
      return PyExc_ValueError;
    case ErrorKind::InvalidData:
    case ErrorKind::Io:
    case ErrorKind::Other:
      return PyExc_RuntimeError;
    case ErrorKind::Busy:
      return directory_locked_error != nullptr ? directory_locked_error : PyExc_RuntimeError;
    case ErrorKind::Internal:
      return PyExc_SystemError;
    case ErrorKind::Cancelled:  // a call stopped by its progress (call_progress.h raises the cause instead)
      return PyExc_KeyboardInterrupt;
  }
  return PyExc_SystemError;
}

}  // namespace

bool add_exception_classes(PyObject* module) {
  if (directory_locked_error == nullptr) {
    directory_locked_error = PyErr_NewExceptionWithDoc(
        "karvalith.DirectoryLockedError",
        "The data directory is in use by another Karvalith handle (in this or another process).",
        PyExc_RuntimeError, nullptr);
    if (directory_locked_error == nullptr) return false;
  }
  Py_INCREF(directory_locked_error);
  if (PyModule_AddObject(module, "_DirectoryLockedError", directory_locked_error) != 0) {
    Py_DECREF(directory_locked_error);
    return false;
  }
  return true;
}

PyObject* raise_message(PyObject* type, const std::string& message) {
  // "replace" keeps a message that quotes malformed caller text readable.
  PyRef text = PyRef::steal(utf8_to_py(message));
  if (!text) return nullptr;
  // A tuple makes the message the single argument for every class, including
  // KeyError, whose value would otherwise be unpacked if it were a tuple.
  PyRef args = PyRef::steal(PyTuple_Pack(1, text.get()));
  if (!args) return nullptr;
  PyErr_SetObject(type, args.get());
  return nullptr;
}

PyObject* raise_error(const Error& error) {
  return raise_message(exception_class(error.kind), error.message);
}

}  // namespace karvalith::py
