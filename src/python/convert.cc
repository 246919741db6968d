#include "convert.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "args.h"
#include "errors.h"
#include "py_ref.h"
#include "py_text.h"

namespace karvalith::py {

namespace {

constexpr const char* METADATA_VALUE_MESSAGE = "metadata values must be bool, int, float, or str";
constexpr const char* FILTER_VALUE_MESSAGE = "filter values must be None, bool, int, float, or str";

// TypeError "<what> must be <expected>, not <type>", the form of the filter
// and metadata messages. Returns false.
bool not_of_type(const char* what, const char* expected, PyObject* value) {
  PyErr_Format(PyExc_TypeError, "%s must be %s, not %s", what, expected, Py_TYPE(value)->tp_name);
  return false;
}

PyObject* metadata_value_to_py(const MetadataValue& value) {
  switch (tag_of(value)) {
    case MetadataTag::Bool:
      return PyBool_FromLong(std::get<bool>(value) ? 1 : 0);
    case MetadataTag::Int:
      return PyLong_FromLongLong(std::get<std::int64_t>(value));
    case MetadataTag::Float:
      return PyFloat_FromDouble(std::get<double>(value));
    case MetadataTag::String: {
      const std::string& text = std::get<std::string>(value);
      return utf8_to_py(text);
    }
  }
  PyErr_SetString(PyExc_SystemError, "internal error: unknown metadata tag");
  return nullptr;
}

// Replaces a pending OverflowError from an integer conversion by one that
// says which value did not fit. Returns false.
bool name_overflow(const std::string& where) {
  if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyErr_Clear();
    raise_message(PyExc_OverflowError, where + ": int out of the signed 64-bit range");
  }
  return false;
}

bool py_to_metadata_value(PyObject* value, MetadataValue& out) {
  if (PyBool_Check(value)) {  // before int: bool is an int subclass
    out = (value == Py_True);
    return true;
  }
  if (PyLong_Check(value)) {
    const long long integer = PyLong_AsLongLong(value);
    if (integer == -1 && PyErr_Occurred()) return false;
    out = static_cast<std::int64_t>(integer);
    return true;
  }
  if (PyFloat_Check(value)) {
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) return false;
    out = number;
    return true;
  }
  if (PyUnicode_Check(value)) return utf8_of(value, out.emplace<std::string>());
  raise_message(PyExc_ValueError, METADATA_VALUE_MESSAGE);
  return false;
}

// The operand key an operator takes: "values" for In, "value" for the rest.
const char* operand_key(FilterOp op) { return op == FilterOp::In ? "values" : "value"; }

// A misspelt operand key would make the clause silently false (and, under
// must_not, exclude nothing), so every key is checked and the operand is
// required.
bool check_condition_keys(PyObject* item, const FilterCondition& condition, const std::string& op_text) {
  const char* const accepted[] = {"field", "op", operand_key(condition.op)};
  const std::string where = "filter condition on field '" + condition.field + "'";
  if (!refuse_unknown_keys(item, accepted, where)) return false;
  PyObject* operand = nullptr;
  if (!dict_lookup(item, operand_key(condition.op), operand)) return false;
  if (operand == nullptr) {
    raise_message(PyExc_ValueError, where + ": operator '" + op_text + "' needs '" + operand_key(condition.op) + "'");
    return false;
  }
  return true;
}

bool py_to_filter_condition(PyObject* condition_object, FilterCondition& condition) {
  const PyRef condition_dict = PyRef::steal(as_dict(condition_object));
  if (!condition_dict) return PyErr_Occurred() ? false : not_of_type("a filter condition", "a dict", condition_object);
  PyObject* item = condition_dict.get();
  PyObject* field = nullptr;
  if (!dict_lookup(item, "field", field)) return false;
  if (field == nullptr) {
    raise_message(PyExc_ValueError, "filter condition missing 'field'");
    return false;
  }
  if (!PyUnicode_Check(field)) return not_of_type("filter condition 'field'", "str", field);
  if (!utf8_of(field, condition.field)) return false;

  PyObject* op = nullptr;
  if (!dict_lookup(item, "op", op)) return false;
  if (op == nullptr) {
    raise_message(PyExc_ValueError, "filter condition missing 'op'");
    return false;
  }
  if (!PyUnicode_Check(op)) return not_of_type("filter condition 'op'", "str", op);
  std::string op_text;
  if (!utf8_of(op, op_text)) return false;
  const std::optional<FilterOp> parsed = parse_filter_op(op_text);
  if (!parsed) {
    raise_message(PyExc_ValueError,
                  "unknown filter operator: '" + op_text + "' (accepted: eq, ne, gt, gte, lt, lte, in)");
    return false;
  }
  condition.op = *parsed;
  if (!check_condition_keys(item, condition, op_text)) return false;

  PyObject* value = nullptr;
  if (!dict_lookup(item, "value", value)) return false;
  if (value != nullptr && !py_to_json_value(value, condition.value.emplace())) {
    return name_overflow("filter condition on field '" + condition.field + "': 'value'");
  }

  PyObject* values = nullptr;
  if (!dict_lookup(item, "values", values)) return false;
  PyRef values_list;
  if (values != nullptr) {
    values_list = PyRef::steal(as_list(values));
    if (!values_list) return PyErr_Occurred() ? false : not_of_type("filter condition 'values'", "a list", values);
    values = values_list.get();
    std::vector<JsonValue>& operands = condition.values.emplace();
    // Size re-read and item held each round: a key comparison may run Python code.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
      PyRef operand = PyRef::borrow(PyList_GET_ITEM(values, i));
      if (!py_to_json_value(operand.get(), operands.emplace_back())) {
        return name_overflow("filter condition on field '" + condition.field + "': 'values'[" + std::to_string(i) + "]");
      }
    }
  }
  return true;
}

}  // namespace

bool refuse_unknown_keys(PyObject* dict, std::span<const char* const> accepted, const std::string& where) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &position, &key, &value)) {
    bool known = false;
    if (PyUnicode_Check(key)) {
      for (const char* name : accepted) {
        if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
          known = true;
          break;
        }
      }
    }
    if (known) continue;
    std::string names;
    for (const char* name : accepted) names += (names.empty() ? "" : ", ") + std::string(name);
    PyErr_Format(PyExc_ValueError, "%s has unknown key %R (accepted: %s)", where.c_str(), key, names.c_str());
    return false;
  }
  return true;
}

namespace {

// Interned strings of the keys read so far, made once: filters and
// documents are read key by key on every call, and interning a fresh string
// each time cost a tenth of a filtered search. The methods' keys are a few
// dozen literals; the table stops growing past that. Read and written with
// the interpreter lock held; the strings live as long as the process.
struct KeyName {
  std::string text;
  PyObject* name;
};
std::vector<KeyName> key_names;
constexpr std::size_t MOST_KEY_NAMES = 64;

}  // namespace

bool dict_lookup(PyObject* dict, const char* key, PyObject*& out) {
  PyObject* name = nullptr;
  for (const KeyName& entry : key_names) {
    if (std::strcmp(entry.text.c_str(), key) == 0) {
      name = entry.name;
      break;
    }
  }
  PyRef fresh;
  if (name == nullptr) {
    fresh = PyRef::steal(PyUnicode_InternFromString(key));
    if (!fresh) return false;
    name = fresh.get();
    if (key_names.size() < MOST_KEY_NAMES) key_names.push_back({key, fresh.release()});
  }
  out = PyDict_GetItemWithError(dict, name);
  return out != nullptr || !PyErr_Occurred();
}

bool py_dict_to_metadata(PyObject* dict, Metadata& out) {
  Metadata metadata;
  metadata.reserve(static_cast<std::size_t>(PyDict_Size(dict)));
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) return not_of_type("metadata keys", "str", key);
    std::string name;
    if (!utf8_of(key, name)) return false;
    MetadataValue converted;
    if (!py_to_metadata_value(value, converted)) return name_overflow("metadata '" + name + "'");
    metadata.insert_or_assign(std::move(name), std::move(converted));
  }
  out = std::move(metadata);
  return true;
}

PyObject* metadata_to_py_dict(const Metadata& metadata) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : metadata) {
    PyRef name = PyRef::steal(utf8_to_py(key));
    if (!name) return nullptr;
    PyRef item = PyRef::steal(metadata_value_to_py(value));
    if (!item) return nullptr;
    if (PyDict_SetItem(dict.get(), name.get(), item.get()) != 0) return nullptr;
  }
  return dict.release();
}

bool py_to_json_value(PyObject* object, JsonValue& out) {
  if (object == Py_None) {
    out = JsonNull{};
    return true;
  }
  if (PyBool_Check(object)) {
    out = (object == Py_True);
    return true;
  }
  if (PyLong_Check(object)) {
    const long long integer = PyLong_AsLongLong(object);
    if (integer == -1 && PyErr_Occurred()) return false;
    out = static_cast<std::int64_t>(integer);
    return true;
  }
  if (PyFloat_Check(object)) {
    const double number = PyFloat_AsDouble(object);
    if (number == -1.0 && PyErr_Occurred()) return false;
    // Infinities compare in IEEE order; NaN compares with nothing, so it
    // becomes the null operand.
    if (std::isnan(number)) {
      out = JsonNull{};
    } else {
      out = number;
    }
    return true;
  }
  if (PyUnicode_Check(object)) return utf8_of(object, out.emplace<std::string>());
  raise_message(PyExc_ValueError, FILTER_VALUE_MESSAGE);
  return false;
}

bool py_to_filter_conditions(PyObject* conditions_object, std::vector<FilterCondition>& out) {
  const PyRef conditions_list = PyRef::steal(as_list(conditions_object));
  if (!conditions_list) return PyErr_Occurred() ? false : not_of_type("filter conditions", "a list", conditions_object);
  PyObject* object = conditions_list.get();
  std::vector<FilterCondition> conditions;
  conditions.reserve(static_cast<std::size_t>(PyList_GET_SIZE(object)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(object, i));
    if (!py_to_filter_condition(item.get(), conditions.emplace_back())) {
      return false;
    }
  }
  out = std::move(conditions);
  return true;
}

}  // namespace karvalith::py
