#include "errors.h"

#include "py_ref.h"

namespace karvalith::py {

namespace {

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
    case ErrorKind::Internal:
      return PyExc_SystemError;
    case ErrorKind::Cancelled:  // a call stopped by its progress (call_progress.h raises the cause instead)
      return PyExc_KeyboardInterrupt;
  }
  return PyExc_SystemError;
}

}  // namespace

PyObject* raise_message(PyObject* type, const std::string& message) {
  // "replace" keeps a message that quotes malformed caller text readable.
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
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
