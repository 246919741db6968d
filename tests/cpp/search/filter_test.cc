#include "core/search/filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

namespace karvalith {
namespace {

using Values = std::vector<JsonValue>;
using enum FilterOp;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kTwo53 = std::int64_t{1} << 53;
constexpr std::int64_t kMaxInt = std::numeric_limits<std::int64_t>::max();
const JsonValue kNull = JsonNull{};

JsonValue num(std::int64_t i) { return i; }
JsonValue str(const char* s) { return std::string(s); }

FilterCondition clause(const char* field, FilterOp op, std::optional<JsonValue> value = std::nullopt,
                       std::optional<Values> values = std::nullopt) {
  return FilterCondition{field, op, std::move(value), std::move(values)};
}

TEST(FilterOp, ParsesExactSpellingsOnly) {
  const char* spellings[] = {"eq", "ne", "gt", "lt", "gte", "lte", "in"};
  for (int op = 0; op < 7; ++op) EXPECT_EQ(parse_filter_op(spellings[op]), static_cast<FilterOp>(op));
  for (const char* bad : {"EQ", "Eq", "eq ", "", "neq", "ge"}) EXPECT_FALSE(parse_filter_op(bad)) << bad;
}

struct Case {
  const char* name;
  MetadataValue stored;  // under key "k", beside an unrelated key
  FilterCondition condition;
  bool expected;
};

TEST(EvaluateCondition, FollowsTheKindAndOperandRules) {
  const Case cases[] = {
      // Equality keeps kinds apart, except Int and Float.
      {"Int 3 eq 3.0", std::int64_t{3}, clause("k", Eq, 3.0), true},
      {"Float 2.0 eq 2", 2.0, clause("k", Eq, num(2)), true},
      {"Int 4 eq 3", std::int64_t{4}, clause("k", Eq, num(3)), false},
      {"Bool true eq 1", true, clause("k", Eq, num(1)), false},
      {"Int 1 eq true", std::int64_t{1}, clause("k", Eq, true), false},
      {"Bool false eq false", false, clause("k", Eq, false), true},
      {"String '5' eq 5", std::string("5"), clause("k", Eq, num(5)), false},
      {"Int 5 eq '5'", std::int64_t{5}, clause("k", Eq, str("5")), false},
      {"String same bytes", std::string("abc"), clause("k", Eq, str("abc")), true},
      {"String other case", std::string("abc"), clause("k", Eq, str("ABC")), false},
      {"String no normalisation", std::string("caf\xc3\xa9"), clause("k", Eq, str("cafe\xcc\x81")), false},
      // Absolute epsilon.
      {"0.1+0.2 eq 0.3", 0.1 + 0.2, clause("k", Eq, 0.3), true},
      {"1.0000000000000002 eq 1.0", 1.0000000000000002, clause("k", Eq, 1.0), false},
      {"1e-17 eq 0", 1e-17, clause("k", Eq, num(0)), true},
      {"1e-15 eq 0", 1e-15, clause("k", Eq, 0.0), false},
      {"2^53+1 eq 2^53", kTwo53 + 1, clause("k", Eq, num(kTwo53)), true},
      {"2^53+2 eq 2^53", kTwo53 + 2, clause("k", Eq, num(kTwo53)), false},
      {"max eq max-1", kMaxInt, clause("k", Eq, num(kMaxInt - 1)), true},
      {"inf eq max double", kInf, clause("k", Eq, std::numeric_limits<double>::max()), false},
      // Missing operands, null operands, missing keys.
      {"eq without value", std::int64_t{1}, clause("k", Eq), false},
      {"ne without value", std::int64_t{1}, clause("k", Ne), false},
      {"eq null", std::int64_t{0}, clause("k", Eq, kNull), false},
      {"eq null vs String", std::string(), clause("k", Eq, kNull), false},
      {"ne null on present key", std::string("x"), clause("k", Ne, kNull), true},
      {"ne same number", std::int64_t{1}, clause("k", Ne, 1.0), false},
      {"ne true vs 1", true, clause("k", Ne, num(1)), true},
      {"ne missing key", std::int64_t{1}, clause("missing", Ne, num(1)), false},
      {"ne null missing key", std::int64_t{1}, clause("missing", Ne, kNull), false},
      {"field is case-sensitive", std::int64_t{1}, clause("K", Eq, num(1)), false},
      // In walks `values` and ignores `value`; other operators ignore `values`.
      {"in without values", std::int64_t{3}, clause("k", In, num(3)), false},
      {"in empty list", std::int64_t{3}, clause("k", In, std::nullopt, Values{}), false},
      {"in mixed kinds", std::int64_t{3}, clause("k", In, str("x"), Values{str("3"), true, kNull, 3.0}), true},
      {"in no match", std::int64_t{1}, clause("k", In, std::nullopt, Values{str("1"), true, kNull}), false},
      {"in missing key", std::int64_t{1}, clause("missing", In, std::nullopt, Values{num(1)}), false},
      {"eq ignores values", std::int64_t{3}, clause("k", Eq, std::nullopt, Values{num(3)}), false},
      {"gt ignores values", std::int64_t{3}, clause("k", Gt, std::nullopt, Values{num(1)}), false},
      // Ordering compares numbers only, as doubles.
      {"5 gt 5", std::int64_t{5}, clause("k", Gt, num(5)), false},
      {"5 gte 5.0", std::int64_t{5}, clause("k", Gte, 5.0), true},
      {"5 lte 5", std::int64_t{5}, clause("k", Lte, num(5)), true},
      {"2.5 lt 3", 2.5, clause("k", Lt, num(3)), true},
      {"2^53+1 gt 2^53", kTwo53 + 1, clause("k", Gt, num(kTwo53)), false},
      {"inf gt max double", kInf, clause("k", Gt, std::numeric_limits<double>::max()), true},
      {"String lt string", std::string("a"), clause("k", Lt, str("b")), false},
      {"Bool true gt 0", true, clause("k", Gt, num(0)), false},
      {"Int gt string", std::int64_t{5}, clause("k", Gt, str("3")), false},
      {"Int gte bool", std::int64_t{5}, clause("k", Gte, false), false},
      {"Float lte null", 1.0, clause("k", Lte, kNull), false},
      {"lt missing key", std::int64_t{1}, clause("missing", Lt, num(9)), false},
      // Infinite operands and values: IEEE order, and an infinity equals itself.
      {"Int 3 lt inf", std::int64_t{3}, clause("k", Lt, kInf), true},
      {"Int max lt inf", kMaxInt, clause("k", Lt, kInf), true},
      {"Float max lt inf", std::numeric_limits<double>::max(), clause("k", Lt, kInf), true},
      {"inf lt inf", kInf, clause("k", Lt, kInf), false},
      {"inf lte inf", kInf, clause("k", Lte, kInf), true},
      {"2.5 lte inf", 2.5, clause("k", Lte, kInf), true},
      {"Int gt inf", kMaxInt, clause("k", Gt, kInf), false},
      {"inf gt inf", kInf, clause("k", Gt, kInf), false},
      {"inf gte inf", kInf, clause("k", Gte, kInf), true},
      {"-inf gte -inf", -kInf, clause("k", Gte, -kInf), true},
      {"Int min gte -inf", std::numeric_limits<std::int64_t>::min(), clause("k", Gte, -kInf), true},
      {"-inf gt -inf", -kInf, clause("k", Gt, -kInf), false},
      {"-inf lt 0", -kInf, clause("k", Lt, num(0)), true},
      {"-inf lte -inf", -kInf, clause("k", Lte, -kInf), true},
      {"0 lt -inf", std::int64_t{0}, clause("k", Lt, -kInf), false},
      {"inf eq inf", kInf, clause("k", Eq, kInf), true},
      {"-inf eq -inf", -kInf, clause("k", Eq, -kInf), true},
      {"inf eq -inf", kInf, clause("k", Eq, -kInf), false},
      {"Int max eq inf", kMaxInt, clause("k", Eq, kInf), false},
      {"inf ne inf", kInf, clause("k", Ne, kInf), false},
      {"-inf ne inf", -kInf, clause("k", Ne, kInf), true},
      {"inf in [1, inf]", kInf, clause("k", In, std::nullopt, Values{num(1), kInf}), true},
      {"-inf in [inf]", -kInf, clause("k", In, std::nullopt, Values{kInf}), false},
      {"String lt inf", std::string("a"), clause("k", Lt, kInf), false},
      {"NaN lt inf", kNaN, clause("k", Lt, kInf), false},
      {"NaN gte -inf", kNaN, clause("k", Gte, -kInf), false},
      {"NaN ne inf", kNaN, clause("k", Ne, kInf), true},
      // NaN fails everything except ne with a value.
      {"NaN eq", kNaN, clause("k", Eq, 1.5), false},
      {"NaN in", kNaN, clause("k", In, std::nullopt, Values{num(0), 1.5}), false},
      {"NaN gt", kNaN, clause("k", Gt, num(0)), false},
      {"NaN lt", kNaN, clause("k", Lt, num(0)), false},
      {"NaN gte", kNaN, clause("k", Gte, num(0)), false},
      {"NaN lte", kNaN, clause("k", Lte, num(0)), false},
      {"NaN ne", kNaN, clause("k", Ne, num(0)), true},
      {"NaN ne null", kNaN, clause("k", Ne, kNull), true},
  };
  for (const Case& c : cases) {
    Metadata metadata;
    metadata.insert_or_assign("k", c.stored);
    metadata.insert_or_assign("other", std::int64_t{0});
    EXPECT_EQ(evaluate_condition(metadata, c.condition), c.expected) << c.name;
  }
  for (FilterOp op : {Eq, Ne, Gt, Lt, Gte, Lte}) {
    EXPECT_FALSE(evaluate_condition(Metadata{}, clause("k", op, kNull))) << "empty map, op " << static_cast<int>(op);
  }
}

class MatchesFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    add({{"color", std::string("red")}, {"size", std::int64_t{10}}});
    add({{"color", std::string("blue")}, {"size", 2.5}});
    add({});  // an empty map
  }

  void add(std::initializer_list<std::pair<const char*, MetadataValue>> entries) {
    Metadata metadata;
    for (const auto& [key, value] : entries) metadata.insert_or_assign(key, value);
    documents.push_back(std::move(metadata));
  }

  // Which of the three documents pass.
  std::vector<bool> passing(const MetadataFilter& filter) const {
    std::vector<bool> result;
    for (const Metadata& metadata : documents) result.push_back(matches_filter(metadata, filter));
    return result;
  }

  std::vector<Metadata> documents;
};

TEST_F(MatchesFilterTest, MustNeedsEveryClauseMustNotExcludesOnAny) {
  const FilterCondition red = clause("color", Eq, str("red"));
  const FilterCondition big = clause("size", Gt, num(5));
  using Pass = std::vector<bool>;
  EXPECT_EQ(passing({}), (Pass{true, true, true}));
  EXPECT_EQ(passing({{red, big}, {}}), (Pass{true, false, false}));
  EXPECT_EQ(passing({{}, {red, big}}), (Pass{false, true, true}));
  EXPECT_EQ(passing({{clause("size", Lt, num(5))}, {red}}), (Pass{false, true, false}));
  // ne in `must` drops every document lacking the key; a missing key never excludes through `must_not`.
  EXPECT_EQ(passing({{clause("color", Ne, str("blue"))}, {}}), (Pass{true, false, false}));
  EXPECT_EQ(passing({{}, {clause("absent", Ne, num(1))}}), (Pass{true, true, true}));
}

TEST_F(MatchesFilterTest, ClauseOrderDoesNotChangeTheResult) {
  std::vector<FilterCondition> clauses = {clause("color", Ne, str("green")), clause("size", Gte, 2.5),
                                          clause("color", In, std::nullopt, Values{str("red"), str("blue")})};
  auto by_op = [](const FilterCondition& a, const FilterCondition& b) { return a.op < b.op; };
  do {
    EXPECT_EQ(passing({clauses, {}}), (std::vector<bool>{true, true, false}));
    EXPECT_EQ(passing({{}, clauses}), (std::vector<bool>{false, false, true}));
  } while (std::next_permutation(clauses.begin(), clauses.end(), by_op));
}

TEST_F(MatchesFilterTest, NodesCombineClausesAndNotAlsoPassesDocumentsWithoutTheKey) {
  using Pass = std::vector<bool>;
  const FilterNode red = FilterNode::leaf(clause("color", Eq, str("red")));
  const FilterNode small = FilterNode::leaf(clause("size", Lt, num(5)));
  auto with = [](FilterNode node) {
    MetadataFilter filter;
    filter.all_of.push_back(std::move(node));
    return filter;
  };
  EXPECT_EQ(passing(with(FilterNode::any({red, small}))), (Pass{true, true, false}));
  EXPECT_EQ(passing(with(FilterNode::all({red, small}))), (Pass{false, false, false}));
  // Not is the complement: the empty map passes, unlike with ne.
  EXPECT_EQ(passing(with(FilterNode::negate(red))), (Pass{false, true, true}));
  EXPECT_EQ(passing(with(FilterNode::leaf(clause("color", Ne, str("red"))))), (Pass{false, true, false}));
  EXPECT_EQ(passing(with(FilterNode::any({}))), (Pass{false, false, false}));
  EXPECT_EQ(passing(with(FilterNode::all({}))), (Pass{true, true, true}));
  // Nodes and the lists all hold together.
  MetadataFilter both = with(FilterNode::any({red, small}));
  both.must_not.push_back(clause("size", Gt, num(5)));
  EXPECT_EQ(passing(both), (Pass{false, true, false}));
}

}  // namespace
}  // namespace karvalith
