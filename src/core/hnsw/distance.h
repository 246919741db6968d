// Distance entry points with run-time dispatch between the AVX2+FMA kernels
// and the portable loops. Smaller is closer for every metric.
#pragma once

#include <span>
#include <vector>

#include "core/quantization/metric.h"
#include "core/quantization/scalar.h"

namespace karvalith {

// Distance between two full-precision vectors; uses the first a.size()
// components of b (b must be at least that long; a shorter b is never read
// past its end, only its own components are compared).
float distance_exact(DistanceMetric metric, std::span<const float> a, std::span<const float> b);

// Distance between a full-precision query and a quantized vector;
// query_norm_sq (sum of query[i]^2, single precision) is read for Cosine only.
float distance_asym_prenorm(DistanceMetric metric, std::span<const float> query,
                            QuantizedView q, float query_norm_sq);

// Both give the single-precision result when it is finite; when a sum
// overflowed, the _f64 form below instead.

// The same distances accumulated in double and rounded to float once: +-inf
// where the true distance is beyond the float range, never NaN for finite
// inputs (scalar.h).
float distance_exact_f64(DistanceMetric metric, std::span<const float> a, std::span<const float> b);
float distance_asym_f64(DistanceMetric metric, std::span<const float> query, QuantizedView q);

// Sum of squares in single precision, index order (the query norm above).
float squared_norm(std::span<const float> v);

// Components up to this magnitude, in the query and the stored vectors,
// cannot make any single-precision sum overflow: products stay below 2^82
// and sums of up to 2^24 of them (MAX_DIMENSION) below 2^107.
inline constexpr float SAFE_MAGNITUDE = 0x1p40f;

// A query as the kernels take it, with its squared norm.
struct PreparedQuery {
  std::span<const float> values;
  float norm_sq;
};
// For cosine, a query with a component beyond 2^40 in magnitude is scaled
// into `buffer` by the power of two that brings its largest component into
// [1, 2): cosine does not change with scale, the scaling is exact (only
// components below 2^-126 of the largest lose bits) and the single-precision
// sums then stay far from overflow. Any other query, or metric, is returned
// as it is. norm_sq is squared_norm of the returned values.
PreparedQuery prepare_query(DistanceMetric metric, std::span<const float> query, std::vector<float>& buffer);

// Which kernels the dispatch uses. Tests force each path to compare them.
enum class KernelPath { Auto, Avx2, Portable };
void set_kernel_path_for_testing(KernelPath path);
// The path the dispatch takes now (never Auto).
KernelPath active_kernel_path();

}  // namespace karvalith
