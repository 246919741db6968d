// The metadata index of a collection: for every metadata key, the live slots
// per value (strings, booleans, numbers) and the numbers in ascending order,
// so a filter becomes set operations instead of one document lookup per slot.
// Derived data: built from the documents and kept in step by every change,
// never stored.
//
// A slot is indexed under a document's metadata while that document is live
// and the slot is its own (uuid_to_internal). The answers are exactly those of
// matches_filter (search/filter.h) for such slots: numbers compare as
// doubles, equality exact or within FILTER_EPSILON, NaN equal to nothing
// and ordered with nothing, a missing key failing every clause, ne included.
//
// Not synchronised: changes need the collection's exclusive lock, evaluation
// the shared one.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/document/document.h"
#include "core/engine/number_index.h"
#include "core/engine/slot_set.h"
#include "core/search/filter_types.h"

namespace karvalith {

class MetadataIndex {
 public:
  // Indexes live slot `slot` under every entry of `metadata`.
  void add(std::uint32_t slot, const Metadata& metadata);
  // Takes `slot` out again; `metadata` must be what it was added with.
  // Nothing happens for a slot that is not indexed.
  void remove(std::uint32_t slot, const Metadata& metadata);
  void clear();

  // The live slots that pass `filter` (every must clause holds, no must_not
  // clause does, every all_of node holds) as bits of `out`, resized to cover
  // `slot_count` slots; returns their number. A node's set is the
  // intersection (All), union (Any) or complement within the live slots
  // (Not) of its children's sets. `scratch` is working space, one bitmap per
  // level of nesting. Allocates only when the buffers must grow. The filter
  // has passed check_filter (search/filter.h).
  std::uint64_t evaluate(const MetadataFilter& filter, std::uint64_t slot_count, std::vector<std::uint64_t>& out,
                         std::vector<std::uint64_t>& scratch) const;

  std::uint64_t live_count() const { return live_.size(); }
  std::size_t field_count() const { return fields_.size(); }
  // Fixed per-item costs: each set's object and slots or bits, 64 bytes
  // plus the text per string value, 48 per distinct number and 16 per
  // block of numbers, 128 plus the name per field.
  std::uint64_t estimate_memory_bytes() const;

 private:
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };

  struct Field {
    SlotSet present;  // every live slot that has the key, whatever its value
    SlotSet is_true;
    SlotSet is_false;
    std::unordered_map<std::string, SlotSet, TextHash, std::equal_to<>> strings;
    NumberIndex numbers;  // Int and Float values as doubles; NaN stays out
    bool empty() const { return present.empty(); }
  };

  // Bits of the slots whose value equals `operand` (json_eq), or'ed into
  // `words`, or cleared from them when `clear` is set.
  static void apply_equal(const Field& field, const JsonValue& operand, std::span<std::uint64_t> words, bool clear);
  // The slots passing one clause into `words` (zeroed first).
  void clause_into(const FilterCondition& condition, std::span<std::uint64_t> words) const;
  // The slots for which `node` holds into `words` (overwritten); `levels`
  // holds a bitmap of words.size() words per level below this one.
  void node_into(const FilterNode& node, std::span<std::uint64_t> words, std::span<std::uint64_t> levels) const;

  std::unordered_map<std::string, Field, TextHash, std::equal_to<>> fields_;
  SlotSet live_;
};

}  // namespace karvalith
