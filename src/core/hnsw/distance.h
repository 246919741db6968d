// Distance entry points with run-time dispatch between the AVX2+FMA kernels
// and the portable loops. Smaller is closer for every metric.
#pragma once

#include <span>

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

// Sum of squares in single precision, index order (the query norm above).
float squared_norm(std::span<const float> v);

// Which kernels the dispatch uses. Tests force each path to compare them.
enum class KernelPath { Auto, Avx2, Portable };
void set_kernel_path_for_testing(KernelPath path);
// The path the dispatch takes now (never Auto).
KernelPath active_kernel_path();

}  // namespace karvalith
