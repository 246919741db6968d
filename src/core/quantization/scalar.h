// Scalar quantization: one byte per component plus a per-vector minimum and
// step, and the portable asymmetric distance functions that compare a
// full-precision query with a quantized vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace karvalith {

inline constexpr float QUANT_EPSILON = 1.1920929e-7f;  // 2^-23: below this range a vector is flat
inline constexpr std::uint8_t FLAT_CODE = 128;
inline constexpr float NORM_EPSILON = 1e-10f;
inline constexpr double NORM_EPSILON_F64 = 1e-10;
inline constexpr float LARGEST_F32 = 3.4028235e38f;

// Non-owning view of one stored vector: component i is min + scale * codes[i].
// `codes` must hold at least as many bytes as the query it is compared with.
struct QuantizedView {
  const std::uint8_t* codes;
  float min;
  float scale;
};

struct QuantizedVector {
  std::vector<std::uint8_t> codes;
  float min = 0.0f;
  float scale = 0.0f;

  // Total: empty, flat and NaN-containing vectors get the documented codes.
  // A finite vector whose range exceeds the float range is quantized in
  // double with the scale rounded down, so that every dequantized component
  // (in double, or with a fused multiply-add) lies within [min, max].
  static QuantizedVector quantize(std::span<const float> v);
  // The same into `out`, whose codes keep their capacity: no allocation
  // once they have grown.
  static void quantize_into(std::span<const float> v, QuantizedVector& out);

  QuantizedView view() const { return QuantizedView{codes.data(), min, scale}; }
};

// Portable loops (blocks of eight in single precision, double totals).
// Each compares query[0..query.size()) with the first query.size() codes.
// Like every single-precision kernel they return a non-finite value when a
// sum overflows (the cosine one NaN); callers then take the _f64 forms.
float dot_product_asym(std::span<const float> query, QuantizedView q);
float euclidean_distance_sq_asym(std::span<const float> query, QuantizedView q);
// Returns the cosine *similarity*; query_norm_sq = sum of query[i]^2.
float cosine_similarity_asym_prenorm(std::span<const float> query, QuantizedView q,
                                     float query_norm_sq);

// Component i in double: the exact product code * scale plus min, rounded
// once. Finite for every quantized finite vector.
inline double dequantized_f64(QuantizedView q, std::size_t i) {
  return static_cast<double>(q.codes[i]) * static_cast<double>(q.scale) + static_cast<double>(q.min);
}
// True when min and scale are finite but code 255 dequantized in single
// precision (multiply, then add) overflows: the vector's range exceeds the
// float range, and its components must be computed in double.
bool dequantizes_wide(QuantizedView q);

// The distances accumulated in double from the same inputs and rounded to
// float once: +-inf where the true value is beyond the float range, never
// NaN for finite inputs. Cosine keeps the degenerate cases of the kernels
// (a query of squared norm below NORM_EPSILON, a flat stored vector, a zero
// denominator give similarity 0) and takes the query's norm itself.
float dot_product_asym_f64(std::span<const float> query, QuantizedView q);
float euclidean_distance_sq_asym_f64(std::span<const float> query, QuantizedView q);
float cosine_similarity_asym_f64(std::span<const float> query, QuantizedView q);
float dot_f64(const float* a, const float* b, std::size_t n);
float euclidean_sq_f64(const float* a, const float* b, std::size_t n);
float cosine_similarity_f64(const float* a, const float* b, std::size_t n);

// Portable exact loops: one f32 accumulator, terms added in index order.
float portable_dot_f32(const float* a, const float* b, std::size_t n);
float portable_euclidean_sq_f32(const float* a, const float* b, std::size_t n);

// Dequantizes n components into out: out[i] = codes[i] * scale + min (single
// precision), or dequantized_f64 rounded to float for a wide vector.
void dequantize(QuantizedView q, std::size_t n, float* out);

// Portable twins of the AVX2 code streams (simd.h): sum of query[i] *
// codes[i] in single precision, and the exact sum of a[i] * b[i].
float portable_dot_f32_u8(const float* query, const std::uint8_t* codes, std::size_t n);
std::uint64_t portable_dot_u8_u8(const std::uint8_t* a, const std::uint8_t* b, std::size_t n);
// Twin of avx2_dot8_u8_i8: the exact sums of rows[j][i] * query[i] for
// eight rows, the query's codes less 128.
void portable_dot8_u8_i8(const std::int8_t* query, const std::uint8_t* const* rows, std::size_t n,
                         std::int64_t* out);

}  // namespace karvalith
