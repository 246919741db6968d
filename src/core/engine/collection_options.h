// What a caller may choose when creating a collection, and the configuration
// it becomes: omitted fields take HnswConfig's defaults, m_max0 is always
// 2 * m and max_layers are never chosen by callers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/common/result.h"
#include "core/hnsw/config.h"

namespace karvalith {

struct CollectionOptions {
  std::optional<std::uint64_t> m;
  std::optional<std::uint64_t> ef_construction;
  std::optional<std::uint64_t> ef_search;
  std::optional<std::string> distance_metric;  // "cosine", "euclidean" or "dot_product"
  std::optional<bool> store_raw_vectors;
  // Bits per component of the codes searches walk the graph on: 8 (the
  // default), or 1 or 2 (HnswConfig::walk_bits).
  std::optional<std::uint64_t> walk_bits;
};

// The configuration of a new collection of `dimension` components, or
// ErrorKind::InvalidInput: "unknown distance metric: '{}' (use 'cosine',
// 'euclidean', or 'dot_product')", or config_problem's message (walk_bits
// other than 1, 2 or 8 among them).
Result<HnswConfig> make_collection_config(const CollectionOptions& options, std::uint64_t dimension);

}  // namespace karvalith
