// The three distance metrics. Every metric is a distance where smaller is
// closer. The numeric values are the variant indexes stored in snapshots and
// log records.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace karvalith {

enum class DistanceMetric : std::uint8_t {
  Cosine = 0,      // 1 - cosine similarity
  Euclidean = 1,   // squared euclidean distance
  DotProduct = 2,  // negated inner product
};

// Exact, case-sensitive parse of "cosine", "euclidean", "dot_product".
std::optional<DistanceMetric> parse_distance_metric(std::string_view text);
std::string_view distance_metric_name(DistanceMetric metric);

}  // namespace karvalith
