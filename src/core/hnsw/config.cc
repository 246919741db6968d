#include "core/hnsw/config.h"

namespace karvalith {

namespace {

std::string between(const char* field, std::uint64_t low, std::uint64_t high, std::uint64_t got) {
  return std::string(field) + " must be between " + std::to_string(low) + " and " + std::to_string(high) +
         ", got " + std::to_string(got);
}

}  // namespace

std::optional<std::string> config_problem(const HnswConfig& config, std::uint64_t dimension) {
  // The first two messages are the ones create_collection has always used.
  if (config.m < 2) return "m must be at least 2, got " + std::to_string(config.m);
  if (config.ef_construction < 1) return std::string("ef_construction must be at least 1, got 0");
  if (config.m > MAX_LINKS) return between("m", 2, MAX_LINKS, config.m);
  if (config.m_max0 < config.m || config.m_max0 > 2 * MAX_LINKS) {
    return between("m_max0", config.m, 2 * MAX_LINKS, config.m_max0);
  }
  if (config.max_layers < 1 || config.max_layers > MAX_LAYERS) {
    return between("max_layers", 1, MAX_LAYERS, config.max_layers);
  }
  if (dimension > MAX_DIMENSION) return between("dimension", 0, MAX_DIMENSION, dimension);
  if (config.walk_bits > 2) return "walk_bits must be 1, 2 or 8, got " + std::to_string(config.walk_bits);
  if (config.walk_bits != 0 && dimension == 0) {
    return std::string("walk_bits needs embeddings: a collection of dimension 0 has no graph to walk");
  }
  return std::nullopt;
}

}  // namespace karvalith
