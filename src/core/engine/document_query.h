// Reading a collection's documents by id and by metadata filter, and
// counting them: what get, count and delete_where ask of a collection. The
// filter is evaluated by the metadata index (passing_set.h), never by
// decoding documents.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/common/result.h"
#include "core/document/document.h"
#include "core/document/uuid.h"
#include "core/engine/collection.h"
#include "core/search/filter_types.h"

namespace karvalith {

struct DocumentQuery {
  // These ids, in this order: an id that is not live, or that came before
  // in the list, is skipped. Absent: every live document, in slot order
  // (the order list_ids gives).
  std::optional<std::vector<Uuid>> ids;
  std::optional<MetadataFilter> filter;  // only documents passing it
  std::uint64_t offset = 0;              // of the documents selected, skip this many
  std::optional<std::uint64_t> limit;    // then return at most this many
};

// The documents the query selects, read under one shared lock.
// ErrorKind::InvalidInput when the filter fails check_filter.
Result<std::vector<DocumentPtr>> select_documents(const Collection& collection, const DocumentQuery& query);

// The live documents passing `filter` (all of them when null), counted by the
// metadata index. InvalidInput as for select_documents.
Result<std::uint64_t> count_documents(const Collection& collection, const MetadataFilter* filter);

// Each of `ids` that is live, once, in the order given.
std::vector<Uuid> live_among(const Collection& collection, std::span<const Uuid> ids);

// The ids of the live documents passing `filter`, in slot order. InvalidInput
// as for select_documents.
Result<std::vector<Uuid>> passing_ids(const Collection& collection, const MetadataFilter& filter);

}  // namespace karvalith
