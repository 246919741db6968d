#include "core/engine/database.h"

#include <string>
#include <utility>

namespace karvalith {

Status Database::create_collection(std::string name, std::uint64_t dimension,
                                   std::optional<HnswConfig> config) {
  auto registry = registry_.write();
  if (registry->contains(name)) {
    return make_error(ErrorKind::InvalidInput, "Collection '" + name + "' already exists");
  }
  auto collection = std::make_shared<Collection>(name, dimension, config.value_or(HnswConfig{}));
  registry->emplace(std::move(name), std::move(collection));
  return {};
}

bool Database::delete_collection(const std::string& name) {
  CollectionPtr removed;  // the collection may die here; not under the lock
  auto registry = registry_.write();
  auto entry = registry->find(name);
  if (entry == registry->end()) return false;
  removed = std::move(entry->second);
  registry->erase(entry);
  return true;
}

CollectionPtr Database::get_collection(const std::string& name) const {
  auto registry = registry_.read();
  auto entry = registry->find(name);
  if (entry == registry->end()) return nullptr;
  return entry->second;
}

std::vector<std::string> Database::list_collections() const {
  auto registry = registry_.read();
  std::vector<std::string> names;
  names.reserve(registry->size());
  for (const auto& [name, collection] : *registry) names.push_back(name);
  return names;
}

void Database::put_collection(const std::string& name, CollectionPtr collection) {
  CollectionPtr replaced;  // released after the lock
  auto registry = registry_.write();
  CollectionPtr& slot = (*registry)[name];
  replaced = std::exchange(slot, std::move(collection));
}

std::uint64_t Database::total_memory_bytes() const {
  auto registry = registry_.read();
  std::uint64_t total = 0;
  for (const auto& [name, collection] : *registry) total += collection->estimate_memory_bytes();
  return total;
}

}  // namespace karvalith
