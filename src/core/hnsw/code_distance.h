// Distances between two stored nodes from their 8-bit codes alone. With
// v = m + s * c per vector, C = sum(c) and T = sum(v) = d * m + s * C,
//   a . b = m_a * T_b + s_a * (m_b * C_a + s_b * (c_a . c_b)),
// where c_a . c_b is an exact integer dot product. Neighbour selection
// compares stored nodes with each other thousands of times per insert; this
// needs no dequantized copy, and with each node's terms (Terms) taken once,
// one integer stream and a few multiplications per pair. Evaluated in double
// precision, the result matches the exact distance of the two dequantized
// vectors to within float rounding.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/hnsw/distance.h"
#include "core/hnsw/graph.h"
#include "core/quantization/scalar.h"
#include "core/quantization/simd.h"

namespace karvalith {

// Sums of rows[j][i] * query[i] for eight code rows at once, exact, the
// query's codes less 128 (simd.h's dot8_u8_i8 kernels): c . q is
// out[j] + 128 * sum(rows[j]). The fastest form the processor has.
using GroupedCodeDot = void (*)(const std::int8_t*, const std::uint8_t* const*, std::size_t, std::int64_t*);
inline GroupedCodeDot grouped_code_dot() {
  if (active_kernel_path() != KernelPath::Avx2) return portable_dot8_u8_i8;
  if (cpu_has_avx512_vnni()) return avx512vnni_dot8_u8_i8;
  return cpu_has_avx512() ? avx512_dot8_u8_i8 : avx2_dot8_u8_i8;
}

class CodeDistance {
 public:
  // What a node contributes to every distance it takes part in.
  struct Terms {
    const std::uint8_t* codes;
    double min, scale, code_sum, sum, norm_sq, inverse_norm;
  };

  explicit CodeDistance(const HnswIndex& index)
      : index_(&index),
        dim_(static_cast<std::size_t>(index.dimension())),
        metric_(index.config().distance_metric),
        dot_(active_kernel_path() != KernelPath::Avx2 ? portable_dot_u8_u8
             : cpu_has_avx512_vnni()                 ? avx512vnni_dot_u8_u8
             : cpu_has_avx_vnni()                    ? vnni_dot_u8_u8
                                                     : avx2_dot_u8_u8),
        group_(grouped_code_dot()),
        huge_(index.has_huge_nodes()) {}

  Terms terms(std::uint32_t n) const {
    const QuantizedView v = index_->quantized_view(n);
    Terms t = terms_of(v, static_cast<double>(index_->code_sum_of(n)), index_->norm_sq_of(n));
    if (huge_) [[unlikely]] widen(t);
    return t;
  }

  // The terms of a vector quantized as the nodes are (a query), from its
  // codes' sum and its squared norm.
  Terms terms_of(QuantizedView v, double code_sum, double norm_sq) const {
    Terms t{v.codes, v.min, v.scale, code_sum, 0.0, norm_sq, 0.0};
    t.sum = static_cast<double>(dim_) * t.min + t.scale * t.code_sum;
    const double norm = std::sqrt(t.norm_sq);
    t.inverse_norm = norm < NORM_EPSILON_F64 ? 0.0 : 1.0 / norm;
    return t;
  }

  float operator()(const Terms& a, const Terms& b) const {
    return from_codes_dot(a, b, static_cast<double>(dot_(a.codes, b.codes, dim_)));
  }

  // a's codes less 128 into `centred`, for distances_to.
  void centre(const Terms& a, std::vector<std::int8_t>& centred) const {
    centred.resize(dim_);
    std::int8_t* out = centred.data();  // a byte store may alias the vector's own fields
    for (std::size_t i = 0; i < dim_; ++i) out[i] = static_cast<std::int8_t>(a.codes[i] ^ 0x80u);
  }

  // The distances from a to b[0..count) (count at most 8) into out, the
  // same as operator() gives, with one call of the grouped kernel: the rows
  // are read side by side and a's codes once. `centred` comes from centre(a).
  void distances_to(const Terms& a, const std::int8_t* centred, const Terms* b, std::size_t count,
                    float* out) const {
    const std::uint8_t* rows[8];
    std::int64_t dots[8];
    for (std::size_t j = 0; j < 8; ++j) rows[j] = b[j < count ? j : count - 1].codes;  // a short group repeats
    group_(centred, rows, dim_, dots);
    for (std::size_t j = 0; j < count; ++j) {
      out[j] = from_codes_dot(a, b[j], static_cast<double>(dots[j]) + 128.0 * b[j].code_sum);
    }
  }

  // The same given c_a . c_b.
  float from_codes_dot(const Terms& a, const Terms& b, double codes) const {
    const double dot = a.min * b.sum + a.scale * (b.min * a.code_sum + b.scale * codes);
    switch (metric_) {
      case DistanceMetric::Cosine:
        // A vector of (nearly) zero norm is at distance 1 from everything.
        if (a.inverse_norm == 0.0 || b.inverse_norm == 0.0) return 1.0f;
        return static_cast<float>(1.0 - dot * a.inverse_norm * b.inverse_norm);
      case DistanceMetric::Euclidean: {
        const auto d = static_cast<float>(a.norm_sq + b.norm_sq - 2.0 * dot);
        // The rounding of norms beyond the float range can exceed it although
        // the distance does not (two equal vectors): summed term by term then.
        if (huge_ && std::isinf(d)) [[unlikely]] return euclidean_f64(a, b);
        return d;
      }
      case DistanceMetric::DotProduct:
        return static_cast<float>(-dot);
    }
    return 1.0f;
  }

  float operator()(std::uint32_t a, std::uint32_t b) const { return (*this)(terms(a), terms(b)); }

 private:
  // A norm beyond the float range is stored as +inf: taken in double here.
  // Out of line and cold, like euclidean_f64: the loops over pairs stay small.
  [[gnu::cold, gnu::noinline]] void widen(Terms& t) const {
    if (std::isfinite(t.norm_sq)) return;
    double sum = 0.0;
    for (std::size_t i = 0; i < dim_; ++i) {
      const double v = t.min + t.scale * t.codes[i];
      sum += v * v;
    }
    t.norm_sq = sum;
    t.inverse_norm = 1.0 / std::sqrt(sum);
  }

  [[gnu::cold, gnu::noinline]] float euclidean_f64(const Terms& a, const Terms& b) const {
    double sum = 0.0;
    for (std::size_t i = 0; i < dim_; ++i) {
      const double d = (a.min + a.scale * a.codes[i]) - (b.min + b.scale * b.codes[i]);
      sum += d * d;
    }
    return static_cast<float>(sum);
  }

  const HnswIndex* index_;
  std::size_t dim_;
  DistanceMetric metric_;
  std::uint64_t (*dot_)(const std::uint8_t*, const std::uint8_t*, std::size_t);
  GroupedCodeDot group_;
  bool huge_;  // only then can a norm or a distance be beyond the float range
};

}  // namespace karvalith
