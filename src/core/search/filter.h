// Evaluation of metadata filters against documents. Never fails: a missing
// key, a missing operand or a mismatch of kinds makes a clause false.
#pragma once

#include <cstdint>
#include <span>

#include "core/common/result.h"
#include "core/document/document.h"
#include "core/document/uuid.h"
#include "core/search/filter_types.h"

namespace karvalith {

// Equality of a metadata value and an operand. Bool only equals a boolean,
// String only an identical string; Int and Float equal any number that is
// equal (an infinity equals itself) or within FILTER_EPSILON (absolute) after
// conversion to double, and an Int also equals an identical integer. NaN
// equals nothing. Every other pairing, null included, is false.
bool json_eq(const MetadataValue& value, const JsonValue& operand);

// One clause against one metadata map. False for an empty map and for a
// missing key whatever the operator (Ne included). Ordering operators compare
// Int/Float values with number operands as doubles in IEEE order (every
// finite number is below +inf and above -inf); NaN makes them false.
bool evaluate_condition(const Metadata& metadata, const FilterCondition& condition);

// Whether a node holds for this metadata (FilterNode says when), children
// evaluated in order and short-circuiting.
bool node_holds(const Metadata& metadata, const FilterNode& node);

// Whether a document with this metadata passes the filter: every `must`
// clause holds, no `must_not` clause does and every node of `all_of` holds,
// each list short-circuiting.
bool matches_filter(const Metadata& metadata, const MetadataFilter& filter);

// The shape every evaluator relies on: ErrorKind::InvalidInput when nodes
// nest deeper than MAX_FILTER_DEPTH or a Not node has other than one child.
Status check_filter(const MetadataFilter& filter);

// The levels of nesting of a node (1 for a lone condition); recursive, so
// for filters check_filter has passed.
std::size_t filter_depth(const FilterNode& node);

}  // namespace karvalith
