#include "core/engine/collection_options.h"

#include <limits>
#include <string>

namespace karvalith {

Result<HnswConfig> make_collection_config(const CollectionOptions& options, std::uint64_t dimension) {
  const HnswConfig defaults;
  HnswConfig config;
  config.m = options.m.value_or(defaults.m);
  // Saturates instead of wrapping; config_problem refuses such m anyway.
  config.m_max0 = config.m > std::numeric_limits<std::uint64_t>::max() / 2 ? config.m : 2 * config.m;
  config.ef_construction = options.ef_construction.value_or(defaults.ef_construction);
  config.ef_search = options.ef_search.value_or(defaults.ef_search);
  config.store_raw_vectors = options.store_raw_vectors.value_or(defaults.store_raw_vectors);
  if (options.walk_bits && *options.walk_bits != 8) {
    if (*options.walk_bits == 0 || *options.walk_bits > 2) {
      return make_error(ErrorKind::InvalidInput,
                        "walk_bits must be 1, 2 or 8, got " + std::to_string(*options.walk_bits));
    }
    config.walk_bits = static_cast<std::uint8_t>(*options.walk_bits);
  }
  if (options.distance_metric) {
    const std::optional<DistanceMetric> metric = parse_distance_metric(*options.distance_metric);
    if (!metric) {
      return make_error(ErrorKind::InvalidInput, "unknown distance metric: '" + *options.distance_metric +
                                                     "' (use 'cosine', 'euclidean', or 'dot_product')");
    }
    config.distance_metric = *metric;
  }
  if (auto problem = config_problem(config, dimension)) return make_error(ErrorKind::InvalidInput, *problem);
  return config;
}

}  // namespace karvalith
