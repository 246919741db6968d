// The registry of named collections behind one database handle.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <optional>
#include <string>
#include <vector>

#include "core/common/guarded.h"
#include "core/common/result.h"
#include "core/hnsw/config.h"
#include "core/engine/collection.h"

namespace karvalith {

class Database {
 public:
  // Fails with ErrorKind::InvalidInput "Collection '{}' already exists", or
  // with config_problem's message for a configuration that cannot be used.
  // Without a config the defaults of HnswConfig are used.
  Status create_collection(std::string name, std::uint64_t dimension,
                           std::optional<HnswConfig> config = std::nullopt);
  bool delete_collection(const std::string& name);
  CollectionPtr get_collection(const std::string& name) const;  // null when absent
  std::vector<std::string> list_collections() const;
  // Registers `collection` under `name`, replacing any collection of that name.
  void put_collection(const std::string& name, CollectionPtr collection);
  // Every registered collection, in registry order.
  std::vector<CollectionPtr> collections() const;
  // Sum of every collection's estimate. The registry lock is released before
  // any collection lock is taken.
  std::uint64_t total_memory_bytes() const;

 private:
  using Registry = std::unordered_map<std::string, CollectionPtr>;
  Guarded<Registry> registry_;
};

}  // namespace karvalith
