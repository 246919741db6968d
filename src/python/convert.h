// Conversion between Python values and the system's metadata and filter
// values. Functions returning bool have set a Python exception when they
// return false; nothing else changes on failure.
#pragma once

#include <Python.h>

#include <span>
#include <string>
#include <vector>

#include "core/document/document.h"
#include "core/search/filter_types.h"

namespace karvalith::py {

// `dict` is a dict or a subclass. Values are tested bool, int, float, str in
// that order; anything else (None included) is a ValueError.
bool py_dict_to_metadata(PyObject* dict, Metadata& out);

// A new dict (null with an exception only when memory runs out).
PyObject* metadata_to_py_dict(const Metadata& metadata);

// None, bool, int, float (non-finite -> null) or str.
bool py_to_json_value(PyObject* object, JsonValue& out);

// A list of condition dicts with "field", "op" and optional "value"/"values".
bool py_to_filter_conditions(PyObject* object, std::vector<FilterCondition>& out);

// ValueError "{where} has unknown key 'k' (accepted: a, b)" for the first
// key of `dict` (a dict or subclass) that is not one of `accepted`.
bool refuse_unknown_keys(PyObject* dict, std::span<const char* const> accepted, const std::string& where);

// Looks `key` up in a dict (or subclass) without calling Python code; `out`
// is a borrowed reference, null when the key is absent.
bool dict_lookup(PyObject* dict, const char* key, PyObject*& out);

}  // namespace karvalith::py
