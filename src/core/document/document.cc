#include "core/document/document.h"

#include <algorithm>

namespace karvalith {

std::vector<Metadata::Entry>::iterator Metadata::find_entry(std::string_view key) {
  return std::find_if(entries_.begin(), entries_.end(), [key](const Entry& entry) { return entry.first == key; });
}

void Metadata::insert_or_assign(std::string key, MetadataValue value) {
  auto existing = find_entry(key);
  if (existing != entries_.end()) {
    existing->second = std::move(value);
    return;
  }
  entries_.emplace_back(std::move(key), std::move(value));
}

bool Metadata::erase(std::string_view key) {
  auto existing = find_entry(key);
  if (existing == entries_.end()) return false;
  // Order is free: move the last entry into the hole instead of shifting.
  if (existing != entries_.end() - 1) *existing = std::move(entries_.back());
  entries_.pop_back();
  return true;
}

Result<Document> Document::create(std::string text, Metadata metadata) {
  Result<Uuid> id = Uuid::generate_v4();
  if (!id) return std::unexpected(std::move(id.error()));
  return Document{*id, std::move(text), std::move(metadata)};
}

}  // namespace karvalith
