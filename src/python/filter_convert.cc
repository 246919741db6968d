#include "filter_convert.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.h"
#include "convert.h"
#include "core/search/filter.h"
#include "errors.h"
#include "py_ref.h"
#include "py_text.h"

namespace karvalith::py {

namespace {

constexpr const char* FIELD_OPERATORS = "$eq, $ne, $gt, $gte, $lt, $lte, $in, $nin, $not";
constexpr const char* COMBINING_OPERATORS = "$and, $or, $not";

bool fail(const std::string& message) {
  raise_message(PyExc_ValueError, message);
  return false;
}

std::string on(const std::string& field) { return "filter on '" + field + "': "; }

bool is_sequence(PyObject* object) { return PyList_Check(object) || PyTuple_Check(object); }

// The items of a list or tuple, each held: nothing in this parser runs
// Python code, but the references outlive any surprise.
std::vector<PyRef> items_of(PyObject* sequence) {
  std::vector<PyRef> items;
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
  items.reserve(static_cast<std::size_t>(size));
  PyObject** raw = PySequence_Fast_ITEMS(sequence);
  for (Py_ssize_t i = 0; i < size; ++i) items.push_back(PyRef::borrow(raw[i]));
  return items;
}

// The (key, value) pairs of a dict in order, each held.
std::vector<std::pair<PyRef, PyRef>> entries_of(PyObject* dict) {
  std::vector<std::pair<PyRef, PyRef>> entries;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &position, &key, &value)) entries.emplace_back(PyRef::borrow(key), PyRef::borrow(value));
  return entries;
}

// A value a field is compared with: bool, a 64-bit int, a float other than
// NaN, or a str. `numeric` refuses everything but numbers (the ordering operators).
bool to_operand(PyObject* value, const std::string& field, const char* op, bool numeric, JsonValue& out) {
  const bool is_number = (PyLong_Check(value) || PyFloat_Check(value)) && !PyBool_Check(value);
  if (numeric && !is_number) {
    PyRef text = PyRef::steal(PyObject_Repr(value));
    if (!text) return false;
    std::string shown;
    if (!utf8_of(text.get(), shown)) return false;
    return fail(on(field) + op + " needs a number, got " + shown);
  }
  if (!PyBool_Check(value) && !PyLong_Check(value) && !PyFloat_Check(value) && !PyUnicode_Check(value)) {
    return fail(on(field) + "cannot compare with " + Py_TYPE(value)->tp_name +
                (is_sequence(value) ? " (to match any of several values use {\"$in\": [...]})"
                                    : " (filter values are booleans, numbers and strings)"));
  }
  if (PyFloat_Check(value) && std::isnan(PyFloat_AsDouble(value))) {
    return fail(on(field) + op + " cannot compare with NaN (it equals and orders with nothing)");
  }
  if (!py_to_json_value(value, out)) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      raise_message(PyExc_OverflowError, on(field) + "int out of the signed 64-bit range");
    }
    return false;
  }
  return true;
}

bool to_operands(PyObject* list, const std::string& field, const char* op, std::vector<JsonValue>& out) {
  if (!is_sequence(list)) {
    return fail(on(field) + op + " needs a list, got " + Py_TYPE(list)->tp_name);
  }
  for (const PyRef& item : items_of(list)) {
    if (!to_operand(item.get(), field, op, false, out.emplace_back())) return false;
  }
  return true;
}

FilterNode leaf(const std::string& field, FilterOp op, JsonValue value) {
  return FilterNode::leaf(FilterCondition{field, op, std::move(value), std::nullopt});
}

// One node for the parts of a conjunction: the part itself when alone.
FilterNode conjunction(std::vector<FilterNode> parts) {
  if (parts.size() == 1) return std::move(parts.front());
  return FilterNode::all(std::move(parts));
}

// True, with the ValueError set, past the nesting the evaluators allow.
bool too_deep(std::size_t depth) {
  if (depth <= MAX_FILTER_DEPTH) return false;
  fail("filter nests deeper than " + std::to_string(MAX_FILTER_DEPTH) + " levels");
  return true;
}

class OperatorForm {
 public:
  // A whole filter dict (the top, or a part of $and / $or / $not).
  bool filter(PyObject* object, std::size_t depth, const char* where, FilterNode& out) {
    if (too_deep(depth)) return false;
    if (!PyDict_Check(object)) {
      return fail(std::string(where) + " needs a filter dict, got " + Py_TYPE(object)->tp_name);
    }
    std::vector<FilterNode> parts;
    for (const auto& [key, value] : entries_of(object)) {
      if (!PyUnicode_Check(key.get())) {
        PyRef text = PyRef::steal(PyObject_Repr(key.get()));
        if (!text) return false;
        std::string shown;
        if (!utf8_of(text.get(), shown)) return false;
        return fail("filter keys must be str, got " + shown);
      }
      std::string name;
      if (!utf8_of(key.get(), name)) return false;
      if (name == "$and" || name == "$or") {
        if (!group(name, value.get(), depth, parts.emplace_back())) return false;
      } else if (name == "$not") {
        FilterNode inner;
        if (!filter(value.get(), depth + 1, "$not", inner)) return false;
        parts.push_back(FilterNode::negate(std::move(inner)));
      } else if (!name.empty() && name.front() == '$') {
        return fail("unknown filter operator '" + name + "' (accepted: " + COMBINING_OPERATORS +
                    " to combine filters; " + FIELD_OPERATORS + " on a field, as in {\"year\": {\"$gte\": 2020}})");
      } else if (!condition(name, value.get(), depth, parts.emplace_back())) {
        return false;
      }
    }
    out = conjunction(std::move(parts));
    return true;
  }

 private:
  bool group(const std::string& name, PyObject* value, std::size_t depth, FilterNode& out) {
    if (!is_sequence(value) || PySequence_Fast_GET_SIZE(value) == 0) {
      return fail(name + " needs a non-empty list of filters, got " +
                  (is_sequence(value) ? std::string("an empty one") : std::string(Py_TYPE(value)->tp_name)));
    }
    std::vector<FilterNode> children;
    for (const PyRef& item : items_of(value)) {
      if (!filter(item.get(), depth + 1, name.c_str(), children.emplace_back())) return false;
    }
    out = name == "$and" ? conjunction(std::move(children)) : FilterNode::any(std::move(children));
    return true;
  }

  // {"field": value} or {"field": {"$op": operand, ...}}.
  bool condition(const std::string& field, PyObject* value, std::size_t depth, FilterNode& out) {
    if (too_deep(depth)) return false;
    if (!PyDict_Check(value)) {
      JsonValue operand;
      if (!to_operand(value, field, "$eq", false, operand)) return false;
      out = leaf(field, FilterOp::Eq, std::move(operand));
      return true;
    }
    const std::vector<std::pair<PyRef, PyRef>> entries = entries_of(value);
    if (entries.empty()) return fail(on(field) + "empty condition (give an operator, as in {\"$eq\": value})");
    std::vector<FilterNode> parts;
    for (const auto& [key, operand] : entries) {
      std::string op;
      if (!PyUnicode_Check(key.get()) || !utf8_of(key.get(), op)) {
        if (PyErr_Occurred()) return false;
        return fail(on(field) + "operators must be str, got " + Py_TYPE(key.get())->tp_name);
      }
      if (!field_operator(field, op, operand.get(), depth, parts.emplace_back())) return false;
    }
    out = conjunction(std::move(parts));
    return true;
  }

  bool field_operator(const std::string& field, const std::string& op, PyObject* operand, std::size_t depth,
                      FilterNode& out) {
    static constexpr std::pair<std::string_view, FilterOp> COMPARISONS[] = {
        {"$eq", FilterOp::Eq}, {"$ne", FilterOp::Ne},   {"$gt", FilterOp::Gt},
        {"$gte", FilterOp::Gte}, {"$lt", FilterOp::Lt}, {"$lte", FilterOp::Lte},
    };
    for (const auto& [spelling, kind] : COMPARISONS) {
      if (op != spelling) continue;
      const bool ordering = kind != FilterOp::Eq && kind != FilterOp::Ne;
      JsonValue value;
      if (!to_operand(operand, field, op.c_str(), ordering, value)) return false;
      out = leaf(field, kind, std::move(value));
      return true;
    }
    if (op == "$in" || op == "$nin") {
      std::vector<JsonValue> values;
      if (!to_operands(operand, field, op.c_str(), values)) return false;
      if (op == "$in") {
        out = FilterNode::leaf(FilterCondition{field, FilterOp::In, std::nullopt, std::move(values)});
        return true;
      }
      // ne each value: like $ne, a document without the key fails. With no
      // values, ne null, which holds for every document that has the key.
      if (values.empty()) values.emplace_back(JsonNull{});
      std::vector<FilterNode> parts;
      for (JsonValue& value : values) parts.push_back(leaf(field, FilterOp::Ne, std::move(value)));
      out = conjunction(std::move(parts));
      return true;
    }
    if (op == "$not") {
      if (!PyDict_Check(operand)) {
        return fail(on(field) + "$not needs a dict of operators, as in {\"$not\": {\"$gte\": 2020}}, got " +
                    Py_TYPE(operand)->tp_name);
      }
      FilterNode inner;
      if (!condition(field, operand, depth + 1, inner)) return false;
      out = FilterNode::negate(std::move(inner));
      return true;
    }
    return fail(on(field) + "unknown filter operator '" + op + "' (accepted: " + FIELD_OPERATORS + ")");
  }
};

// The list form: "must" then "must_not"; a missing key is an empty list, a
// present one (None included) goes through py_to_filter_conditions. Any
// other key is refused by name.
bool list_form(PyObject* object, MetadataFilter& out) {
  for (auto [key, list] : {std::pair{"must", &out.must}, std::pair{"must_not", &out.must_not}}) {
    PyObject* found = nullptr;
    if (!dict_lookup(object, key, found)) return false;
    if (found == nullptr) continue;
    PyRef held = PyRef::borrow(found);
    if (!py_to_filter_conditions(held.get(), *list)) return false;
  }
  // A misspelt key would otherwise filter nothing, silently.
  for (const auto& [key, value] : entries_of(object)) {
    if (PyUnicode_Check(key.get()) && (PyUnicode_CompareWithASCIIString(key.get(), "must") == 0 ||
                                       PyUnicode_CompareWithASCIIString(key.get(), "must_not") == 0)) {
      continue;
    }
    PyRef text = PyRef::steal(PyObject_Repr(key.get()));
    if (!text) return false;
    PyErr_Format(PyExc_ValueError,
                 "unknown filter key: %U (a filter with 'must' or 'must_not' has only those two keys; "
                 "a metadata key named 'must' is tested inside \"$and\")",
                 text.get());
    return false;
  }
  return true;
}

bool is_list_form(PyObject* dict) {
  for (const auto& [key, value] : entries_of(dict)) {
    if (PyUnicode_Check(key.get()) && (PyUnicode_CompareWithASCIIString(key.get(), "must") == 0 ||
                                       PyUnicode_CompareWithASCIIString(key.get(), "must_not") == 0)) {
      return true;
    }
  }
  return false;
}

// The top conjunction's plain clauses go to the lists, where they cost one
// set operation each; everything else stays a node.
void flatten_into(FilterNode node, MetadataFilter& out) {
  if (node.kind == FilterNode::Kind::Condition) {
    out.must.push_back(std::move(node.condition));
    return;
  }
  if (node.kind != FilterNode::Kind::All) {
    out.all_of.push_back(std::move(node));
    return;
  }
  for (FilterNode& part : node.children) {
    if (part.kind == FilterNode::Kind::Condition) {
      out.must.push_back(std::move(part.condition));
    } else if (part.kind == FilterNode::Kind::Not && part.children.size() == 1 &&
               part.children.front().kind == FilterNode::Kind::Condition) {
      out.must_not.push_back(std::move(part.children.front().condition));
    } else {
      out.all_of.push_back(std::move(part));
    }
  }
}

void collect_fields(const FilterNode& node, std::set<std::string>& out) {
  if (node.kind == FilterNode::Kind::Condition) out.insert(node.condition.field);
  for (const FilterNode& child : node.children) collect_fields(child, out);
}

}  // namespace

bool to_filter(PyObject* filter_object, MetadataFilter& out) {
  // Any mapping at the top (a MappingProxyType, say), read as a dict.
  const PyRef filter_dict = PyRef::steal(to_dict(filter_object, "argument 'filter'", "dict"));
  if (!filter_dict) return false;
  PyObject* object = filter_dict.get();
  MetadataFilter parsed;
  if (is_list_form(object)) {
    if (!list_form(object, parsed)) return false;
  } else {
    FilterNode node;
    if (!OperatorForm{}.filter(object, 1, "filter", node)) return false;
    flatten_into(std::move(node), parsed);
    if (Status valid = check_filter(parsed); !valid) return fail(valid.error().message);
  }
  out = std::move(parsed);
  return true;
}

PyObject* filter_fields(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* const names[] = {"filter"};
  PyObject* slots[1];
  if (!bind_arguments({"filter_fields", names, 1}, args, nargs, kwnames, slots)) return nullptr;
  MetadataFilter filter;
  if (!to_filter(slots[0], filter)) return nullptr;
  std::set<std::string> fields;
  for (const FilterCondition& condition : filter.must) fields.insert(condition.field);
  for (const FilterCondition& condition : filter.must_not) fields.insert(condition.field);
  for (const FilterNode& node : filter.all_of) collect_fields(node, fields);
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const std::string& field : fields) {
    PyRef name = PyRef::steal(utf8_to_py(field));
    if (!name || PyList_Append(list.get(), name.get()) != 0) return nullptr;
  }
  return list.release();
}

}  // namespace karvalith::py
