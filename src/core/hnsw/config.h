// The parameters of an HNSW index. Field order is the order in snapshots and
// log records. The defaults below are the only place they are written down.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/quantization/metric.h"

namespace karvalith {

struct HnswConfig {
  std::uint64_t m = 16;                // links per node on layers >= 1
  std::uint64_t m_max0 = 32;           // links per node on layer 0
  std::uint64_t ef_construction = 200; // beam width while inserting
  std::uint64_t ef_search = 50;        // default beam width of queries
  std::uint64_t max_layers = 16;       // a node's level is at most max_layers - 1
  DistanceMetric distance_metric = DistanceMetric::Cosine;
  bool store_raw_vectors = false;      // keep full-precision copies too
  // Bits per component of the codes walks read: 0 for the 8-bit codes, or
  // 1 or 2 (HnswIndex::walk_bits). Not part of the encoding above: stored
  // only by the records and snapshots made for it (a collection without it
  // is written as before).
  std::uint8_t walk_bits = 0;

  friend bool operator==(const HnswConfig&, const HnswConfig&) = default;
};

// Largest values a configuration may hold: beyond them a graph's per-node
// link arrays would be absurd, levels no longer fit their byte, and a
// vector's offset could overflow. The beam widths need no bound: every
// buffer they size is also bounded by the node count.
inline constexpr std::uint64_t MAX_LINKS = 1u << 16;
inline constexpr std::uint64_t MAX_LAYERS = 256;
inline constexpr std::uint64_t MAX_DIMENSION = 1u << 24;

// Why `config` (for vectors of `dimension` components) cannot be used, or
// nothing when it can: m from 2 to MAX_LINKS, m_max0 from m to 2 * MAX_LINKS,
// ef_construction at least 1, max_layers from 1 to MAX_LAYERS, the
// dimension at most MAX_DIMENSION, and walk_bits 0, or 1 or 2 with a
// dimension of at least 1. Checked
// when a collection is created and whenever a configuration is decoded.
std::optional<std::string> config_problem(const HnswConfig& config, std::uint64_t dimension);

}  // namespace karvalith
