#include "core/engine/database.h"

#include <string>
#include <utility>

namespace karvalith {

Status Database::create_collection(std::string name, std::uint64_t dimension,
                                   std::optional<HnswConfig> config) {
  const HnswConfig chosen = config.value_or(HnswConfig{});
  if (auto problem = config_problem(chosen, dimension)) return make_error(ErrorKind::InvalidInput, *problem);
  auto collection = std::make_shared<Collection>(name, dimension, chosen);
  auto registry = registry_.write();
  if (registry->contains(name)) {
    return make_error(ErrorKind::InvalidInput, "Collection '" + name + "' already exists");
  }
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

std::vector<CollectionPtr> Database::collections() const {
  auto registry = registry_.read();
  std::vector<CollectionPtr> all;
  all.reserve(registry->size());
  for (const auto& [name, collection] : *registry) all.push_back(collection);
  return all;
}

std::uint64_t Database::total_memory_bytes() const {
  std::uint64_t total = 0;
  for (const CollectionPtr& collection : collections()) total += collection->estimate_memory_bytes();
  return total;
}

}  // namespace karvalith
