#include "core/hnsw/distance.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/quantization/simd.h"

namespace karvalith {

namespace {

// The resolved kernel path (never Auto once set). Auto (0) means "not yet
// asked"; the first call resolves it from the processor features.
std::atomic<std::uint8_t> g_path{static_cast<std::uint8_t>(KernelPath::Auto)};

KernelPath hardware_path() { return cpu_has_avx2_fma() ? KernelPath::Avx2 : KernelPath::Portable; }

// One relaxed load per call in steady state.
bool use_avx2() {
  auto word = static_cast<KernelPath>(g_path.load(std::memory_order_relaxed));
  if (word == KernelPath::Auto) {
    word = hardware_path();
    g_path.store(static_cast<std::uint8_t>(word), std::memory_order_relaxed);
  }
  return word == KernelPath::Avx2;
}

float portable_cosine_distance(const float* a, const float* b, std::size_t n) {
  float dot = 0.0f, na = 0.0f, nb = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    dot += a[i] * b[i];
    na += a[i] * a[i];
    nb += b[i] * b[i];
  }
  float den = std::sqrt(na) * std::sqrt(nb);
  if (!(den <= LARGEST_F32)) return std::numeric_limits<float>::quiet_NaN();  // a sum overflowed
  if (den < NORM_EPSILON) return 1.0f;
  return 1.0f - dot / den;
}

}  // namespace

void set_kernel_path_for_testing(KernelPath path) {
  KernelPath resolved = path;
  if (path == KernelPath::Auto || (path == KernelPath::Avx2 && !cpu_has_avx2_fma())) {
    resolved = hardware_path();
  }
  g_path.store(static_cast<std::uint8_t>(resolved), std::memory_order_relaxed);
}

KernelPath active_kernel_path() { return use_avx2() ? KernelPath::Avx2 : KernelPath::Portable; }

float distance_exact(DistanceMetric metric, std::span<const float> a, std::span<const float> b) {
  // Callers pass equal lengths; the min only guarantees no read past b.
  const std::size_t n = std::min(a.size(), b.size());
  const float* pa = a.data();
  const float* pb = b.data();
  float d = 1.0f;
  if (use_avx2()) {
    switch (metric) {
      case DistanceMetric::Cosine: d = 1.0f - avx2_cosine_f32(pa, pb, n); break;
      case DistanceMetric::Euclidean: d = avx2_euclidean_sq_f32(pa, pb, n); break;
      case DistanceMetric::DotProduct: d = -avx2_dot_product_f32(pa, pb, n); break;
    }
  } else {
    switch (metric) {
      case DistanceMetric::Cosine: d = portable_cosine_distance(pa, pb, n); break;
      case DistanceMetric::Euclidean: d = portable_euclidean_sq_f32(pa, pb, n); break;
      case DistanceMetric::DotProduct: d = -portable_dot_f32(pa, pb, n); break;
    }
  }
  if (!std::isfinite(d)) [[unlikely]] return distance_exact_f64(metric, a.first(n), b.first(n));
  return d;
}

float distance_asym_prenorm(DistanceMetric metric, std::span<const float> query,
                            QuantizedView q, float query_norm_sq) {
  const std::size_t n = query.size();
  float d = 1.0f;
  if (use_avx2()) {
    switch (metric) {
      case DistanceMetric::Cosine:
        d = 1.0f - avx2_cosine_asym_prenorm(query.data(), q.codes, q.min, q.scale, n, query_norm_sq);
        break;
      case DistanceMetric::Euclidean: d = avx2_euclidean_sq_asym(query.data(), q.codes, q.min, q.scale, n); break;
      case DistanceMetric::DotProduct: d = -avx2_dot_product_asym(query.data(), q.codes, q.min, q.scale, n); break;
    }
  } else {
    switch (metric) {
      case DistanceMetric::Cosine: d = 1.0f - cosine_similarity_asym_prenorm(query, q, query_norm_sq); break;
      case DistanceMetric::Euclidean: d = euclidean_distance_sq_asym(query, q); break;
      case DistanceMetric::DotProduct: d = -dot_product_asym(query, q); break;
    }
  }
  if (!std::isfinite(d)) [[unlikely]] return distance_asym_f64(metric, query, q);
  return d;
}

float distance_exact_f64(DistanceMetric metric, std::span<const float> a, std::span<const float> b) {
  const std::size_t n = std::min(a.size(), b.size());
  switch (metric) {
    case DistanceMetric::Cosine: return 1.0f - cosine_similarity_f64(a.data(), b.data(), n);
    case DistanceMetric::Euclidean: return euclidean_sq_f64(a.data(), b.data(), n);
    case DistanceMetric::DotProduct: return -dot_f64(a.data(), b.data(), n);
  }
  return 1.0f;
}

float distance_asym_f64(DistanceMetric metric, std::span<const float> query, QuantizedView q) {
  switch (metric) {
    case DistanceMetric::Cosine: return 1.0f - cosine_similarity_asym_f64(query, q);
    case DistanceMetric::Euclidean: return euclidean_distance_sq_asym_f64(query, q);
    case DistanceMetric::DotProduct: return -dot_product_asym_f64(query, q);
  }
  return 1.0f;
}

PreparedQuery prepare_query(DistanceMetric metric, std::span<const float> query, std::vector<float>& buffer) {
  const float norm_sq = squared_norm(query);
  // Ordinary queries cost nothing beyond the norm they need anyway.
  if (metric != DistanceMetric::Cosine || norm_sq <= SAFE_MAGNITUDE * SAFE_MAGNITUDE) {
    return {query, norm_sq};
  }
  float largest = 0.0f;
  for (const float x : query) largest = std::max(largest, std::fabs(x));
  if (!(largest > SAFE_MAGNITUDE) || !std::isfinite(largest)) return {query, norm_sq};
  // 2^-e with 2^e <= largest < 2^(e+1): the largest component lands in [1, 2).
  const int exponent = std::ilogb(largest);
  buffer.resize(query.size());
  for (std::size_t i = 0; i < query.size(); ++i) buffer[i] = std::ldexp(query[i], -exponent);
  return {buffer, squared_norm(buffer)};
}

float squared_norm(std::span<const float> v) {
  float sum = 0.0f;
  for (float x : v) sum += x * x;
  return sum;
}

}  // namespace karvalith
