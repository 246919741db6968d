// The metadata index against the filter evaluator it replaces, and the slot
// sets it is made of.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/engine/metadata_index.h"
#include "core/engine/number_index.h"
#include "core/engine/slot_set.h"
#include "core/search/filter.h"

namespace karvalith {
namespace {

constexpr double EPS = FILTER_EPSILON;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Values chosen to sit on every rule's edge: epsilon neighbours, signed
// zeros, infinities, NaN, integers beyond 2^53, kinds that never mix.
std::vector<MetadataValue> edge_values() {
  return {MetadataValue(true), MetadataValue(false), MetadataValue(std::int64_t{0}), MetadataValue(std::int64_t{1}),
          MetadataValue(std::int64_t{-7}), MetadataValue(std::int64_t{9007199254740993}),
          MetadataValue(std::int64_t{9007199254740992}), MetadataValue(0.0), MetadataValue(-0.0),
          MetadataValue(EPS / 2), MetadataValue(EPS), MetadataValue(-EPS / 2), MetadataValue(1.0),
          MetadataValue(1.0 + EPS), MetadataValue(2.5), MetadataValue(INF), MetadataValue(-INF), MetadataValue(NaN),
          MetadataValue(std::string("red")), MetadataValue(std::string("")), MetadataValue(std::string("1"))};
}

std::vector<JsonValue> edge_operands() {
  return {JsonValue(JsonNull{}), JsonValue(true), JsonValue(false), JsonValue(std::int64_t{0}),
          JsonValue(std::int64_t{1}), JsonValue(std::int64_t{-7}), JsonValue(std::int64_t{9007199254740993}),
          JsonValue(0.0), JsonValue(-0.0), JsonValue(EPS / 2), JsonValue(EPS), JsonValue(-EPS), JsonValue(1.0),
          JsonValue(1.0 + EPS), JsonValue(0.9999999999999999), JsonValue(2.5), JsonValue(INF), JsonValue(-INF),
          JsonValue(std::string("red")), JsonValue(std::string("")), JsonValue(std::string("1"))};
}

// Documents with zero to three of the keys "a", "b", "c", values drawn from
// the edge values; empty maps included.
std::vector<Metadata> random_documents(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const std::vector<MetadataValue> values = edge_values();
  std::uniform_int_distribution<std::size_t> pick(0, values.size() - 1);
  std::vector<Metadata> documents(count);
  for (Metadata& metadata : documents) {
    for (const char* key : {"a", "b", "c"}) {
      if (rng() % 3 != 0) metadata.insert_or_assign(key, values[pick(rng)]);
    }
  }
  return documents;
}

// Every clause of every operator over `fields`, each operand alone and as
// lists, and with its operand missing.
std::vector<FilterCondition> every_condition(const std::vector<std::string>& fields) {
  const std::vector<JsonValue> operands = edge_operands();
  std::vector<FilterCondition> out;
  for (const std::string& field : fields) {
    for (FilterOp op : {FilterOp::Eq, FilterOp::Ne, FilterOp::Gt, FilterOp::Lt, FilterOp::Gte, FilterOp::Lte}) {
      out.push_back(FilterCondition{field, op, std::nullopt, std::nullopt});
      for (const JsonValue& operand : operands) out.push_back(FilterCondition{field, op, operand, std::nullopt});
    }
    out.push_back(FilterCondition{field, FilterOp::In, std::nullopt, std::nullopt});
    out.push_back(FilterCondition{field, FilterOp::In, std::nullopt, std::vector<JsonValue>{}});
    for (std::size_t i = 0; i + 2 < operands.size(); i += 2) {
      out.push_back(FilterCondition{field, FilterOp::In, std::nullopt,
                                    std::vector<JsonValue>{operands[i], operands[i + 1], operands[i + 2]}});
    }
  }
  return out;
}

bool passes(const Metadata& metadata, const MetadataFilter& filter) {
  for (const auto& c : filter.must) {
    if (!evaluate_condition(metadata, c)) return false;
  }
  for (const auto& c : filter.must_not) {
    if (evaluate_condition(metadata, c)) return false;
  }
  return true;
}

// The index's answer for `filter` against the evaluator's, slot by slot;
// `live[s]` is false for slots that are not indexed.
void expect_same_answer(const MetadataIndex& index, const std::vector<Metadata>& documents,
                        const std::vector<bool>& live, const MetadataFilter& filter, const std::string& what) {
  std::vector<std::uint64_t> bits;
  std::vector<std::uint64_t> scratch;
  const std::uint64_t count = index.evaluate(filter, documents.size(), bits, scratch);
  std::uint64_t expected_count = 0;
  for (std::uint32_t s = 0; s < documents.size(); ++s) {
    const bool expected = live[s] && passes(documents[s], filter);
    expected_count += expected ? 1 : 0;
    ASSERT_EQ(test_slot(bits, s), expected) << what << " slot " << s;
  }
  EXPECT_EQ(count, expected_count) << what;
}

std::string describe(const FilterCondition& c) {
  return c.field + " op " + std::to_string(static_cast<int>(c.op)) + (c.value ? " with value" : "") +
         (c.values ? " with " + std::to_string(c.values->size()) + " values" : "");
}

TEST(MetadataIndex, EveryOperatorAndKindMatchesTheEvaluator) {
  const std::vector<Metadata> documents = random_documents(400, 5);
  MetadataIndex index;
  std::vector<bool> live(documents.size(), true);
  for (std::uint32_t s = 0; s < documents.size(); ++s) index.add(s, documents[s]);

  for (const FilterCondition& condition : every_condition({"a", "missing"})) {
    MetadataFilter must;
    must.must.push_back(condition);
    expect_same_answer(index, documents, live, must, "must " + describe(condition));
    MetadataFilter must_not;
    must_not.must_not.push_back(condition);
    expect_same_answer(index, documents, live, must_not, "must_not " + describe(condition));
  }
}

TEST(MetadataIndex, InfiniteOperandsFollowIeeeOrderOnBothSides) {
  // Slots 0-9 hold the edge values, 10 lacks the key, 11 on hold finite
  // fillers that split the numbers into many blocks.
  std::vector<Metadata> documents(11);
  const MetadataValue edges[] = {MetadataValue(-INF), MetadataValue(std::numeric_limits<std::int64_t>::min()),
                                 MetadataValue(-1.5), MetadataValue(std::int64_t{0}), MetadataValue(2.5),
                                 MetadataValue(std::numeric_limits<double>::max()), MetadataValue(INF),
                                 MetadataValue(NaN), MetadataValue(std::string("s")), MetadataValue(true)};
  for (std::size_t s = 0; s < std::size(edges); ++s) documents[s].insert_or_assign("k", edges[s]);
  for (int i = 0; i < 600; ++i) {
    Metadata filler;
    filler.insert_or_assign("k", i % 2 == 0 ? MetadataValue(std::int64_t{i - 300}) : MetadataValue(i * 0.75));
    documents.push_back(std::move(filler));
  }
  MetadataIndex index;
  const std::vector<bool> live(documents.size(), true);
  for (std::uint32_t s = 0; s < documents.size(); ++s) index.add(s, documents[s]);

  using Slots = std::vector<std::uint32_t>;
  struct Expectation {
    FilterOp op;
    JsonValue operand;
    Slots edge_slots;  // of slots 0-10
    bool fillers;      // whether the finite fillers pass
  };
  const Expectation expectations[] = {
      {FilterOp::Lt, INF, {0, 1, 2, 3, 4, 5}, true},
      {FilterOp::Lte, INF, {0, 1, 2, 3, 4, 5, 6}, true},
      {FilterOp::Gt, INF, {}, false},
      {FilterOp::Gte, INF, {6}, false},
      {FilterOp::Eq, INF, {6}, false},
      {FilterOp::Ne, INF, {0, 1, 2, 3, 4, 5, 7, 8, 9}, true},
      {FilterOp::Lt, -INF, {}, false},
      {FilterOp::Lte, -INF, {0}, false},
      {FilterOp::Gt, -INF, {1, 2, 3, 4, 5, 6}, true},
      {FilterOp::Gte, -INF, {0, 1, 2, 3, 4, 5, 6}, true},
      {FilterOp::Eq, -INF, {0}, false},
      {FilterOp::Ne, -INF, {1, 2, 3, 4, 5, 6, 7, 8, 9}, true},
  };
  for (const Expectation& e : expectations) {
    const FilterCondition condition{"k", e.op, e.operand, std::nullopt};
    const std::string what = describe(condition) + (std::get<double>(e.operand) > 0 ? " +inf" : " -inf");
    MetadataFilter filter;
    filter.must.push_back(condition);
    std::vector<std::uint64_t> bits;
    std::vector<std::uint64_t> scratch;
    index.evaluate(filter, documents.size(), bits, scratch);
    for (std::uint32_t s = 0; s < documents.size(); ++s) {
      const bool want = s < 11 ? std::find(e.edge_slots.begin(), e.edge_slots.end(), s) != e.edge_slots.end()
                               : e.fillers;
      ASSERT_EQ(test_slot(bits, s), want) << what << " index, slot " << s;
      ASSERT_EQ(evaluate_condition(documents[s], condition), want) << what << " evaluator, slot " << s;
    }
  }
  // An infinity inside an In list matches as Eq does.
  MetadataFilter in_list;
  in_list.must.push_back(FilterCondition{"k", FilterOp::In, std::nullopt, std::vector<JsonValue>{INF, -INF}});
  expect_same_answer(index, documents, live, in_list, "in [inf, -inf]");
  std::vector<std::uint64_t> bits;
  std::vector<std::uint64_t> scratch;
  EXPECT_EQ(index.evaluate(in_list, documents.size(), bits, scratch), 2u);
}

TEST(MetadataIndex, MustAndMustNotCombineAcrossFields) {
  const std::vector<Metadata> documents = random_documents(300, 8);
  MetadataIndex index;
  std::vector<bool> live(documents.size(), true);
  for (std::uint32_t s = 0; s < documents.size(); ++s) index.add(s, documents[s]);
  const std::vector<FilterCondition> conditions = every_condition({"a", "b", "c"});
  std::mt19937_64 rng(3);
  std::uniform_int_distribution<std::size_t> pick(0, conditions.size() - 1);
  expect_same_answer(index, documents, live, MetadataFilter{}, "no clauses");
  for (int round = 0; round < 300; ++round) {
    MetadataFilter filter;
    for (std::uint64_t i = rng() % 3; i > 0; --i) filter.must.push_back(conditions[pick(rng)]);
    for (std::uint64_t i = rng() % 3; i > 0; --i) filter.must_not.push_back(conditions[pick(rng)]);
    expect_same_answer(index, documents, live, filter, "round " + std::to_string(round));
  }
}

// The slots for which a node holds, built as sets from the clauses'
// per-document answers: intersections, unions and complements within the
// live slots, independently of the index and of node_holds.
std::set<std::uint32_t> brute_force(const FilterNode& node, const std::vector<Metadata>& documents,
                                    const std::vector<bool>& live) {
  std::set<std::uint32_t> everyone;
  for (std::uint32_t s = 0; s < documents.size(); ++s) {
    if (live[s]) everyone.insert(s);
  }
  std::set<std::uint32_t> out;
  switch (node.kind) {
    case FilterNode::Kind::Condition:
      for (const std::uint32_t s : everyone) {
        if (evaluate_condition(documents[s], node.condition)) out.insert(s);
      }
      return out;
    case FilterNode::Kind::All:
      out = everyone;
      for (const FilterNode& child : node.children) {
        const std::set<std::uint32_t> part = brute_force(child, documents, live);
        std::set<std::uint32_t> both;
        std::set_intersection(out.begin(), out.end(), part.begin(), part.end(), std::inserter(both, both.end()));
        out = std::move(both);
      }
      return out;
    case FilterNode::Kind::Any:
      for (const FilterNode& child : node.children) {
        const std::set<std::uint32_t> part = brute_force(child, documents, live);
        out.insert(part.begin(), part.end());
      }
      return out;
    case FilterNode::Kind::Not: {
      const std::set<std::uint32_t> part = brute_force(node.children.at(0), documents, live);
      std::set_difference(everyone.begin(), everyone.end(), part.begin(), part.end(), std::inserter(out, out.end()));
      return out;
    }
  }
  return out;
}

// A random tree of up to `depth` levels over `conditions`; And and Or nodes
// with zero to three children, Not nodes around any of them.
FilterNode random_node(std::mt19937_64& rng, const std::vector<FilterCondition>& conditions, int depth) {
  std::uniform_int_distribution<std::size_t> pick(0, conditions.size() - 1);
  const std::uint64_t roll = rng() % 10;
  if (depth <= 1 || roll < 3) return FilterNode::leaf(conditions[pick(rng)]);
  if (roll < 5) return FilterNode::negate(random_node(rng, conditions, depth - 1));
  std::vector<FilterNode> children;
  for (std::uint64_t i = rng() % 4; i > 0; --i) children.push_back(random_node(rng, conditions, depth - 1));
  return roll < 7 ? FilterNode::all(std::move(children)) : FilterNode::any(std::move(children));
}

TEST(MetadataIndex, UnionsIntersectionsAndComplementsMatchSetArithmetic) {
  std::vector<Metadata> documents = random_documents(500, 17);
  MetadataIndex index;
  std::vector<bool> live(documents.size(), true);
  for (std::uint32_t s = 0; s < documents.size(); ++s) index.add(s, documents[s]);
  // Some slots gone, so complements must stay within the live ones.
  for (std::uint32_t s = 0; s < documents.size(); s += 7) {
    index.remove(s, documents[s]);
    live[s] = false;
  }
  const std::vector<FilterCondition> conditions = every_condition({"a", "b", "c", "missing"});
  std::uniform_int_distribution<std::size_t> pick(0, conditions.size() - 1);
  std::mt19937_64 rng(23);
  std::vector<std::uint64_t> bits;
  std::vector<std::uint64_t> scratch;
  for (int round = 0; round < 400; ++round) {
    MetadataFilter filter;
    for (std::uint64_t i = rng() % 2; i > 0; --i) filter.must.push_back(conditions[pick(rng)]);
    for (std::uint64_t i = rng() % 2; i > 0; --i) filter.must_not.push_back(conditions[pick(rng)]);
    for (std::uint64_t i = 1 + rng() % 2; i > 0; --i) filter.all_of.push_back(random_node(rng, conditions, 5));
    ASSERT_TRUE(check_filter(filter));

    // The whole filter as one conjunction node.
    std::vector<FilterNode> parts;
    for (const FilterCondition& c : filter.must) parts.push_back(FilterNode::leaf(c));
    for (const FilterCondition& c : filter.must_not) parts.push_back(FilterNode::negate(FilterNode::leaf(c)));
    for (const FilterNode& node : filter.all_of) parts.push_back(node);
    const std::set<std::uint32_t> expected = brute_force(FilterNode::all(std::move(parts)), documents, live);

    const std::uint64_t count = index.evaluate(filter, documents.size(), bits, scratch);
    EXPECT_EQ(count, expected.size()) << "round " << round;
    for (std::uint32_t s = 0; s < documents.size(); ++s) {
      ASSERT_EQ(test_slot(bits, s), expected.contains(s)) << "round " << round << " slot " << s;
      if (live[s]) {
        ASSERT_EQ(matches_filter(documents[s], filter), expected.contains(s)) << "round " << round;
      }
    }
  }
}

TEST(MetadataIndex, EmptyGroupsAndDeepNestingFollowTheirDefinitions) {
  const std::vector<Metadata> documents = random_documents(130, 2);
  MetadataIndex index;
  for (std::uint32_t s = 0; s < documents.size(); ++s) index.add(s, documents[s]);
  std::vector<std::uint64_t> bits;
  std::vector<std::uint64_t> scratch;
  auto count = [&](FilterNode node) {
    MetadataFilter filter;
    filter.all_of.push_back(std::move(node));
    return index.evaluate(filter, documents.size(), bits, scratch);
  };
  EXPECT_EQ(count(FilterNode::all({})), documents.size());  // holds for everyone
  EXPECT_EQ(count(FilterNode::any({})), 0u);                // holds for no one
  EXPECT_EQ(count(FilterNode::negate(FilterNode::any({}))), documents.size());

  // The deepest nesting allowed: an even number of negations is the clause.
  const FilterCondition clause{"a", FilterOp::Eq, JsonValue(true), std::nullopt};
  MetadataFilter plain;
  plain.must.push_back(clause);
  const std::uint64_t expected = index.evaluate(plain, documents.size(), bits, scratch);
  FilterNode deep = FilterNode::leaf(clause);
  for (std::size_t i = 1; i < MAX_FILTER_DEPTH; ++i) deep = FilterNode::negate(std::move(deep));
  MetadataFilter nested;
  nested.all_of.push_back(std::move(deep));
  ASSERT_TRUE(check_filter(nested));
  // 63 negations: the complement.
  EXPECT_EQ(index.evaluate(nested, documents.size(), bits, scratch), documents.size() - expected);
  nested.all_of[0] = FilterNode::negate(std::move(nested.all_of[0]));
  EXPECT_FALSE(check_filter(nested));
}

TEST(MetadataIndex, RemovedAndReplacedSlotsLeaveEveryValue) {
  std::vector<Metadata> documents = random_documents(500, 13);
  MetadataIndex index;
  std::vector<bool> live(documents.size(), true);
  for (std::uint32_t s = 0; s < documents.size(); ++s) index.add(s, documents[s]);
  const std::vector<Metadata> replacements = random_documents(documents.size(), 21);
  std::mt19937_64 rng(4);
  for (std::uint32_t s = 0; s < documents.size(); ++s) {
    switch (rng() % 3) {
      case 0:  // deleted
        index.remove(s, documents[s]);
        index.remove(s, documents[s]);  // a second removal changes nothing
        live[s] = false;
        break;
      case 1:  // metadata replaced
        index.remove(s, documents[s]);
        documents[s] = replacements[s];
        index.add(s, documents[s]);
        break;
      default: break;
    }
  }
  const std::vector<FilterCondition> conditions = every_condition({"a", "b"});
  for (std::size_t i = 0; i < conditions.size(); i += 3) {
    MetadataFilter filter;
    filter.must.push_back(conditions[i]);
    expect_same_answer(index, documents, live, filter, describe(conditions[i]));
  }
  expect_same_answer(index, documents, live, MetadataFilter{}, "live slots");

  // Removing everything leaves no field behind.
  for (std::uint32_t s = 0; s < documents.size(); ++s) {
    if (live[s]) index.remove(s, documents[s]);
  }
  EXPECT_EQ(index.field_count(), 0u);
  EXPECT_EQ(index.live_count(), 0u);
  EXPECT_EQ(index.estimate_memory_bytes(), 0u);
}

TEST(NumberIndex, RangesAndEqualityThroughSplitBlocksMatchAScan) {
  // Many distinct values, repeats and extremes, inserted in random order,
  // some erased: ranges cross block edges on every side.
  std::mt19937_64 rng(23);
  std::vector<double> value_of(6000);
  for (double& v : value_of) {
    const std::uint64_t r = rng() % 20;
    v = r == 0 ? INF : r == 1 ? -INF : r == 2 ? -0.0 : r < 10 ? static_cast<double>(rng() % 50)
                                                         : static_cast<double>(rng() % 100000) / 7.0 - 5000.0;
  }
  NumberIndex index;
  std::vector<bool> present(value_of.size(), false);
  for (std::uint32_t s = 0; s < value_of.size(); ++s) {
    index.insert(value_of[s], s);
    present[s] = true;
  }
  for (std::uint32_t s = 0; s < value_of.size(); s += 3) {
    index.erase(value_of[s], s);
    present[s] = false;
  }
  index.erase(12345.0, 1);  // not there: nothing changes
  EXPECT_GT(index.block_count(), 8u);

  std::vector<double> probes{0.0, -0.0, 1.0, 49.0, 50.0, INF, -INF, -5000.0, 9285.0, EPS / 2};
  for (int i = 0; i < 40; ++i) probes.push_back(value_of[rng() % value_of.size()]);
  for (int i = 0; i < 20; ++i) probes.push_back(static_cast<double>(rng() % 20000) / 3.0 - 5000.0);
  std::vector<std::uint64_t> words((value_of.size() + 63) / 64);
  for (const double v : probes) {
    for (const FilterOp op : {FilterOp::Gt, FilterOp::Gte, FilterOp::Lt, FilterOp::Lte, FilterOp::Eq}) {
      std::fill(words.begin(), words.end(), 0);
      if (op == FilterOp::Eq) {
        index.equal_into(v, words, false);
      } else {
        index.range_into(op, v, words);
      }
      for (std::uint32_t s = 0; s < value_of.size(); ++s) {
        const double x = value_of[s];
        const bool want = present[s] && (op == FilterOp::Gt    ? x > v
                                         : op == FilterOp::Gte ? x >= v
                                         : op == FilterOp::Lt  ? x < v
                                         : op == FilterOp::Lte ? x <= v
                                                               : x == v || std::fabs(x - v) < EPS);
        ASSERT_EQ(test_slot(words, s), want) << "op " << static_cast<int>(op) << " v " << v << " slot " << s;
      }
    }
  }
}

TEST(SlotSet, FollowsAReferenceSetThroughBothForms) {
  SlotSet set;
  std::set<std::uint32_t> reference;
  std::mt19937_64 rng(17);
  bool was_dense = false;
  bool was_sparse_again = false;
  const std::uint32_t universe = 5000;
  // Grow dense, then thin out to sparse again, checking every step's result.
  for (int phase = 0; phase < 2; ++phase) {
    for (int step = 0; step < 20000; ++step) {
      const auto slot = static_cast<std::uint32_t>(rng() % universe);
      const bool add = phase == 0 ? rng() % 4 != 0 : rng() % 100 == 0;
      if (add) {
        ASSERT_EQ(set.insert(slot), reference.insert(slot).second);
      } else {
        ASSERT_EQ(set.erase(slot), reference.erase(slot) == 1);
      }
      ASSERT_EQ(set.size(), reference.size());
      was_dense = was_dense || set.dense();
      was_sparse_again = was_sparse_again || (was_dense && !set.dense());
    }
    std::vector<std::uint64_t> words((universe + 63) / 64, 0);
    set.or_into(words);
    for (std::uint32_t s = 0; s < universe; ++s) {
      ASSERT_EQ(test_slot(words, s), reference.contains(s)) << s;
      ASSERT_EQ(set.contains(s), reference.contains(s)) << s;
    }
    set.clear_from(words);
    for (const std::uint64_t word : words) ASSERT_EQ(word, 0u);
  }
  EXPECT_TRUE(was_dense);
  EXPECT_TRUE(was_sparse_again);

  // The bitmap made when the set turns dense covers its largest slot
  // wherever that falls in its word: the first bit of a word, the last bit.
  for (const std::uint32_t largest : {64u * 20, 64u * 20 + 63, 64u * 20 - 1, 64u * 20 + 1}) {
    SlotSet edge;
    std::vector<std::uint32_t> want;
    for (std::uint32_t s = 0; s < 63; ++s) want.push_back(s);
    want.push_back(largest);  // the 64th slot: the set turns dense here
    for (const std::uint32_t s : want) {
      ASSERT_FALSE(edge.dense());
      ASSERT_TRUE(edge.insert(s));
    }
    ASSERT_TRUE(edge.dense()) << largest;
    std::vector<std::uint32_t> seen;
    edge.for_each([&](std::uint32_t s) { seen.push_back(s); });
    EXPECT_EQ(seen, want) << largest;
    EXPECT_TRUE(edge.contains(largest));
    EXPECT_FALSE(edge.contains(largest + 1));
    std::vector<std::uint64_t> words(largest / 64 + 1, 0);
    edge.or_into(words);
    EXPECT_TRUE(test_slot(words, largest)) << largest;
    EXPECT_EQ(count_slots(words), want.size());
    // Past the largest, the bitmap grows to take a slot in a later word.
    ASSERT_TRUE(edge.insert(largest + 64));
    EXPECT_TRUE(edge.contains(largest + 64));
    EXPECT_TRUE(edge.contains(largest));
  }

  // Slots beyond the target words are left out, not written past its end.
  SlotSet wide;
  for (std::uint32_t s = 0; s < 1000; s += 7) wide.insert(s);
  std::vector<std::uint64_t> short_words(2, 0);
  wide.or_into(short_words);
  EXPECT_TRUE(test_slot(short_words, 126));
  EXPECT_FALSE(test_slot(short_words, 133));
}

// The list of a filter's passing slots, the way the exact scan takes it:
// every density and both loops (a word's bits are written one or two at a
// time, so counts around those matter), a tombstone mask shorter than the
// words that ends inside a block of words the loop grows the buffer for,
// limits inside a word and beyond the words; a buffer that held a longer
// list before is cut to the new one.
TEST(ListSlots, EqualsTheSetBitsNotClearedBelowTheLimit) {
  std::mt19937_64 rng(17);
  std::vector<std::uint32_t> listed{1, 2, 3};
  for (const double density : {0.0, 0.01, 0.1, 0.13, 0.5, 0.9, 1.0}) {
    for (const std::size_t word_count : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{40},
                                         std::size_t{70}}) {
      std::bernoulli_distribution set(density);
      std::vector<std::uint64_t> words(word_count, 0), cleared(word_count / 2, 0);
      for (std::size_t b = 0; b < 64 * word_count; ++b) {
        if (set(rng)) words[b / 64] |= std::uint64_t{1} << (b % 64);
        if (b / 64 < cleared.size() && rng() % 5 == 0) cleared[b / 64] |= std::uint64_t{1} << (b % 64);
      }
      const auto bits = static_cast<std::uint32_t>(64 * word_count);
      for (const std::uint32_t limit : {0u, 1u, bits / 2 + 5, bits == 0 ? 0u : bits - 1, bits, bits + 100}) {
        std::vector<std::uint32_t> want;
        for (std::uint32_t s = 0; s < std::min(limit, bits); ++s) {
          const bool gone = s / 64 < cleared.size() && ((cleared[s / 64] >> (s % 64)) & 1) != 0;
          if (test_slot(words, s) && !gone) want.push_back(s);
        }
        std::uint64_t bits_set = 0;
        for (const std::uint64_t word : words) bits_set += static_cast<std::uint64_t>(std::popcount(word));
        EXPECT_EQ(count_slots(words), bits_set) << "words " << word_count;
        // Every loop: the expected count only chooses among them.
        for (const std::uint64_t expected : {std::uint64_t{0}, std::uint64_t{want.size()}, std::uint64_t{64 * word_count}}) {
          list_slots(words, cleared, limit, expected, listed);
          ASSERT_EQ(listed, want) << "density " << density << " words " << word_count << " limit " << limit
                                  << " expected " << expected;
        }
      }
    }
  }
}

}  // namespace
}  // namespace karvalith
