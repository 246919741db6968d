// What users store: a document is an id, a text and a flat metadata map.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "core/common/result.h"
#include "core/document/uuid.h"

namespace karvalith {

// One metadata value. The variant index is the tag the binary formats store:
// Bool 0, Int 1, Float 2, String 3.
using MetadataValue = std::variant<bool, std::int64_t, double, std::string>;

enum class MetadataTag : std::uint8_t { Bool = 0, Int = 1, Float = 2, String = 3 };

inline MetadataTag tag_of(const MetadataValue& value) { return static_cast<MetadataTag>(value.index()); }

// A flat map from key to value, one value per key, in no particular order.
// Metadata maps are small (a handful of keys), so a vector scanned linearly
// beats a hash map on both lookup and memory; lookups compare lengths first.
class Metadata {
 public:
  using Entry = std::pair<std::string, MetadataValue>;
  using const_iterator = std::vector<Entry>::const_iterator;

  Metadata() = default;

  // Null when `key` is absent. Inline: filters call it once per clause.
  const MetadataValue* find(std::string_view key) const {
    for (const Entry& entry : entries_) {
      if (entry.first.size() == key.size() && std::string_view(entry.first) == key) return &entry.second;
    }
    return nullptr;
  }
  // Inserts the pair, or replaces the value when the key is already present.
  void insert_or_assign(std::string key, MetadataValue value);
  // Removes the key; false when it was absent.
  bool erase(std::string_view key);

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void reserve(std::size_t count) { entries_.reserve(count); }
  void clear() { entries_.clear(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

 private:
  std::vector<Entry>::iterator find_entry(std::string_view key);

  std::vector<Entry> entries_;
};

// A document as callers see it. Collections keep documents encoded
// (DocumentStore) and hand out decoded copies, shared by the results of one
// call. Copying is a deep copy (text, keys and String payloads included).
struct Document {
  Uuid id;
  std::string text;
  Metadata metadata;

  // A document with a fresh random version-4 id. Fails (ErrorKind::Internal)
  // only when the OS random source fails. Text and metadata are not checked.
  static Result<Document> create(std::string text, Metadata metadata);
};

// A document waiting to be inserted, with its embedding.
struct PendingDocument {
  Document document;
  std::vector<float> embedding;
};

using DocumentPtr = std::shared_ptr<const Document>;
using DocumentMap = std::unordered_map<Uuid, DocumentPtr, UuidHash>;

}  // namespace karvalith
