// The parameters of an HNSW index. Field order is the order in snapshots and
// log records.
#pragma once

#include <cstdint>

#include "core/quantization/metric.h"

namespace karvalith {

struct HnswConfig {
  std::uint64_t m = 16;                // links per node on layers >= 1
  std::uint64_t m_max0 = 32;           // links per node on layer 0
  std::uint64_t ef_construction = 200; // beam width while inserting
  std::uint64_t ef_search = 50;        // default beam width of queries
  std::uint64_t max_layers = 16;       // a node's level is at most max_layers - 1
  DistanceMetric distance_metric = DistanceMetric::Cosine;
  std::uint64_t pq_subspaces = 0;      // 0 turns product quantization off
  bool store_raw_vectors = false;      // keep full-precision copies too
};

}  // namespace karvalith
