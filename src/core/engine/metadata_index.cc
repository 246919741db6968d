#include "core/engine/metadata_index.h"

#include "core/search/filter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>
#include <variant>

namespace karvalith {

namespace {

// The number a numeric operand compares as; nothing for other kinds.
std::optional<double> operand_number(const JsonValue& operand) {
  if (const auto* integer = std::get_if<std::int64_t>(&operand)) return static_cast<double>(*integer);
  if (const auto* number = std::get_if<double>(&operand)) return *number;
  return std::nullopt;
}

void apply(const SlotSet& set, std::span<std::uint64_t> words, bool clear) {
  if (clear) {
    set.clear_from(words);
  } else {
    set.or_into(words);
  }
}

}  // namespace

void MetadataIndex::add(std::uint32_t slot, const Metadata& metadata) {
  live_.insert(slot);
  for (const auto& [key, value] : metadata) {
    auto found = fields_.find(key);
    if (found == fields_.end()) found = fields_.emplace(key, Field{}).first;
    Field& field = found->second;
    field.present.insert(slot);
    switch (tag_of(value)) {
      case MetadataTag::Bool:
        (std::get<bool>(value) ? field.is_true : field.is_false).insert(slot);
        break;
      case MetadataTag::Int:
        field.numbers.insert(static_cast<double>(std::get<std::int64_t>(value)), slot);
        break;
      case MetadataTag::Float: {
        const double number = std::get<double>(value);
        if (!std::isnan(number)) field.numbers.insert(number, slot);
        break;
      }
      case MetadataTag::String: {
        const std::string& text = std::get<std::string>(value);
        auto entry = field.strings.find(text);
        if (entry == field.strings.end()) entry = field.strings.emplace(text, SlotSet{}).first;
        entry->second.insert(slot);
        break;
      }
    }
  }
}

void MetadataIndex::remove(std::uint32_t slot, const Metadata& metadata) {
  if (!live_.erase(slot)) return;
  for (const auto& [key, value] : metadata) {
    const auto found = fields_.find(key);
    if (found == fields_.end()) continue;
    Field& field = found->second;
    field.present.erase(slot);
    switch (tag_of(value)) {
      case MetadataTag::Bool:
        (std::get<bool>(value) ? field.is_true : field.is_false).erase(slot);
        break;
      case MetadataTag::Int:
      case MetadataTag::Float: {
        const double number = tag_of(value) == MetadataTag::Int
                                  ? static_cast<double>(std::get<std::int64_t>(value))
                                  : std::get<double>(value);
        if (!std::isnan(number)) field.numbers.erase(number, slot);
        break;
      }
      case MetadataTag::String: {
        const auto entry = field.strings.find(std::get<std::string>(value));
        if (entry == field.strings.end()) break;
        entry->second.erase(slot);
        if (entry->second.empty()) field.strings.erase(entry);
        break;
      }
    }
    if (field.empty()) fields_.erase(found);
  }
}

void MetadataIndex::clear() {
  fields_.clear();
  live_ = SlotSet{};
}

void MetadataIndex::apply_equal(const Field& field, const JsonValue& operand, std::span<std::uint64_t> words,
                                bool clear) {
  if (const auto* flag = std::get_if<bool>(&operand)) {
    apply(*flag ? field.is_true : field.is_false, words, clear);
    return;
  }
  if (const auto* text = std::get_if<std::string>(&operand)) {
    const auto entry = field.strings.find(*text);
    if (entry != field.strings.end()) apply(entry->second, words, clear);
    return;
  }
  const std::optional<double> target = operand_number(operand);
  if (!target || std::isnan(*target)) return;  // null, or a NaN that equals nothing
  field.numbers.equal_into(*target, words, clear);
}

void MetadataIndex::clause_into(const FilterCondition& condition, std::span<std::uint64_t> words) const {
  std::fill(words.begin(), words.end(), 0);
  const auto found = fields_.find(condition.field);
  if (found == fields_.end()) return;  // a missing key fails every clause
  const Field& field = found->second;

  switch (condition.op) {
    case FilterOp::Eq:
      if (condition.value) apply_equal(field, *condition.value, words, false);
      return;
    case FilterOp::Ne:
      if (!condition.value) return;
      field.present.or_into(words);
      apply_equal(field, *condition.value, words, true);
      return;
    case FilterOp::In:
      if (!condition.values) return;
      for (const JsonValue& operand : *condition.values) apply_equal(field, operand, words, false);
      return;
    case FilterOp::Gt:
    case FilterOp::Gte:
    case FilterOp::Lt:
    case FilterOp::Lte: {
      if (!condition.value) return;
      const std::optional<double> bound = operand_number(*condition.value);
      if (!bound || std::isnan(*bound)) return;  // any comparison with NaN is false
      field.numbers.range_into(condition.op, *bound, words);
      return;
    }
  }
}

void MetadataIndex::node_into(const FilterNode& node, std::span<std::uint64_t> words,
                              std::span<std::uint64_t> levels) const {
  const std::size_t count = words.size();
  switch (node.kind) {
    case FilterNode::Kind::Condition:
      clause_into(node.condition, words);
      return;
    case FilterNode::Kind::All:
    case FilterNode::Kind::Any: {
      const bool all = node.kind == FilterNode::Kind::All;
      std::fill(words.begin(), words.end(), 0);
      if (all) live_.or_into(words);  // every set holds live slots only
      const std::span<std::uint64_t> child = levels.first(count);
      const std::span<std::uint64_t> below = levels.subspan(count);
      for (const FilterNode& part : node.children) {
        // A negated part of a conjunction is cleared directly: no complement.
        const bool cleared = all && part.kind == FilterNode::Kind::Not && part.children.size() == 1;
        node_into(cleared ? part.children.front() : part, child, below);
        for (std::size_t w = 0; w < count; ++w) {
          if (!all) {
            words[w] |= child[w];
          } else if (cleared) {
            words[w] &= ~child[w];
          } else {
            words[w] &= child[w];
          }
        }
      }
      return;
    }
    case FilterNode::Kind::Not: {
      std::fill(words.begin(), words.end(), 0);
      if (node.children.size() != 1) return;  // refused by check_filter
      const std::span<std::uint64_t> child = levels.first(count);
      node_into(node.children.front(), child, levels.subspan(count));
      live_.or_into(words);
      for (std::size_t w = 0; w < count; ++w) words[w] &= ~child[w];
      return;
    }
  }
}

std::uint64_t MetadataIndex::evaluate(const MetadataFilter& filter, std::uint64_t slot_count,
                                      std::vector<std::uint64_t>& out, std::vector<std::uint64_t>& scratch) const {
  const auto word_count = static_cast<std::size_t>((slot_count + 63) / 64);
  // One bitmap for the clause or node being combined, then one per level
  // of nesting below it.
  std::size_t levels = 1;
  for (const FilterNode& node : filter.all_of) levels = std::max(levels, filter_depth(node));
  out.resize(word_count);
  scratch.resize(word_count * levels);
  const std::span<std::uint64_t> result(out);
  const std::span<std::uint64_t> clause = std::span<std::uint64_t>(scratch).first(word_count);
  const std::span<std::uint64_t> below = std::span<std::uint64_t>(scratch).subspan(word_count);

  // Every set holds live slots only, so the first must clause is the start.
  if (filter.must.empty()) {
    std::fill(result.begin(), result.end(), 0);
    live_.or_into(result);
  } else {
    clause_into(filter.must.front(), result);
  }
  for (std::size_t i = 1; i < filter.must.size(); ++i) {
    clause_into(filter.must[i], clause);
    for (std::size_t w = 0; w < word_count; ++w) result[w] &= clause[w];
  }
  for (const FilterCondition& condition : filter.must_not) {
    clause_into(condition, clause);
    for (std::size_t w = 0; w < word_count; ++w) result[w] &= ~clause[w];
  }
  for (const FilterNode& node : filter.all_of) {
    node_into(node, clause, below);
    for (std::size_t w = 0; w < word_count; ++w) result[w] &= clause[w];
  }
  return count_slots(result);
}

std::uint64_t MetadataIndex::estimate_memory_bytes() const {
  constexpr std::uint64_t STRING_ENTRY_BYTES = 64;
  constexpr std::uint64_t FIELD_BYTES = 128;
  if (live_.empty()) return 0;
  std::uint64_t bytes = live_.memory_bytes();
  for (const auto& [key, field] : fields_) {
    bytes += FIELD_BYTES + key.size() + field.present.memory_bytes() + field.is_true.memory_bytes() +
             field.is_false.memory_bytes();
    for (const auto& [text, set] : field.strings) bytes += STRING_ENTRY_BYTES + text.size() + set.memory_bytes();
    bytes += field.numbers.memory_bytes();
  }
  return bytes;
}

}  // namespace karvalith
