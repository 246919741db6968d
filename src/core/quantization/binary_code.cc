#include "core/quantization/binary_code.h"

#include <cmath>
#include <cstring>

#include "core/quantization/simd.h"

namespace karvalith {

BinaryCodeTerms encode_binary(std::span<const float> v, std::span<const float> centre, unsigned planes,
                              std::uint8_t* bits) {
  const std::size_t n = v.size();
  const std::size_t plane_bytes = binary_code_bytes(n);
  std::memset(bits, 0, planes * plane_bytes);
  double norm_sq = 0.0, abs_sum = 0.0, r_dot_c = 0.0, v_norm_sq = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double c = centre[i];
    const double r = static_cast<double>(v[i]) - c;
    norm_sq += r * r;
    abs_sum += std::fabs(r);
    r_dot_c += r * c;
    v_norm_sq += static_cast<double>(v[i]) * v[i];
  }
  BinaryCodeTerms t;
  t.r_dot_c = static_cast<float>(r_dot_c);
  t.norm_sq = static_cast<float>(v_norm_sq);
  if (!(abs_sum > 0.0)) return t;
  if (planes == 1) {
    for (std::size_t i = 0; i < n; ++i) {
      if (static_cast<double>(v[i]) - centre[i] > 0.0) bits[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    }
    const double k = norm_sq / abs_sum;
    t.a = static_cast<float>(-k);
    t.b = static_cast<float>(2.0 * k);
    return t;
  }
  // Two bits: the grid -1.5 s, -0.5 s, 0.5 s, 1.5 s.
  const double step = std::sqrt(norm_sq / static_cast<double>(n));
  const double low = -1.5 * step;
  double coded_dot = 0.0;  // r^ . r
  for (std::size_t i = 0; i < n; ++i) {
    const double r = static_cast<double>(v[i]) - centre[i];
    const double level = std::nearbyint((r - low) / step);
    const unsigned u = level <= 0.0 ? 0u : level >= 3.0 ? 3u : static_cast<unsigned>(level);
    if ((u & 1) != 0) bits[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    if ((u & 2) != 0) bits[plane_bytes + i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    coded_dot += (low + step * u) * r;
  }
  const double scale = coded_dot > 0.0 ? norm_sq / coded_dot : 0.0;
  t.a = static_cast<float>(low * scale);
  t.b = static_cast<float>(step * scale);
  return t;
}

BinaryQuery prepare_binary_query(std::span<const float> query, std::span<const float> centre, float* offset) {
  double sum = 0.0, centre_dot = 0.0;
  for (std::size_t i = 0; i < query.size(); ++i) {
    offset[i] = query[i] - centre[i];
    sum += offset[i];
    centre_dot += static_cast<double>(centre[i]) * query[i];
  }
  return BinaryQuery{offset, query.size(), static_cast<float>(sum), static_cast<float>(centre_dot)};
}

float portable_set_sum(const float* values, const std::uint8_t* bits, std::size_t n) {
  // Eight partial sums, one per bit position of a byte, as the vector
  // kernels keep lanes apart.
  float lanes[8] = {};
  for (std::size_t i = 0; i < n; ++i) {
    if ((bits[i / 8] >> (i % 8) & 1) != 0) lanes[i % 8] += values[i];
  }
  float total = 0.0f;
  for (const float lane : lanes) total += lane;
  return total;
}

void portable_set_sum8(const float* values, const std::uint8_t* const* rows, std::size_t n, float* out) {
  for (int j = 0; j < 8; ++j) out[j] = portable_set_sum(values, rows[j], n);
}

PlaneQuery quantize_query_planes(const float* offset, std::size_t n, std::uint64_t* planes) {
  const std::size_t words = chunks_for(n) * 8;
  std::memset(planes, 0, QUERY_BITS * words * sizeof(std::uint64_t));
  if (n == 0) return {};
  float low = offset[0], high = offset[0];
  for (std::size_t i = 1; i < n; ++i) {
    low = std::fmin(low, offset[i]);
    high = std::fmax(high, offset[i]);
  }
  constexpr float TOP = (1u << QUERY_BITS) - 1;
  const float step = (high - low) / TOP;
  if (!(step > 0.0f) || !std::isfinite(step)) {
    // A flat (or non-finite) offset: every component is `low`, all levels 0.
    return PlaneQuery{std::isfinite(low) ? low : 0.0f, 0.0f};
  }
  for (std::size_t i = 0; i < n; ++i) {
    const float level = std::nearbyint((offset[i] - low) / step);
    const unsigned u = level <= 0.0f ? 0u : level >= TOP ? static_cast<unsigned>(TOP) : static_cast<unsigned>(level);
    for (unsigned j = 0; j < QUERY_BITS; ++j) {
      if ((u >> j & 1) != 0) planes[j * words + i / 64] |= std::uint64_t{1} << (i % 64);
    }
  }
  return PlaneQuery{low, step};
}

void portable_plane_dot8(const std::uint64_t* planes, std::size_t n, const std::uint8_t* const* rows,
                         std::size_t plane_bytes, unsigned code_planes, std::uint32_t* weighted,
                         std::uint32_t* counts) {
  const std::size_t words = chunks_for(n) * 8;
  for (int r = 0; r < 8; ++r) {
    std::uint32_t w = 0, c = 0;
    for (unsigned p = 0; p < code_planes; ++p) {
      const std::uint8_t* bits = rows[r] + p * plane_bytes;
      for (std::size_t i = 0; i < n; ++i) {
        if ((bits[i / 8] >> (i % 8) & 1) == 0) continue;
        c += 1u << p;
        for (unsigned j = 0; j < QUERY_BITS; ++j) {
          if ((planes[j * words + i / 64] >> (i % 64) & 1) != 0) w += 1u << (p + j);
        }
      }
    }
    weighted[r] = w;
    counts[r] = c;
  }
}

SetSum8 set_sum8_kernel() {
  static const SetSum8 chosen = cpu_has_avx512()     ? avx512_set_sum8
                                : cpu_has_avx2_fma() ? avx2_set_sum8
                                                     : portable_set_sum8;
  return chosen;
}

}  // namespace karvalith
