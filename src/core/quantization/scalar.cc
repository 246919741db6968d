#include "core/quantization/scalar.h"

#include <cmath>
#include <limits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace karvalith {

namespace {

constexpr std::size_t BLOCK = 8;
constexpr float LEVELS = 255.0f;
constexpr double LARGEST_F64 = std::numeric_limits<double>::max();
constexpr float NAN_F32 = std::numeric_limits<float>::quiet_NaN();

// Code of one component: rounded half away from zero, clamped to [0, 255].
// The clamp happens in float so that NaN or huge products never reach an
// integer conversion; NaN gets code 0.
// roundf of the step, clamped to 0..255, without the library call (baseline
// x86-64 has no rounding instruction) or branches, so the loop over a vector
// vectorizes: below 255.5 truncation plus a comparison of the exact fraction
// rounds halves away from zero as roundf does.
std::uint8_t code_of(float x, float min, float inv) {
  float y = (x - min) * inv;
  y = y >= 0.0f ? y : 0.0f;  // negatives and NaN
  y = y < LEVELS + 0.5f ? y : LEVELS;
  const int whole = static_cast<int>(y);
  return static_cast<std::uint8_t>(whole + (y - static_cast<float>(whole) >= 0.5f ? 1 : 0));
}

// The smallest and largest non-NaN components (LARGEST_F32 and
// -LARGEST_F32 when there are none). Four lanes of minps/maxps, which keep
// the accumulator when the component is NaN as the comparisons do; a zero
// extreme is then taken from the first zero, so that its sign is the one a
// loop in order finds.
std::pair<float, float> range_of(std::span<const float> v) {
  float min = LARGEST_F32;
  float max = -LARGEST_F32;
  std::size_t i = 0;
#if defined(__SSE2__)
  if (v.size() >= 4) {
    __m128 low = _mm_set1_ps(LARGEST_F32);
    __m128 high = _mm_set1_ps(-LARGEST_F32);
    for (; i + 4 <= v.size(); i += 4) {
      const __m128 x = _mm_loadu_ps(v.data() + i);
      low = _mm_min_ps(x, low);
      high = _mm_max_ps(x, high);
    }
    alignas(16) float lows[4];
    alignas(16) float highs[4];
    _mm_store_ps(lows, low);
    _mm_store_ps(highs, high);
    for (int lane = 0; lane < 4; ++lane) {
      if (lows[lane] < min) min = lows[lane];
      if (highs[lane] > max) max = highs[lane];
    }
  }
#endif
  for (; i < v.size(); ++i) {
    if (v[i] < min) min = v[i];
    if (v[i] > max) max = v[i];
  }
  if (min == 0.0f || max == 0.0f) {
    for (float x : v) {
      if (x == 0.0f) {
        if (min == 0.0f) min = x;
        if (max == 0.0f) max = x;
        break;
      }
    }
  }
  return {min, max};
}

// code_of for every component into out.
void codes_of(std::span<const float> v, float min, float inv, std::uint8_t* out) {
  std::size_t i = 0;
#if defined(__SSE2__)
  // The same steps four lanes at a time: maxps against zero sends NaN and
  // negatives to 0, the top is clamped as code_of does, and the fraction
  // after truncation rounds halves up. Exactly code_of's codes.
  const __m128 low = _mm_set1_ps(min);
  const __m128 step = _mm_set1_ps(inv);
  const __m128 zero = _mm_setzero_ps();
  const __m128 top = _mm_set1_ps(LEVELS);
  const __m128 limit = _mm_set1_ps(LEVELS + 0.5f);
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128i one = _mm_set1_epi32(1);
  for (; i + 8 <= v.size(); i += 8) {
    __m128i whole[2];
    for (int part = 0; part < 2; ++part) {
      __m128 y = _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(v.data() + i + 4 * part), low), step);
      y = _mm_max_ps(y, zero);
      const __m128 below = _mm_cmplt_ps(y, limit);
      y = _mm_or_ps(_mm_and_ps(below, y), _mm_andnot_ps(below, top));
      const __m128i w = _mm_cvttps_epi32(y);
      const __m128 up = _mm_cmpge_ps(_mm_sub_ps(y, _mm_cvtepi32_ps(w)), half);
      whole[part] = _mm_add_epi32(w, _mm_and_si128(_mm_castps_si128(up), one));
    }
    const __m128i words = _mm_packs_epi32(whole[0], whole[1]);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(words, words));
  }
#endif
  for (; i < v.size(); ++i) out[i] = code_of(v[i], min, inv);
}

// The same in double, for vectors whose range exceeds the float range.
std::uint8_t wide_code_of(float x, double min, double inv) {
  const double y = std::round((static_cast<double>(x) - min) * inv);
  if (!(y >= 0.0)) return 0;
  if (y > 255.0) return 255;
  return static_cast<std::uint8_t>(y);
}

// Codes, min and scale of a finite vector whose range (or top value
// min + 255 * scale) overflows in single precision: range and steps in
// double, and the scale rounded down so that min + 255 * scale stays at or
// below max, a finite float.
void quantize_wide(std::span<const float> v, float min, float max, QuantizedVector& out) {
  const double low = static_cast<double>(min);
  const double range = static_cast<double>(max) - low;
  const double step = range / 255.0;
  float scale = static_cast<float>(step);
  if (static_cast<double>(scale) > step) scale = std::nextafter(scale, 0.0f);
  const double inv = 255.0 / range;
  out.codes.resize(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out.codes[i] = wide_code_of(v[i], low, inv);
  out.scale = scale;
}

}  // namespace

QuantizedVector QuantizedVector::quantize(std::span<const float> v) {
  QuantizedVector out;
  quantize_into(v, out);
  return out;
}

void QuantizedVector::quantize_into(std::span<const float> v, QuantizedVector& out) {
  out.codes.clear();
  out.min = 0.0f;
  out.scale = 0.0f;
  if (v.empty()) return;

  const auto [min, max] = range_of(v);
  float range = max - min;
  out.min = min;
  if (range < QUANT_EPSILON) {
    out.codes.assign(v.size(), FLAT_CODE);
    return;
  }

  const bool finite = std::isfinite(min) && std::isfinite(max);
  if (finite && !(std::isfinite(range) && std::isfinite(LEVELS * (range / LEVELS) + min))) {
    quantize_wide(v, min, max, out);
    return;
  }
  float inv = LEVELS / range;
  out.codes.resize(v.size());
  codes_of(v, min, inv, out.codes.data());
  out.scale = range / LEVELS;
}

bool dequantizes_wide(QuantizedView q) {
  return std::isfinite(q.min) && std::isfinite(q.scale) && !std::isfinite(LEVELS * q.scale + q.min);
}

void dequantize(QuantizedView q, std::size_t n, float* out) {
  if (dequantizes_wide(q)) {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(dequantized_f64(q, i));
    return;
  }
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(q.codes[i]) * q.scale + q.min;
}

float dot_product_asym_f64(std::span<const float> query, QuantizedView q) {
  double dot = 0.0;
  for (std::size_t i = 0; i < query.size(); ++i) dot += static_cast<double>(query[i]) * dequantized_f64(q, i);
  return static_cast<float>(dot);
}

float euclidean_distance_sq_asym_f64(std::span<const float> query, QuantizedView q) {
  double sum = 0.0;
  for (std::size_t i = 0; i < query.size(); ++i) {
    const double d = static_cast<double>(query[i]) - dequantized_f64(q, i);
    sum += d * d;
  }
  return static_cast<float>(sum);
}

float cosine_similarity_asym_f64(std::span<const float> query, QuantizedView q) {
  double nq = 0.0;
  double nv = 0.0;
  double dot = 0.0;
  for (std::size_t i = 0; i < query.size(); ++i) {
    const double x = static_cast<double>(query[i]);
    const double v = dequantized_f64(q, i);
    nq += x * x;
    nv += v * v;
    dot += x * v;
  }
  // The degenerate cases of the single-precision kernels.
  if (nq < NORM_EPSILON_F64 || q.scale == 0.0f) return 0.0f;
  const double den = std::sqrt(nq) * std::sqrt(nv);
  if (den < NORM_EPSILON_F64) return 0.0f;
  return static_cast<float>(dot / den);
}

float dot_f64(const float* a, const float* b, std::size_t n) {
  double dot = 0.0;
  for (std::size_t i = 0; i < n; ++i) dot += static_cast<double>(a[i]) * static_cast<double>(b[i]);
  return static_cast<float>(dot);
}

float euclidean_sq_f64(const float* a, const float* b, std::size_t n) {
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
    sum += d * d;
  }
  return static_cast<float>(sum);
}

float cosine_similarity_f64(const float* a, const float* b, std::size_t n) {
  double na = 0.0;
  double nb = 0.0;
  double dot = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = static_cast<double>(a[i]);
    const double y = static_cast<double>(b[i]);
    na += x * x;
    nb += y * y;
    dot += x * y;
  }
  const double den = std::sqrt(na) * std::sqrt(nb);
  if (den < NORM_EPSILON_F64) return 0.0f;
  return static_cast<float>(dot / den);
}

float portable_dot_f32_u8(const float* query, const std::uint8_t* codes, std::size_t n) {
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) sum += query[i] * static_cast<float>(codes[i]);
  return sum;
}

std::uint64_t portable_dot_u8_u8(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += std::uint64_t{a[i]} * b[i];
  return sum;
}

void portable_dot8_u8_i8(const std::int8_t* query, const std::uint8_t* const* rows, std::size_t n,
                         std::int64_t* out) {
  for (int j = 0; j < 8; ++j) {
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += std::int64_t{query[i]} * rows[j][i];
    out[j] = sum;
  }
}

float dot_product_asym(std::span<const float> query, QuantizedView q) {
  const std::size_t n = query.size();
  const std::size_t blocked = n - n % BLOCK;
  double total = 0.0;
  for (std::size_t b = 0; b < blocked; b += BLOCK) {
    float sum = 0.0f;
    for (std::size_t i = b; i < b + BLOCK; ++i) {
      float v = static_cast<float>(q.codes[i]) * q.scale + q.min;
      sum += v * query[i];
    }
    total += static_cast<double>(sum);
  }
  for (std::size_t i = blocked; i < n; ++i) {
    double v = static_cast<double>(q.codes[i]) * static_cast<double>(q.scale) +
               static_cast<double>(q.min);
    total += v * static_cast<double>(query[i]);
  }
  return static_cast<float>(total);
}

float euclidean_distance_sq_asym(std::span<const float> query, QuantizedView q) {
  const std::size_t n = query.size();
  const std::size_t blocked = n - n % BLOCK;
  double total = 0.0;
  for (std::size_t b = 0; b < blocked; b += BLOCK) {
    float sum = 0.0f;
    for (std::size_t i = b; i < b + BLOCK; ++i) {
      float d = query[i] - (static_cast<float>(q.codes[i]) * q.scale + q.min);
      sum += d * d;
    }
    total += static_cast<double>(sum);
  }
  for (std::size_t i = blocked; i < n; ++i) {
    double d = static_cast<double>(query[i]) -
               (static_cast<double>(q.codes[i]) * static_cast<double>(q.scale) +
                static_cast<double>(q.min));
    total += d * d;
  }
  return static_cast<float>(total);
}

float cosine_similarity_asym_prenorm(std::span<const float> query, QuantizedView q,
                                     float query_norm_sq) {
  if (query_norm_sq < NORM_EPSILON) return 0.0f;
  if (q.scale == 0.0f) return 0.0f;  // flat stored vector; a NaN scale goes on

  const std::size_t n = query.size();
  const std::size_t blocked = n - n % BLOCK;
  double nv = 0.0;
  double dot = 0.0;
  for (std::size_t b = 0; b < blocked; b += BLOCK) {
    float nv_block = 0.0f;
    float dot_block = 0.0f;
    for (std::size_t i = b; i < b + BLOCK; ++i) {
      float v = static_cast<float>(q.codes[i]) * q.scale + q.min;
      nv_block += v * v;
      dot_block += query[i] * v;
    }
    nv += static_cast<double>(nv_block);
    dot += static_cast<double>(dot_block);
  }
  for (std::size_t i = blocked; i < n; ++i) {
    double v = static_cast<double>(q.codes[i]) * static_cast<double>(q.scale) +
               static_cast<double>(q.min);
    nv += v * v;
    dot += v * static_cast<double>(query[i]);
  }
  double den = std::sqrt(nv) * std::sqrt(static_cast<double>(query_norm_sq));
  if (!(den <= LARGEST_F64)) return NAN_F32;  // a sum overflowed: not computable here
  if (den < NORM_EPSILON_F64) return 0.0f;
  return static_cast<float>(dot / den);
}

float portable_dot_f32(const float* a, const float* b, std::size_t n) {
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

float portable_euclidean_sq_f32(const float* a, const float* b, std::size_t n) {
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

}  // namespace karvalith
