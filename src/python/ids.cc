#include "ids.h"

#include "args.h"
#include "errors.h"
#include "py_ref.h"

namespace karvalith::py {

PyObject* id_to_py(const Uuid& id) {
  // Formatted straight into a new ASCII string: no decoding pass.
  PyObject* text = PyUnicode_New(36, 127);
  if (text == nullptr) return nullptr;
  id.format_into(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text)));
  return text;
}

bool parse_id(const std::string& text, Uuid& out, const std::string& where) {
  Result<Uuid> parsed = Uuid::parse(text);
  if (!parsed) {
    raise_message(PyExc_ValueError, "invalid UUID: " + parsed.error().message + where + "; " + UUID_HINT);
    return false;
  }
  out = *parsed;
  return true;
}

bool to_ids_argument(PyObject* value, const char* param, IdsArgument& out) {
  if (PyUnicode_Check(value)) {
    out.single = true;
    return to_text(value, param, out.texts.emplace_back());
  }
  if (!PyList_Check(value) && !PyTuple_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str or a list of str, got %s", param,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  // Held, and the size read once: converting str items runs no Python code.
  PyRef sequence = PyRef::borrow(value);
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
  out.texts.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PySequence_Fast_ITEMS(sequence.get())[i];
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': item %zd: expected str, got %s", param, i,
                   Py_TYPE(item)->tp_name);
      return false;
    }
    if (!to_text(item, param, out.texts.emplace_back())) return false;
  }
  return true;
}

bool parse_ids(const IdsArgument& argument, const char* param, std::vector<Uuid>& out) {
  out.reserve(argument.texts.size());
  for (std::size_t i = 0; i < argument.texts.size(); ++i) {
    const std::string where = argument.single ? "" : " (" + std::string(param) + "[" + std::to_string(i) + "])";
    if (!parse_id(argument.texts[i], out.emplace_back(), where)) return false;
  }
  return true;
}

}  // namespace karvalith::py
