// Product quantization: M sub-spaces of 256 trained centroids each, byte codes
// per sub-space, and per-query distance tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/common/result.h"
#include "core/quantization/metric.h"

namespace karvalith {

inline constexpr std::uint64_t PQ_CENTROIDS = 256;

struct PqCodebook {
  std::uint64_t num_subspaces = 0;
  std::uint64_t num_centroids = 0;
  std::uint64_t subspace_dim = 0;
  std::vector<float> centroids;  // (s * 256 + c) * subspace_dim ... + subspace_dim

  // Fails (ErrorKind::Internal) with "dimension must be divisible by
  // num_subspaces", "need at least one vector to train PQ", or a division by
  // zero message for d == 0.
  static Result<PqCodebook> train(std::span<const float> data, std::uint64_t d,
                                  std::uint64_t num_subspaces);

  // True when the centroid list matches the sizes and num_centroids is 256,
  // so encode and table look-ups cannot read out of range.
  bool is_consistent() const;

  // Appends num_subspaces codes for v to out. v must hold at least
  // num_subspaces * subspace_dim components (ErrorKind::Internal otherwise).
  Status encode_into(std::span<const float> v, std::vector<std::uint8_t>& out) const;
  Result<std::vector<std::uint8_t>> encode(std::span<const float> v) const;
  Result<std::vector<std::uint8_t>> encode_batch(std::span<const float> data,
                                                 std::uint64_t d) const;
};

// The two k-means steps of `train` for one sub-space, over `count` sub-vectors
// of `dim` floats stored back to back in subs; count is nearest.size() for
// kmeans_seed and assignment.size() for kmeans_refine. kmeans_seed picks k
// centroids by k-means++ from the xorshift state `seed`; kmeans_refine runs
// the Lloyd iterations. Sizes: members k, centroids k * dim; with smaller
// buffers both leave centroids untouched.
void kmeans_seed(std::span<const float> subs, std::size_t dim, std::size_t k,
                 std::uint64_t seed, std::span<float> nearest, std::span<float> centroids);
void kmeans_refine(std::span<const float> subs, std::size_t dim, std::size_t k,
                   std::span<std::uint32_t> assignment, std::span<std::uint32_t> members,
                   std::span<float> centroids);

// Fills table (resized to num_subspaces * num_centroids) with the partial
// distances of the query's sub-vectors to every centroid. Reuses the caller's
// buffer so a search allocates nothing in steady state. When the codebook is
// not consistent or the query is shorter than num_subspaces * subspace_dim,
// the table is left empty (callers check is_consistent() on load and pass
// vectors of the index dimension, so this never happens in practice).
void build_distance_table(const PqCodebook& codebook, std::span<const float> query,
                          DistanceMetric metric, std::vector<float>& table);

}  // namespace karvalith
