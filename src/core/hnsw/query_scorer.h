// Distances from one query to stored nodes with the kernel chosen once per
// query instead of per call. Gives exactly the values of compute_distance
// (search.h), distance_exact and distance_asym_prenorm: on the AVX2 path it
// calls the same kernels with the same result mapping, otherwise it defers
// to those entry points.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/hnsw/distance.h"
#include "core/hnsw/graph.h"
#include "core/quantization/simd.h"

namespace karvalith {

class QueryScorer {
 public:
  // `qnorm` is squared_norm(query) (the norm_sq of prepare_query).
  QueryScorer(const HnswIndex& index, std::span<const float> query, float qnorm)
      : index_(&index),
        query_(query),
        qnorm_(qnorm),
        dim_(index.dimension()),
        n_(std::min<std::size_t>(query.size(), index.dimension())),
        metric_(index.config().distance_metric),
        // Overflow needs a component beyond SAFE_MAGNITUDE in a node or in
        // the query (qnorm is NaN or above SAFE_MAGNITUDE^2 then).
        checked_(index.has_huge_nodes() || !(qnorm <= SAFE_MAGNITUDE * SAFE_MAGNITUDE)) {
    const bool avx2 = active_kernel_path() == KernelPath::Avx2;
    if (index.has_raw_vectors()) {
      raw_ = index.raw_vector(0).data();
      mode_ = !avx2 ? Mode::RawPortable
              : metric_ == DistanceMetric::Cosine    ? Mode::RawCosineAvx2
              : metric_ == DistanceMetric::Euclidean ? Mode::RawEuclideanAvx2
                                                     : Mode::RawDotAvx2;
    } else {
      mode_ = !avx2 ? Mode::SqPortable
              : metric_ == DistanceMetric::Cosine    ? Mode::SqCosineAvx2
              : metric_ == DistanceMetric::Euclidean ? Mode::SqEuclideanAvx2
                                                     : Mode::SqDotAvx2;
    }
  }

  float operator()(std::uint32_t id) const {
    const float* q = query_.data();
    float d = 1.0f;
    switch (mode_) {
      case Mode::SqCosineAvx2: {
        const QuantizedView v = index_->quantized_view(id);
        d = 1.0f - avx2_cosine_asym_prenorm(q, v.codes, v.min, v.scale, n_, qnorm_);
        break;
      }
      case Mode::SqEuclideanAvx2: {
        const QuantizedView v = index_->quantized_view(id);
        d = avx2_euclidean_sq_asym(q, v.codes, v.min, v.scale, n_);
        break;
      }
      case Mode::SqDotAvx2: {
        const QuantizedView v = index_->quantized_view(id);
        d = -avx2_dot_product_asym(q, v.codes, v.min, v.scale, n_);
        break;
      }
      case Mode::SqPortable:
        return distance_asym_prenorm(metric_, query_.first(n_), index_->quantized_view(id), qnorm_);
      case Mode::RawCosineAvx2:
        d = 1.0f - avx2_cosine_f32(q, raw_ + static_cast<std::size_t>(id) * dim_, n_);
        break;
      case Mode::RawEuclideanAvx2:
        d = avx2_euclidean_sq_f32(q, raw_ + static_cast<std::size_t>(id) * dim_, n_);
        break;
      case Mode::RawDotAvx2:
        d = -avx2_dot_product_f32(q, raw_ + static_cast<std::size_t>(id) * dim_, n_);
        break;
      case Mode::RawPortable:
        return distance_exact(metric_, query_.first(n_), index_->raw_vector(id));
    }
    // A single-precision sum overflowed (the portable modes check inside).
    if (checked_ && !std::isfinite(d)) [[unlikely]] return wide(id);
    return d;
  }

  // The distance accumulated in double (distance_exact_f64 or
  // distance_asym_f64 of the stored vector): for nodes or queries whose
  // single-precision sums overflow.
  // Out of line and cold, so the callers' hot loops stay as small as before.
  [[gnu::cold, gnu::noinline]] float wide(std::uint32_t id) const {
    if (raw_ != nullptr) {
      return distance_exact_f64(metric_, query_.first(n_), {raw_ + static_cast<std::size_t>(id) * dim_, n_});
    }
    return distance_asym_f64(metric_, query_.first(n_), index_->quantized_view(id));
  }

  // Brings the data the next call for `id` reads towards the cache: the
  // first 64 bytes of the raw vector and the next 64 when
  // dimension >= 17; or the first 64 bytes of the codes, the next 64 when
  // dimension >= 65, and the node's minimum.
  void prefetch(std::uint32_t id) const {
    switch (mode_) {
      case Mode::RawCosineAvx2:
      case Mode::RawEuclideanAvx2:
      case Mode::RawDotAvx2:
      case Mode::RawPortable: {
        const char* p = reinterpret_cast<const char*>(raw_ + static_cast<std::size_t>(id) * dim_);
        __builtin_prefetch(p);
        if (dim_ >= 17) __builtin_prefetch(p + 64);
        return;
      }
      default: {
        const std::uint8_t* p = index_->codes_of(id);
        __builtin_prefetch(p);
        if (dim_ >= 65) __builtin_prefetch(p + 64);
        __builtin_prefetch(index_->min_of(id));
        return;
      }
    }
  }

 private:
  enum class Mode : std::uint8_t {
    SqCosineAvx2,
    SqEuclideanAvx2,
    SqDotAvx2,
    SqPortable,
    RawCosineAvx2,
    RawEuclideanAvx2,
    RawDotAvx2,
    RawPortable,
  };

  const HnswIndex* index_;
  std::span<const float> query_;
  float qnorm_;
  std::size_t dim_;
  std::size_t n_;
  DistanceMetric metric_;
  bool checked_;
  Mode mode_ = Mode::SqPortable;
  const float* raw_ = nullptr;
};

// distance_exact(metric, a[0..n), b[0..n)) with the kernel chosen once.
class ExactDistance {
 public:
  ExactDistance(DistanceMetric metric, std::size_t n)
      : metric_(metric), n_(n), avx2_(active_kernel_path() == KernelPath::Avx2) {}

  float operator()(const float* a, const float* b) const {
    if (!avx2_) return distance_exact(metric_, {a, n_}, {b, n_});
    float d = 1.0f;
    switch (metric_) {
      case DistanceMetric::Cosine: d = 1.0f - avx2_cosine_f32(a, b, n_); break;
      case DistanceMetric::Euclidean: d = avx2_euclidean_sq_f32(a, b, n_); break;
      case DistanceMetric::DotProduct: d = -avx2_dot_product_f32(a, b, n_); break;
    }
    if (!std::isfinite(d)) [[unlikely]] return distance_exact_f64(metric_, {a, n_}, {b, n_});
    return d;
  }

 private:
  DistanceMetric metric_;
  std::size_t n_;
  bool avx2_;
};

}  // namespace karvalith
