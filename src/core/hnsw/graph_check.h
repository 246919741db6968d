// The invariants a graph read from a file must hold before it is built:
// what HnswIndex::from_parts and every walk index by.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/hnsw/graph.h"

namespace karvalith {

// The first problem of `parts` as a graph of `dimension`-component vectors,
// or nothing when it can be used. In order: the dimension; the codes
// (node_count * dimension); vector_min, vector_scale, neighbors, layers and
// deleted one per node; the entry point below node_count; every neighbour id
// below node_count; the configuration (config_problem); raw vectors, when
// kept, 0 or node_count * dimension; per node, level <= max_level and
// level + 1 lists; the entry point at max_level, present whenever there are
// nodes.
std::optional<std::string> graph_problem(const HnswParts& parts, std::uint64_t dimension);

}  // namespace karvalith
