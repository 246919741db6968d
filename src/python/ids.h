// Document ids between Python and the core: UUID text in, canonical text
// out, and the argument of methods that take one id or many.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "core/document/uuid.h"

namespace karvalith::py {

// What every refused id says after the parser's reason: how to make a UUID
// from any name.
inline constexpr const char* UUID_HINT =
    "ids are UUID strings; make one from a name with str(uuid.uuid5(uuid.NAMESPACE_URL, name))";

// The 36-character lower-case form (null with an exception when out of memory).
PyObject* id_to_py(const Uuid& id);

// ValueError "invalid UUID: {reason}{where}; {UUID_HINT}" for text that is
// not a UUID; `where` (e.g. " (ids[2])") may be empty.
bool parse_id(const std::string& text, Uuid& out, const std::string& where = "");

// The ids argument of get and delete: one str, or a list or tuple of str.
struct IdsArgument {
  bool single = false;               // one str was given
  std::vector<std::string> texts;    // as given (one when single)
};

// TypeError "argument '{param}': expected str or a list of str, got {type}"
// or "argument '{param}': item {i}: expected str, got {type}". Parses no id.
bool to_ids_argument(PyObject* value, const char* param, IdsArgument& out);

// Every text of the argument parsed, in order (ValueError naming the first
// that is not a UUID and its position).
bool parse_ids(const IdsArgument& argument, const char* param, std::vector<Uuid>& out);

}  // namespace karvalith::py
