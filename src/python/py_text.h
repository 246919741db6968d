// Text between the core (UTF-8 bytes) and Python str objects. Text from the
// core as a str: invalid UTF-8
// (caller text quoted in a message, say) becomes U+FFFD instead of failing.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace karvalith::py {

// A new reference; null with an exception set only when memory runs out.
inline PyObject* utf8_to_py(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// None for empty text (a field the core leaves empty when it has no value).
inline PyObject* utf8_or_none(std::string_view text) {
  if (text.empty()) Py_RETURN_NONE;
  return utf8_to_py(text);
}

// Copies the UTF-8 form of a str (which the caller has checked is one) into
// `out`. False with the interpreter's error for a str that cannot be encoded
// (lone surrogates).
inline bool utf8_of(PyObject* text, std::string& out) {
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &length);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<std::size_t>(length));
  return true;
}

}  // namespace karvalith::py
