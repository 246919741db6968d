// Distances that guide graph walks. For 8-bit codes a node's distance needs
// only one stream over its codes: with v = min + scale * c,
//   q . v = min * sum(q) + scale * (q . c),
// and |v|^2 is kept per node (HnswIndex::norm_sq_of). So the walk reads each
// code once and never dequantizes. The result differs from the exact
// distance (QueryScorer) only in rounding; walks use it to decide where to
// go, and every result a search returns is re-scored exactly. With raw
// vectors or a product-quantization table it is QueryScorer itself.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/hnsw/distance.h"
#include "core/hnsw/graph.h"
#include "core/hnsw/query_scorer.h"
#include "core/quantization/simd.h"

namespace karvalith {

class WalkScorer {
 public:
  WalkScorer(const HnswIndex& index, std::span<const float> query, float qnorm, const float* table)
      : exact_(index, query, qnorm, table),
        index_(&index),
        query_(query.data()),
        n_(std::min<std::size_t>(query.size(), index.dimension())),
        qnorm_(qnorm),
        metric_(index.config().distance_metric),
        fast_(table == nullptr && !index.has_raw_vectors()),
        dot_(active_kernel_path() == KernelPath::Avx2 ? avx2_dot_f32_u8 : portable_dot_f32_u8) {
    if (fast_) {
      double sum = 0.0;
      for (std::size_t i = 0; i < n_; ++i) sum += query_[i];
      query_sum_ = static_cast<float>(sum);
      query_norm_ = std::sqrt(static_cast<double>(qnorm));
    }
    // Everything a score reads: the codes and the four values after them.
    prefetch_lines_ = (index.dimension() + 4 * sizeof(float) + 63) / 64 + 1;
  }

  float operator()(std::uint32_t id) const {
    if (!fast_) return exact_(id);
    const QuantizedView v = index_->quantized_view(id);
    const float dot = v.min * query_sum_ + v.scale * dot_(query_, v.codes, n_);
    switch (metric_) {
      case DistanceMetric::Cosine: {
        // The same degenerate cases as the exact kernels: a zero query or a
        // flat stored vector is at distance 1 from everything.
        if (qnorm_ < NORM_EPSILON || v.scale == 0.0f) return 1.0f;
        const double den = query_norm_ * std::sqrt(static_cast<double>(index_->norm_sq_of(id)));
        if (den < NORM_EPSILON_F64) return 1.0f;
        return 1.0f - static_cast<float>(static_cast<double>(dot) / den);
      }
      case DistanceMetric::Euclidean:
        return qnorm_ - 2.0f * dot + index_->norm_sq_of(id);
      case DistanceMetric::DotProduct:
        return -dot;
    }
    return 1.0f;
  }

  // Requests node `id`'s codes and values (every line of them: a
  // 384-dimension row is six lines) into the second-level cache. A walk asks
  // for all unvisited neighbours of a node at once; aimed at the first level
  // that many requests would overflow its few miss buffers and stall.
  void prefetch_to_l2(std::uint32_t id) const {
    if (!fast_) {
      exact_.prefetch(id);
      return;
    }
    const char* p = reinterpret_cast<const char*>(index_->block(id));
    for (std::size_t line = 0; line < prefetch_lines_; ++line) __builtin_prefetch(p + 64 * line, 0, 2);
  }

  // Brings node `id`'s codes and values into the first-level cache: for the
  // node scored next.
  void prefetch(std::uint32_t id) const {
    if (!fast_) {
      exact_.prefetch(id);
      return;
    }
    const char* p = reinterpret_cast<const char*>(index_->block(id));
    for (std::size_t line = 0; line < prefetch_lines_; ++line) __builtin_prefetch(p + 64 * line);
  }

 private:
  QueryScorer exact_;
  const HnswIndex* index_;
  const float* query_;
  std::size_t n_;
  float qnorm_;
  DistanceMetric metric_;
  bool fast_;
  float (*dot_)(const float*, const std::uint8_t*, std::size_t);
  float query_sum_ = 0.0f;
  double query_norm_ = 0.0;
  std::size_t prefetch_lines_ = 1;
};

}  // namespace karvalith
