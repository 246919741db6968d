// Estimated distances from a query to nodes through their one- or two-bit
// codes (binary_view.h), for steering a walk whose results are re-scored. Same
// interface as WalkScorer: one node, or a list of them eight at a time with
// the next group's rows requested meanwhile.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/hnsw/binary_view.h"
#include "core/hnsw/config.h"
#include "core/quantization/binary_code.h"
#include "core/quantization/scalar.h"
#include "core/quantization/simd.h"

namespace karvalith {

class BinaryScorer {
 public:
  // `offset` holds the query's dimension in floats and `planes`
  // query_plane_words(dimension) words (scratch the caller owns); `qnorm` is
  // the query's squared norm. With VPOPCNTDQ the sums come from the popcount
  // kernel over the query's planes, otherwise from masked additions.
  BinaryScorer(const BinaryView& rows, DistanceMetric metric, std::span<const float> query, float qnorm,
               float* offset, std::uint64_t* planes)
      : rows_(rows),
        query_(prepare_binary_query(query, rows.centre, offset)),
        metric_(metric),
        qnorm_(qnorm),
        query_norm_(std::sqrt(qnorm)),
        sum8_(set_sum8_kernel()),
        popcount_(cpu_has_avx512_popcnt()),
        planes_(planes),
        lines_((rows.stride + 63) / 64) {
    if (popcount_) plane_query_ = avx512_quantize_query_planes(offset, query_.dimension, planes);
  }

  static std::size_t query_plane_words(std::size_t dimension) { return QUERY_BITS * chunks_for(dimension) * 8; }

  float operator()(std::uint32_t id) const {
    const std::uint8_t* bits = rows_.bits(id);
    if (popcount_) {
      std::uint32_t weighted, counts;
      avx512_plane_dot1(planes_, query_.dimension, bits, rows_.plane_bytes(), rows_.planes, &weighted, &counts);
      return finish(id, from_popcounts(weighted, counts));
    }
    float sum = portable_set_sum(query_.offset, bits, query_.dimension);
    if (rows_.planes == 2) sum += 2.0f * portable_set_sum(query_.offset, bits + rows_.plane_bytes(), query_.dimension);
    return finish(id, sum);
  }

  void score(std::span<const std::uint32_t> ids, float* out) const {
    const std::uint8_t* group[8];
    float sums[8];
    for (std::size_t i = 0; i < ids.size(); i += 8) {
      const std::size_t count = std::min<std::size_t>(8, ids.size() - i);
      for (std::size_t j = 0; j < 8; ++j) group[j] = rows_.bits(ids[i + std::min(j, count - 1)]);
      for (std::size_t j = i + count; j < ids.size() && j < i + count + 8; ++j) prefetch(ids[j]);
      if (popcount_) {
        std::uint32_t weighted[8], counts[8];
        avx512_plane_dot8(planes_, query_.dimension, group, rows_.plane_bytes(), rows_.planes, weighted, counts);
        for (std::size_t j = 0; j < count; ++j) {
          out[i + j] = finish(ids[i + j], from_popcounts(weighted[j], counts[j]));
        }
        continue;
      }
      sum8_(query_.offset, group, query_.dimension, sums);
      if (rows_.planes == 2) {
        float high[8];
        for (std::size_t j = 0; j < 8; ++j) group[j] += rows_.plane_bytes();
        sum8_(query_.offset, group, query_.dimension, high);
        for (std::size_t j = 0; j < 8; ++j) sums[j] += 2.0f * high[j];
      }
      for (std::size_t j = 0; j < count; ++j) out[i + j] = finish(ids[i + j], sums[j]);
    }
  }

  void prefetch(std::uint32_t id) const {
    const char* p = reinterpret_cast<const char*>(rows_.bits(id));
    for (std::size_t line = 0; line < lines_; ++line) __builtin_prefetch(p + 64 * line);
  }

 private:
  // S from the popcount kernel's sums.
  float from_popcounts(std::uint32_t weighted, std::uint32_t counts) const {
    return plane_query_.low * static_cast<float>(counts) + plane_query_.step * static_cast<float>(weighted);
  }

  float finish(std::uint32_t id, float set_sum) const {
    const BinaryCodeTerms t = rows_.terms(id);
    const float dot = query_.dot(set_sum, t);
    switch (metric_) {
      case DistanceMetric::Cosine: {
        const float den = query_norm_ * std::sqrt(t.norm_sq);
        return den < NORM_EPSILON ? 1.0f : 1.0f - dot / den;
      }
      case DistanceMetric::Euclidean:
        return qnorm_ - 2.0f * dot + t.norm_sq;
      case DistanceMetric::DotProduct:
        return -dot;
    }
    return 1.0f;
  }

  BinaryView rows_;
  BinaryQuery query_;
  DistanceMetric metric_;
  float qnorm_;
  float query_norm_;
  SetSum8 sum8_;
  bool popcount_;
  std::uint64_t* planes_;
  PlaneQuery plane_query_;
  std::size_t lines_;
};

}  // namespace karvalith
