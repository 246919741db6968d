// Argument matching and conversion shared by every method: parameters bind
// by position, then by keyword; each converter names its parameter in the
// TypeError / OverflowError it raises. Every function returning bool has set
// a Python exception when it returns false.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace karvalith::py {

struct Signature {
  const char* function;                // method name, for messages
  std::span<const char* const> names;  // parameters in positional order
  std::size_t required;                // the first `required` must be given
};

// Vectorcall form (METH_FASTCALL | METH_KEYWORDS). Fills `slots` (one per
// parameter, borrowed references, null where not given). TypeError for too
// many positionals, unknown or duplicate keywords and missing required ones.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots);
// Tuple-and-dict form (tp_new).
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots);

// An argument omitted or passed as None.
inline bool is_absent(PyObject* value) { return value == nullptr || value == Py_None; }

// Rewrites the pending TypeError, ValueError or OverflowError as the same
// class with "<prefix>: " before its message; other errors stay as raised.
// Returns false.
bool prefix_pending_error(const std::string& prefix);
// The same with the prefix "argument '<param>'".
bool name_parameter_in_error(const char* param);

// Accepts only str (or a subclass); copies its UTF-8 form. A str that cannot
// be encoded (lone surrogates) fails with the interpreter's own error.
bool to_text(PyObject* value, const char* param, std::string& out);
bool to_optional_text(PyObject* value, const char* param, std::optional<std::string>& out);

// A str, or an os.PathLike whose path is a str (pathlib.Path); bytes paths
// are refused like other types.
bool to_path(PyObject* value, const char* param, std::string& out);
bool to_optional_path(PyObject* value, const char* param, std::optional<std::string>& out);

// A dict (a new reference), or a new dict holding the items of another
// mapping (anything with keys(), as dict() takes it). Null with no exception
// set when value is not a mapping; null with one set when reading it failed.
PyObject* as_dict(PyObject* value);

// A list (a new reference), or a new list of the items of a tuple or another
// iterable (a generator, say). Null with no exception set when value is not
// one (str, bytes and mappings, though iterable, are not taken); null with one
// set when iterating failed.
PyObject* as_list(PyObject* value);

// TypeError "<what>: expected <expected>, got <type of value>". Returns false.
bool wrong_type(const std::string& what, const char* expected, PyObject* value);

// as_dict and as_list, with the TypeError "<what>: expected <expected>, got
// <type>" for a value of another type.
PyObject* to_dict(PyObject* value, const std::string& what, const char* expected);
PyObject* to_list(PyObject* value, const std::string& what, const char* expected);

// Accepts integers (anything with __index__) from 0 to 2^64-1.
bool to_u64(PyObject* value, const char* param, std::uint64_t& out);
bool to_optional_u64(PyObject* value, const char* param, std::optional<std::uint64_t>& out);

// Any object convertible to a Python float (float, int, __float__,
// __index__), rounded to the nearest f32 (infinite beyond the largest).
bool to_f32(PyObject* value, const char* param, float& out);

// num_threads: an unsigned integer, absent meaning 0; 0 becomes one thread
// per core the process may use.
bool to_thread_count(PyObject* value, unsigned& out);

// Accepts only True or False (integers are refused).
bool to_optional_bool(PyObject* value, const char* param, std::optional<bool>& out);

}  // namespace karvalith::py
