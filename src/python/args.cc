#include "args.h"

#include <cmath>
#include <string_view>

#include "core/common/parallel.h"
#include "py_ref.h"

namespace karvalith::py {

namespace {

bool too_many_positionals(const Signature& signature, Py_ssize_t nargs) {
  PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional arguments (%zd given)",
               signature.function, static_cast<Py_ssize_t>(signature.names.size()), nargs);
  return false;
}

// Binds one keyword argument to its slot.
bool bind_keyword(const Signature& signature, PyObject* key, PyObject* value,
                  std::span<PyObject*> slots) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.function);
    return false;
  }
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &length);
  if (utf8 == nullptr) return false;
  const std::string_view name(utf8, static_cast<std::size_t>(length));
  for (std::size_t i = 0; i < signature.names.size(); ++i) {
    if (name != signature.names[i]) continue;
    if (slots[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                   signature.function, signature.names[i]);
      return false;
    }
    slots[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function,
               key);
  return false;
}

bool check_required(const Signature& signature, std::span<PyObject*> slots) {
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (slots[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                   signature.function, signature.names[i], i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots) {
  for (PyObject*& slot : slots) slot = nullptr;
  if (static_cast<std::size_t>(nargs) > signature.names.size()) {
    return too_many_positionals(signature, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) {
        return false;
      }
    }
  }
  return check_required(signature, slots);
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots) {
  for (PyObject*& slot : slots) slot = nullptr;
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<std::size_t>(nargs) > signature.names.size()) {
    return too_many_positionals(signature, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    slots[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!bind_keyword(signature, key, value, slots)) return false;
    }
  }
  return check_required(signature, slots);
}

bool prefix_pending_error(const std::string& prefix) {
  const bool rewritable = PyErr_ExceptionMatches(PyExc_TypeError) ||
                          PyErr_ExceptionMatches(PyExc_OverflowError) ||
                          PyErr_ExceptionMatches(PyExc_ValueError);
  // Subclasses with structured arguments (UnicodeEncodeError) stay as raised.
  if (!rewritable || PyErr_ExceptionMatches(PyExc_UnicodeError)) return false;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_value = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  PyRef text = PyRef::steal(value != nullptr ? PyObject_Str(value) : nullptr);
  if (!text) {
    PyErr_Clear();
    text = PyRef::steal(PyUnicode_FromString("invalid value"));
    if (!text) return false;
  }
  PyErr_Format(type, "%s: %U", prefix.c_str(), text.get());
  return false;
}

bool name_parameter_in_error(const char* param) {
  return prefix_pending_error(std::string("argument '") + param + "'");
}

bool to_text(PyObject* value, const char* param, std::string& out) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %s", param,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &length);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<std::size_t>(length));
  return true;
}

bool to_optional_text(PyObject* value, const char* param, std::optional<std::string>& out) {
  if (is_absent(value)) {
    out.reset();
    return true;
  }
  return to_text(value, param, out.emplace());
}

bool to_path(PyObject* value, const char* param, std::string& out) {
  if (PyUnicode_Check(value)) return to_text(value, param, out);
  if (!PyObject_HasAttrString(value, "__fspath__")) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str or os.PathLike, got %s", param,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  PyRef path = PyRef::steal(PyOS_FSPath(value));
  if (!path) return name_parameter_in_error(param);
  return to_text(path.get(), param, out);
}

bool to_optional_path(PyObject* value, const char* param, std::optional<std::string>& out) {
  if (is_absent(value)) {
    out.reset();
    return true;
  }
  return to_path(value, param, out.emplace());
}

bool wrong_type(const std::string& what, const char* expected, PyObject* value) {
  PyErr_Format(PyExc_TypeError, "%s: expected %s, got %s", what.c_str(), expected, Py_TYPE(value)->tp_name);
  return false;
}

namespace {

bool is_mapping(PyObject* value) { return PyDict_Check(value) || PyObject_HasAttrString(value, "keys"); }

}  // namespace

PyObject* as_dict(PyObject* value) {
  if (PyDict_Check(value)) {
    Py_INCREF(value);
    return value;
  }
  if (!is_mapping(value)) return nullptr;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || PyDict_Merge(dict.get(), value, 1) != 0) return nullptr;
  return dict.release();
}

PyObject* as_list(PyObject* value) {
  if (PyList_Check(value)) {
    Py_INCREF(value);
    return value;
  }
  if (PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value) || is_mapping(value)) {
    return nullptr;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(value));
  if (!iterator) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) PyErr_Clear();  // not iterable
    return nullptr;
  }
  return PySequence_List(iterator.get());
}

PyObject* to_dict(PyObject* value, const std::string& what, const char* expected) {
  PyObject* dict = as_dict(value);
  if (dict == nullptr && !PyErr_Occurred()) wrong_type(what, expected, value);
  return dict;
}

PyObject* to_list(PyObject* value, const std::string& what, const char* expected) {
  PyObject* list = as_list(value);
  if (list == nullptr && !PyErr_Occurred()) wrong_type(what, expected, value);
  return list;
}

bool to_u64(PyObject* value, const char* param, std::uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) return name_parameter_in_error(param);
  const unsigned long long converted = PyLong_AsUnsignedLongLong(index.get());
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return name_parameter_in_error(param);
  }
  out = converted;
  return true;
}

bool to_optional_u64(PyObject* value, const char* param, std::optional<std::uint64_t>& out) {
  if (is_absent(value)) {
    out.reset();
    return true;
  }
  return to_u64(value, param, out.emplace());
}

bool to_optional_bool(PyObject* value, const char* param, std::optional<bool>& out) {
  if (is_absent(value)) {
    out.reset();
    return true;
  }
  if (!PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected bool, got %s", param,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  out = (value == Py_True);
  return true;
}

namespace {

// Nearest f32 to a double, ties to even; beyond the largest float (plus half
// its spacing) the result is infinite, as with IEEE conversion.
float round_to_f32(double value) {
  constexpr double OVERFLOW_THRESHOLD = 0x1.ffffffp127;
  if (std::isfinite(value) && std::fabs(value) >= OVERFLOW_THRESHOLD) {
    return value > 0 ? HUGE_VALF : -HUGE_VALF;
  }
  return static_cast<float>(value);
}

}  // namespace

bool to_f32(PyObject* value, const char* param, float& out) {
  const double converted = PyFloat_AsDouble(value);
  if (converted == -1.0 && PyErr_Occurred()) return name_parameter_in_error(param);
  out = round_to_f32(converted);
  return true;
}

bool to_thread_count(PyObject* value, unsigned& out) {
  std::uint64_t requested = 0;
  if (!is_absent(value) && !to_u64(value, "num_threads", requested)) return false;
  out = resolve_thread_count(requested);
  return true;
}

}  // namespace karvalith::py
