#include "core/search/filter.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <optional>

namespace karvalith {
namespace {

// Equal values first: inf - inf is NaN, so the tolerance alone would make an
// infinity differ from itself.
bool within_epsilon(double a, double b) { return a == b || std::fabs(a - b) < FILTER_EPSILON; }

// An integer operand is rounded to the nearest double, a float used as is.
std::optional<double> operand_as_double(const JsonValue& operand) {
  if (const auto* integer = std::get_if<std::int64_t>(&operand)) return static_cast<double>(*integer);
  if (const auto* number = std::get_if<double>(&operand)) return *number;
  return std::nullopt;
}

std::optional<double> metadata_as_double(const MetadataValue& value) {
  if (const auto* integer = std::get_if<std::int64_t>(&value)) return static_cast<double>(*integer);
  if (const auto* number = std::get_if<double>(&value)) return *number;
  return std::nullopt;
}

// Built-in comparisons are ordered: any comparison with NaN is false.
bool compare_ordered(FilterOp op, double m, double v) {
  switch (op) {
    case FilterOp::Gt: return m > v;
    case FilterOp::Lt: return m < v;
    case FilterOp::Gte: return m >= v;
    case FilterOp::Lte: return m <= v;
    default: return false;
  }
}

}  // namespace

bool json_eq(const MetadataValue& value, const JsonValue& operand) {
  switch (tag_of(value)) {
    case MetadataTag::Bool: {
      const auto* flag = std::get_if<bool>(&operand);
      return flag != nullptr && *flag == std::get<bool>(value);
    }
    case MetadataTag::Int: {
      const std::int64_t integer = std::get<std::int64_t>(value);
      if (const auto* other = std::get_if<std::int64_t>(&operand); other != nullptr && *other == integer) return true;
      const std::optional<double> number = operand_as_double(operand);
      return number.has_value() && within_epsilon(static_cast<double>(integer), *number);
    }
    case MetadataTag::Float: {
      const std::optional<double> number = operand_as_double(operand);
      return number.has_value() && within_epsilon(std::get<double>(value), *number);
    }
    case MetadataTag::String: {
      const auto* text = std::get_if<std::string>(&operand);
      return text != nullptr && *text == std::get<std::string>(value);
    }
  }
  return false;
}

bool evaluate_condition(const Metadata& metadata, const FilterCondition& condition) {
  if (metadata.empty()) return false;
  const MetadataValue* value = metadata.find(condition.field);
  if (value == nullptr) return false;

  switch (condition.op) {
    case FilterOp::Eq:
      return condition.value.has_value() && json_eq(*value, *condition.value);
    case FilterOp::Ne:
      return condition.value.has_value() && !json_eq(*value, *condition.value);
    case FilterOp::Gt:
    case FilterOp::Lt:
    case FilterOp::Gte:
    case FilterOp::Lte: {
      if (!condition.value.has_value()) return false;
      const std::optional<double> m = metadata_as_double(*value);
      if (!m) return false;
      const std::optional<double> v = operand_as_double(*condition.value);
      if (!v) return false;
      return compare_ordered(condition.op, *m, *v);
    }
    case FilterOp::In: {
      if (!condition.values.has_value()) return false;
      for (const JsonValue& candidate : *condition.values) {
        if (json_eq(*value, candidate)) return true;
      }
      return false;
    }
  }
  return false;
}

bool node_holds(const Metadata& metadata, const FilterNode& node) {
  switch (node.kind) {
    case FilterNode::Kind::Condition:
      return evaluate_condition(metadata, node.condition);
    case FilterNode::Kind::All:
      for (const FilterNode& child : node.children) {
        if (!node_holds(metadata, child)) return false;
      }
      return true;
    case FilterNode::Kind::Any:
      for (const FilterNode& child : node.children) {
        if (node_holds(metadata, child)) return true;
      }
      return false;
    case FilterNode::Kind::Not:
      return node.children.size() == 1 && !node_holds(metadata, node.children.front());
  }
  return false;
}

bool matches_filter(const Metadata& metadata, const MetadataFilter& filter) {
  for (const FilterCondition& condition : filter.must) {
    if (!evaluate_condition(metadata, condition)) return false;
  }
  for (const FilterCondition& condition : filter.must_not) {
    if (evaluate_condition(metadata, condition)) return false;
  }
  for (const FilterNode& node : filter.all_of) {
    if (!node_holds(metadata, node)) return false;
  }
  return true;
}

std::size_t filter_depth(const FilterNode& node) {
  std::size_t deepest = 0;
  for (const FilterNode& child : node.children) deepest = std::max(deepest, filter_depth(child));
  return deepest + 1;
}

namespace {

// Depth first, stopping as soon as the limit is passed, so that even a
// degenerate tree is walked only MAX_FILTER_DEPTH levels down.
Status check_node(const FilterNode& node, std::size_t depth) {
  if (depth > MAX_FILTER_DEPTH) {
    return make_error(ErrorKind::InvalidInput,
                      "filter nests deeper than " + std::to_string(MAX_FILTER_DEPTH) + " levels");
  }
  if (node.kind == FilterNode::Kind::Not && node.children.size() != 1) {
    return make_error(ErrorKind::InvalidInput, "a filter's not needs exactly one operand");
  }
  for (const FilterNode& child : node.children) {
    if (Status valid = check_node(child, depth + 1); !valid) return valid;
  }
  return {};
}

}  // namespace

Status check_filter(const MetadataFilter& filter) {
  for (const FilterNode& node : filter.all_of) {
    if (Status valid = check_node(node, 1); !valid) return valid;
  }
  return {};
}

}  // namespace karvalith
