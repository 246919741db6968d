// The graph walk behind filtered vector search: the usual HNSW descent, then
// a layer-0 walk that admits only live nodes passing a metadata filter and
// widens its beam while too few pass.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/common/result.h"
#include "core/hnsw/candidate.h"
#include "core/search/filter_types.h"
#include "core/engine/collection.h"

namespace karvalith {

// Fills `out` with the at most k nearest nodes that are live and pass
// `filter`, ascending by distance (IEEE total order), each distance re-ranked
// on the raw or scalar-quantized vector (never a product-quantization
// estimate). Empty for an empty graph or k = 0.
//
// Descent: layers max_level..1 with ef = 1, admitting live nodes. Layer 0:
// ef = max(ef_search, k), cap = min(node_count, 4 * ef); walks from the same
// entry point with ef, 2 ef, ... (each at most cap) until k nodes are admitted
// or ef reaches cap.
//
// Borrows the thread's search context for the walk: ErrorKind::Internal when
// it is already in use on this thread. The caller holds the collection's lock.
Status filtered_walk(const CollectionState& state, std::span<const float> query, std::uint64_t k,
                     const MetadataFilter& filter, std::vector<Candidate>& out);

}  // namespace karvalith
