// Distances that guide graph walks. For 8-bit codes a node's distance needs
// only one stream over its codes: with v = min + scale * c,
//   q . v = min * sum(q) + scale * (q . c),
// and |v|^2 is kept per node (HnswIndex::norm_sq_of). So the walk reads each
// code once and never dequantizes. The result differs from the exact
// distance (QueryScorer) only in rounding; walks use it to decide where to
// go, and every result a search returns is re-scored exactly. With raw
// vectors it is QueryScorer itself.
#pragma once

#include <algorithm>
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
  // As QueryScorer: `qnorm` is squared_norm(query).
  WalkScorer(const HnswIndex& index, std::span<const float> query, float qnorm)
      : exact_(index, query, qnorm),
        index_(&index),
        query_(query.data()),
        n_(std::min<std::size_t>(query.size(), index.dimension())),
        qnorm_(qnorm),
        metric_(index.config().distance_metric),
        fast_(!index.has_raw_vectors()),
        grouped_(fast_ && active_kernel_path() == KernelPath::Avx2),
        dot_(active_kernel_path() == KernelPath::Avx2 ? avx2_dot_f32_u8 : portable_dot_f32_u8) {
    // AVX-512 halves the instructions per row: 15-20% more queries/s at d 384.
    const bool wide = cpu_has_avx512();
    dot8_ = wide ? avx512_dot8_f32_u8 : avx2_dot8_f32_u8;
    dot4_ = wide ? avx512_dot4_f32_u8 : avx2_dot4_f32_u8;
    if (fast_) {
      double sum = 0.0;
      for (std::size_t i = 0; i < n_; ++i) sum += query_[i];
      query_sum_ = static_cast<float>(sum);
      query_norm_ = std::sqrt(static_cast<double>(qnorm));
    }
    // Everything a score reads: the codes and the four values after them.
    prefetch_lines_ = (index.dimension() + 4 * sizeof(float) + 63) / 64 + 1;
    // Single-precision sums overflow only with a component beyond
    // SAFE_MAGNITUDE, in a node or in the query (qnorm is NaN or above
    // SAFE_MAGNITUDE^2 then): only such walks check their values.
    checked_ = fast_ && (index.has_huge_nodes() || !(qnorm <= SAFE_MAGNITUDE * SAFE_MAGNITUDE));
  }

  float operator()(std::uint32_t id) const {
    if (!fast_) return exact_(id);
    return checked_finish(id, dot_(query_, index_->codes_of(id), n_));
  }

  // Distances of ids.size() nodes into out[0..size). With AVX2 in groups of
  // eight (four for a short tail; a short group repeats its last id) whose
  // code rows are read side by side, the next group's rows requested
  // meanwhile: a walk is bound by memory latency, and this keeps many rows
  // in flight instead of one (measured 1.4-1.6x queries/s on 117k x 384).
  // Otherwise one node after the other, the next one's rows prefetched.
  void score(std::span<const std::uint32_t> ids, float* out) const {
    std::size_t i = 0;
    if (grouped_) {
      const std::uint8_t* rows[8];
      float dots[8];
      while (i < ids.size()) {
        const std::size_t group = ids.size() - i > 4 ? 8 : 4;
        const std::size_t count = std::min(group, ids.size() - i);
        for (std::size_t j = 0; j < group; ++j) rows[j] = index_->codes_of(ids[i + std::min(j, count - 1)]);
        // The next group's rows are requested while this one is scored.
        for (std::size_t j = i + count; j < ids.size() && j < i + count + 8; ++j) prefetch(ids[j]);
        (group == 8 ? dot8_ : dot4_)(query_, rows, n_, dots);
        for (std::size_t j = 0; j < count; ++j) out[i + j] = finish(ids[i + j], dots[j]);
        if (checked_) [[unlikely]] {
          for (std::size_t j = i; j < i + count; ++j) {
            if (overflowed(ids[j], out[j])) out[j] = exact_.wide(ids[j]);
          }
        }
        i += count;
      }
      return;
    }
    for (; i < ids.size(); ++i) {
      if (i + 1 < ids.size()) prefetch(ids[i + 1]);
      out[i] = (*this)(ids[i]);
    }
  }

  // Brings node `id`'s codes and values (every line of them) into the
  // first-level cache.
  void prefetch(std::uint32_t id) const {
    if (!fast_) {
      exact_.prefetch(id);
      return;
    }
    const char* p = reinterpret_cast<const char*>(index_->codes_of(id));
    for (std::size_t line = 0; line < prefetch_lines_; ++line) __builtin_prefetch(p + 64 * line);
  }

 private:
  // The distance from q . c, the dot product of the query with node id's codes.
  float finish(std::uint32_t id, float qc) const {
    const QuantizedView v = index_->quantized_view(id);
    const float dot = v.min * query_sum_ + v.scale * qc;
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

  // Whether finish's value `d` for node id may have overflowed: it is not
  // finite, or (cosine) a norm beyond the float range made the denominator
  // infinite. Asked only of checked walks.
  bool overflowed(std::uint32_t id, float d) const {
    if (!std::isfinite(d)) return true;
    return metric_ == DistanceMetric::Cosine && !(std::isfinite(index_->norm_sq_of(id)) && std::isfinite(query_norm_));
  }

  // finish, with node id rescored in double when the walk is checked and
  // the value overflowed.
  float checked_finish(std::uint32_t id, float qc) const {
    const float d = finish(id, qc);
    if (checked_ && overflowed(id, d)) [[unlikely]] return exact_.wide(id);
    return d;
  }

  QueryScorer exact_;
  const HnswIndex* index_;
  const float* query_;
  std::size_t n_;
  float qnorm_;
  DistanceMetric metric_;
  bool fast_;
  bool grouped_;
  bool checked_ = false;
  float (*dot_)(const float*, const std::uint8_t*, std::size_t);
  using GroupKernel = void (*)(const float*, const std::uint8_t* const*, std::size_t, float*);
  GroupKernel dot8_ = nullptr;
  GroupKernel dot4_ = nullptr;
  float query_sum_ = 0.0f;
  double query_norm_ = 0.0;
  std::size_t prefetch_lines_ = 1;
};

}  // namespace karvalith
