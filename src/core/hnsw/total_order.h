// Sorting candidates by the IEEE total order of their distances:
// -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>

#include "core/hnsw/candidate.h"

namespace karvalith {

// A signed key whose integer order is the total order of the float.
inline std::int32_t total_order_key(float x) {
  auto bits = std::bit_cast<std::int32_t>(x);
  return bits ^ static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 31) >> 1);
}

// Unstable: equal distances end up in no particular order.
inline void sort_by_total_order(std::span<Candidate> items) {
  std::sort(items.begin(), items.end(), [](const Candidate& a, const Candidate& b) {
    return total_order_key(a.distance) < total_order_key(b.distance);
  });
}

}  // namespace karvalith
