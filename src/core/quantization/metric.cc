#include "core/quantization/metric.h"

namespace karvalith {

std::optional<DistanceMetric> parse_distance_metric(std::string_view text) {
  if (text == "cosine") return DistanceMetric::Cosine;
  if (text == "euclidean") return DistanceMetric::Euclidean;
  if (text == "dot_product") return DistanceMetric::DotProduct;
  return std::nullopt;
}

std::string_view distance_metric_name(DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::Cosine: return "cosine";
    case DistanceMetric::Euclidean: return "euclidean";
    case DistanceMetric::DotProduct: return "dot_product";
  }
  return "cosine";
}

}  // namespace karvalith
