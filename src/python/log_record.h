// What a mutating method hands to the handle's log before it changes memory.
// Records are views of the call's already-validated data, so building one
// costs nothing while the handle has no log.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <variant>

#include "core/document/document.h"
#include "core/document/uuid.h"
#include "core/hnsw/config.h"
#include "core/engine/collection.h"

namespace karvalith::py {

struct CreateCollectionRecord {
  std::string_view name;
  std::uint64_t dimension;
  const HnswConfig& config;
};

struct DeleteCollectionRecord {
  std::string_view name;
};

struct InsertDocumentRecord {
  std::string_view collection;
  const Document& document;
  std::span<const float> embedding;
};

struct BatchInsertRecord {
  std::string_view collection;
  std::span<const PendingDocument> documents;
};

struct DeleteDocumentRecord {
  std::string_view collection;
  const Uuid& id;
};

using LogRecord = std::variant<CreateCollectionRecord, DeleteCollectionRecord, InsertDocumentRecord,
                               BatchInsertRecord, DeleteDocumentRecord>;

}  // namespace karvalith::py
