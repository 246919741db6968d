// The parsed form of a metadata filter: clauses of a field, an operator and
// JSON-like operands, grouped into "must" and "must_not" lists, and boolean
// combinations of clauses (and, or, not) for what the lists cannot say.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace karvalith {

struct JsonNull {
  friend bool operator==(JsonNull, JsonNull) = default;
};

// A filter operand. Integers and floats stay apart: they compare differently.
// The parser only produces finite floats.
using JsonValue = std::variant<JsonNull, bool, std::int64_t, double, std::string>;

// Numbered 0 to 6 in this order.
enum class FilterOp { Eq, Ne, Gt, Lt, Gte, Lte, In };

// The exact, case-sensitive operator spellings; nullopt for anything else.
constexpr std::optional<FilterOp> parse_filter_op(std::string_view text) {
  if (text == "eq") return FilterOp::Eq;
  if (text == "ne") return FilterOp::Ne;
  if (text == "gt") return FilterOp::Gt;
  if (text == "lt") return FilterOp::Lt;
  if (text == "gte") return FilterOp::Gte;
  if (text == "lte") return FilterOp::Lte;
  if (text == "in") return FilterOp::In;
  return std::nullopt;
}

struct FilterCondition {
  std::string field;                            // metadata key, matched byte for byte
  FilterOp op = FilterOp::Eq;
  std::optional<JsonValue> value;               // operand of every op but In; absent if not given
  std::optional<std::vector<JsonValue>> values; // operands of In; absent if not given
};

// A boolean combination of clauses. A Condition node holds when its clause
// does; All when every child does (so always, with none); Any when at least
// one child does (so never, with none); Not when its single child does not.
struct FilterNode {
  enum class Kind : std::uint8_t { Condition, All, Any, Not };
  Kind kind = Kind::All;
  FilterCondition condition;       // Kind::Condition only
  std::vector<FilterNode> children;  // All and Any; exactly one for Not

  static FilterNode leaf(FilterCondition condition) {
    return FilterNode{Kind::Condition, std::move(condition), {}};
  }
  static FilterNode all(std::vector<FilterNode> children) { return FilterNode{Kind::All, {}, std::move(children)}; }
  static FilterNode any(std::vector<FilterNode> children) { return FilterNode{Kind::Any, {}, std::move(children)}; }
  static FilterNode negate(FilterNode child) {
    FilterNode node{Kind::Not, {}, {}};
    node.children.push_back(std::move(child));
    return node;
  }
};

// Nesting deeper than this is refused (the evaluators recurse once per level).
inline constexpr std::size_t MAX_FILTER_DEPTH = 64;

// A document passes when every `must` clause holds, no `must_not` clause
// does, and every node of `all_of` holds.
struct MetadataFilter {
  std::vector<FilterCondition> must;
  std::vector<FilterCondition> must_not;
  std::vector<FilterNode> all_of{};
};

// Absolute tolerance of numeric equality: 2^-52, the spacing of doubles just
// above 1.0. Above magnitude 1 equality is therefore exact.
inline constexpr double FILTER_EPSILON = 2.220446049250313e-16;

}  // namespace karvalith
