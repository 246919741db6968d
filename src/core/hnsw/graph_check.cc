#include "core/hnsw/graph_check.h"

namespace karvalith {
namespace {

std::string u64s(std::uint64_t v) { return std::to_string(v); }

}  // namespace

std::optional<std::string> graph_problem(const HnswParts& h, std::uint64_t dim) {
  const std::uint64_t nc = h.node_count;
  const std::string ncs = u64s(nc);

  if (h.dimension != dim) {
    return "HNSW dimension " + u64s(h.dimension) + " != collection dimension " + u64s(dim);
  }
  std::uint64_t cells = 0;
  const bool cells_fit = !__builtin_mul_overflow(nc, dim, &cells);
  if (!cells_fit || h.vector_data.size() != cells) {
    return "vector_data length " + u64s(h.vector_data.size()) + " != node_count(" + ncs + ") * dimension(" +
           u64s(dim) + ")";
  }
  auto per_node = [&](const char* field, std::size_t length) -> std::optional<std::string> {
    if (length == nc) return std::nullopt;
    return std::string(field) + " length " + u64s(length) + " != node_count " + ncs;
  };
  if (auto e = per_node("vector_min", h.vector_min.size())) return e;
  if (auto e = per_node("vector_scale", h.vector_scale.size())) return e;
  if (auto e = per_node("neighbors", h.neighbors.size())) return e;
  if (auto e = per_node("layers", h.layers.size())) return e;
  if (auto e = per_node("deleted", h.deleted.size())) return e;
  if (h.entry_point && *h.entry_point >= nc) {
    return "entry_point " + u64s(*h.entry_point) + " >= node_count " + ncs;
  }
  for (std::size_t node = 0; node < h.neighbors.size(); ++node) {
    const auto& lists = h.neighbors[node];
    for (std::size_t layer = 0; layer < lists.size(); ++layer) {
      for (std::uint32_t id : lists[layer]) {
        if (id >= nc) {
          return "neighbor " + u64s(id) + " out of bounds (node_count=" + ncs + ") at node " + u64s(node) +
                 " layer " + u64s(layer);
        }
      }
    }
  }

  if (auto problem = config_problem(h.config, dim)) return "invalid configuration: " + *problem;
  if (h.config.store_raw_vectors && !h.raw_vectors.empty() && h.raw_vectors.size() != cells) {
    return "raw_vectors length " + u64s(h.raw_vectors.size()) + " != 0 or node_count(" + ncs + ") * dimension(" +
           u64s(dim) + ")";
  }
  for (std::size_t node = 0; node < nc; ++node) {
    const std::uint64_t level = h.layers[node];
    if (level > h.max_level) {
      return "node " + u64s(node) + " level " + u64s(level) + " > max_level " + u64s(h.max_level);
    }
    if (h.neighbors[node].size() != level + 1) {
      return "node " + u64s(node) + " has " + u64s(h.neighbors[node].size()) + " neighbor lists != level(" +
             u64s(level) + ") + 1";
    }
  }
  if (h.entry_point) {
    const std::uint64_t level = h.layers[*h.entry_point];
    if (level != h.max_level) {
      return "entry_point " + u64s(*h.entry_point) + " level " + u64s(level) + " != max_level " +
             u64s(h.max_level);
    }
  } else if (nc != 0) {
    return "entry_point absent with node_count " + ncs;
  }
  return std::nullopt;
}

}  // namespace karvalith
