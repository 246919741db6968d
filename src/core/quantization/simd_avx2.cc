// AVX2+FMA kernels. This translation unit alone is compiled with -mavx2
// -mfma, so it includes nothing that could emit an out-of-line inline
// function (std containers, <cmath> wrappers): the linker might otherwise
// keep an AVX2 copy for baseline callers. Square roots use intrinsics.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/quantization/simd.h"

// Every fused multiply-add below is an explicit intrinsic; the tails are a
// separate multiply and add (the build passes -ffp-contract=off).

namespace karvalith {

namespace {

constexpr std::size_t STEP = 16;
constexpr float NORM_EPS_F32 = 1e-10f;
constexpr double NORM_EPS_F64 = 1e-10;
constexpr float LARGEST_F32 = 3.4028235e38f;
constexpr double LARGEST_F64 = 1.7976931348623157e308;

// S = B + A lane-wise; S4 = low 4 + high 4; S2 = (S4[0]+S4[2], S4[1]+S4[3]);
// s = S2[0] + S2[1].
inline float reduce(__m256 a, __m256 b) {
  __m256 s = _mm256_add_ps(b, a);
  __m128 s4 = _mm_add_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1));
  __m128 s2 = _mm_add_ps(s4, _mm_movehl_ps(s4, s4));
  __m128 s1 = _mm_add_ss(s2, _mm_shuffle_ps(s2, s2, 0x1));
  return _mm_cvtss_f32(s1);
}

// v = code * scale + min for 8 codes read straight from memory.
inline __m256 dequantize8(const std::uint8_t* codes, __m256 scale, __m256 min) {
  __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes));
  __m256 c = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
  return _mm256_fmadd_ps(c, scale, min);
}

// The sum of eight 32-bit lanes read as unsigned, in 64 bits: each lane may
// be near 2^31, and eight of them would overflow a 32-bit total.
inline std::uint64_t lanes_total(__m256i v) {
  const __m256i wide = _mm256_add_epi64(_mm256_cvtepu32_epi64(_mm256_castsi256_si128(v)),
                                        _mm256_cvtepu32_epi64(_mm256_extracti128_si256(v, 1)));
  __m128i s = _mm_add_epi64(_mm256_castsi256_si128(wide), _mm256_extracti128_si256(wide, 1));
  s = _mm_add_epi64(s, _mm_unpackhi_epi64(s, s));
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(s));
}

// The sum of eight signed 32-bit lanes, in 64 bits.
inline std::int64_t signed_lanes_total(__m256i v) {
  const __m256i wide = _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(v)),
                                        _mm256_cvtepi32_epi64(_mm256_extracti128_si256(v, 1)));
  __m128i s = _mm_add_epi64(_mm256_castsi256_si128(wide), _mm256_extracti128_si256(wide, 1));
  s = _mm_add_epi64(s, _mm_unpackhi_epi64(s, s));
  return _mm_cvtsi128_si64(s);
}

inline float sqrt_f32(float x) { return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(x))); }

inline double sqrt_f64(double x) {
  __m128d v = _mm_set_sd(x);
  return _mm_cvtsd_f64(_mm_sqrt_sd(v, v));
}

// Tail dequantization: multiply, then add.
inline float dequantize1(std::uint8_t code, float min, float scale) {
  return static_cast<float>(code) * scale + min;
}

}  // namespace

float avx2_dot_product_f32(const float* a, const float* b, std::size_t n) {
  __m256 acc_a = _mm256_setzero_ps();
  __m256 acc_b = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + STEP <= n; i += STEP) {
    acc_a = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), acc_a);
    acc_b = _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8), acc_b);
  }
  float sum = reduce(acc_a, acc_b);
  for (; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

float avx2_euclidean_sq_f32(const float* a, const float* b, std::size_t n) {
  __m256 acc_a = _mm256_setzero_ps();
  __m256 acc_b = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + STEP <= n; i += STEP) {
    __m256 da = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    __m256 db = _mm256_sub_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8));
    acc_a = _mm256_fmadd_ps(da, da, acc_a);
    acc_b = _mm256_fmadd_ps(db, db, acc_b);
  }
  float sum = reduce(acc_a, acc_b);
  for (; i < n; ++i) {
    float d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

float avx2_cosine_f32(const float* a, const float* b, std::size_t n) {
  __m256 dot_a = _mm256_setzero_ps(), dot_b = _mm256_setzero_ps();
  __m256 na_a = _mm256_setzero_ps(), na_b = _mm256_setzero_ps();
  __m256 nb_a = _mm256_setzero_ps(), nb_b = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + STEP <= n; i += STEP) {
    __m256 xa = _mm256_loadu_ps(a + i);
    __m256 ya = _mm256_loadu_ps(b + i);
    __m256 xb = _mm256_loadu_ps(a + i + 8);
    __m256 yb = _mm256_loadu_ps(b + i + 8);
    dot_a = _mm256_fmadd_ps(xa, ya, dot_a);
    dot_b = _mm256_fmadd_ps(xb, yb, dot_b);
    na_a = _mm256_fmadd_ps(xa, xa, na_a);
    na_b = _mm256_fmadd_ps(xb, xb, na_b);
    nb_a = _mm256_fmadd_ps(ya, ya, nb_a);
    nb_b = _mm256_fmadd_ps(yb, yb, nb_b);
  }
  float dot = reduce(dot_a, dot_b);
  float na = reduce(na_a, na_b);
  float nb = reduce(nb_a, nb_b);
  for (; i < n; ++i) {
    dot += a[i] * b[i];
    na += a[i] * a[i];
    nb += b[i] * b[i];
  }
  float den = sqrt_f32(na) * sqrt_f32(nb);
  if (!(den <= LARGEST_F32)) return __builtin_nanf("");  // a sum overflowed
  if (den < NORM_EPS_F32) return 0.0f;
  return dot / den;
}

float avx2_dot_product_asym(const float* query, const std::uint8_t* codes, float min,
                            float scale, std::size_t n) {
  const __m256 vmin = _mm256_set1_ps(min);
  const __m256 vscale = _mm256_set1_ps(scale);
  __m256 acc_a = _mm256_setzero_ps();
  __m256 acc_b = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + STEP <= n; i += STEP) {
    __m256 va = dequantize8(codes + i, vscale, vmin);
    __m256 vb = dequantize8(codes + i + 8, vscale, vmin);
    acc_a = _mm256_fmadd_ps(_mm256_loadu_ps(query + i), va, acc_a);
    acc_b = _mm256_fmadd_ps(_mm256_loadu_ps(query + i + 8), vb, acc_b);
  }
  float sum = reduce(acc_a, acc_b);
  for (; i < n; ++i) sum += query[i] * dequantize1(codes[i], min, scale);
  return sum;
}

float avx2_euclidean_sq_asym(const float* query, const std::uint8_t* codes, float min,
                             float scale, std::size_t n) {
  const __m256 vmin = _mm256_set1_ps(min);
  const __m256 vscale = _mm256_set1_ps(scale);
  __m256 acc_a = _mm256_setzero_ps();
  __m256 acc_b = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + STEP <= n; i += STEP) {
    __m256 da = _mm256_sub_ps(_mm256_loadu_ps(query + i), dequantize8(codes + i, vscale, vmin));
    __m256 db =
        _mm256_sub_ps(_mm256_loadu_ps(query + i + 8), dequantize8(codes + i + 8, vscale, vmin));
    acc_a = _mm256_fmadd_ps(da, da, acc_a);
    acc_b = _mm256_fmadd_ps(db, db, acc_b);
  }
  float sum = reduce(acc_a, acc_b);
  for (; i < n; ++i) {
    float d = query[i] - dequantize1(codes[i], min, scale);
    sum += d * d;
  }
  return sum;
}

float avx2_cosine_asym_prenorm(const float* query, const std::uint8_t* codes, float min,
                               float scale, std::size_t n, float query_norm_sq) {
  if (query_norm_sq < NORM_EPS_F32 || scale == 0.0f) return 0.0f;
  const __m256 vmin = _mm256_set1_ps(min);
  const __m256 vscale = _mm256_set1_ps(scale);
  __m256 dot_a = _mm256_setzero_ps(), dot_b = _mm256_setzero_ps();
  __m256 nv_a = _mm256_setzero_ps(), nv_b = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + STEP <= n; i += STEP) {
    __m256 va = dequantize8(codes + i, vscale, vmin);
    __m256 vb = dequantize8(codes + i + 8, vscale, vmin);
    dot_a = _mm256_fmadd_ps(_mm256_loadu_ps(query + i), va, dot_a);
    dot_b = _mm256_fmadd_ps(_mm256_loadu_ps(query + i + 8), vb, dot_b);
    nv_a = _mm256_fmadd_ps(va, va, nv_a);
    nv_b = _mm256_fmadd_ps(vb, vb, nv_b);
  }
  float dot = reduce(dot_a, dot_b);
  float nv = reduce(nv_a, nv_b);
  for (; i < n; ++i) {
    float v = dequantize1(codes[i], min, scale);
    dot += query[i] * v;
    nv += v * v;
  }
  double den = sqrt_f64(static_cast<double>(query_norm_sq)) * sqrt_f64(static_cast<double>(nv));
  if (!(den <= LARGEST_F64)) return __builtin_nanf("");  // a sum overflowed
  if (den < NORM_EPS_F64) return 0.0f;
  return static_cast<float>(static_cast<double>(dot) / den);
}

float avx2_dot_f32_u8(const float* query, const std::uint8_t* codes, std::size_t n) {
  __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
  __m256 acc2 = _mm256_setzero_ps(), acc3 = _mm256_setzero_ps();
  auto codes8 = [codes](std::size_t i) {
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(codes + i))));
  };
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(query + i), codes8(i), acc0);
    acc1 = _mm256_fmadd_ps(_mm256_loadu_ps(query + i + 8), codes8(i + 8), acc1);
    acc2 = _mm256_fmadd_ps(_mm256_loadu_ps(query + i + 16), codes8(i + 16), acc2);
    acc3 = _mm256_fmadd_ps(_mm256_loadu_ps(query + i + 24), codes8(i + 24), acc3);
  }
  for (; i + 8 <= n; i += 8) acc0 = _mm256_fmadd_ps(_mm256_loadu_ps(query + i), codes8(i), acc0);
  float sum = reduce(_mm256_add_ps(acc0, acc1), _mm256_add_ps(acc2, acc3));
  for (; i < n; ++i) sum += query[i] * static_cast<float>(codes[i]);
  return sum;
}

void avx2_dot4_f32_u8(const float* query, const std::uint8_t* const* rows, std::size_t n, float* out) {
  __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
  __m256 b0 = _mm256_setzero_ps(), b1 = _mm256_setzero_ps(), b2 = _mm256_setzero_ps(), b3 = _mm256_setzero_ps();
  const std::uint8_t* c0 = rows[0];
  const std::uint8_t* c1 = rows[1];
  const std::uint8_t* c2 = rows[2];
  const std::uint8_t* c3 = rows[3];
  auto load8 = [](const std::uint8_t* c, std::size_t i) {
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(c + i))));
  };
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256 q0 = _mm256_loadu_ps(query + i);
    const __m256 q1 = _mm256_loadu_ps(query + i + 8);
    a0 = _mm256_fmadd_ps(q0, load8(c0, i), a0);
    a1 = _mm256_fmadd_ps(q0, load8(c1, i), a1);
    a2 = _mm256_fmadd_ps(q0, load8(c2, i), a2);
    a3 = _mm256_fmadd_ps(q0, load8(c3, i), a3);
    b0 = _mm256_fmadd_ps(q1, load8(c0, i + 8), b0);
    b1 = _mm256_fmadd_ps(q1, load8(c1, i + 8), b1);
    b2 = _mm256_fmadd_ps(q1, load8(c2, i + 8), b2);
    b3 = _mm256_fmadd_ps(q1, load8(c3, i + 8), b3);
  }
  for (; i + 8 <= n; i += 8) {
    const __m256 q0 = _mm256_loadu_ps(query + i);
    a0 = _mm256_fmadd_ps(q0, load8(c0, i), a0);
    a1 = _mm256_fmadd_ps(q0, load8(c1, i), a1);
    a2 = _mm256_fmadd_ps(q0, load8(c2, i), a2);
    a3 = _mm256_fmadd_ps(q0, load8(c3, i), a3);
  }
  out[0] = reduce(a0, b0);
  out[1] = reduce(a1, b1);
  out[2] = reduce(a2, b2);
  out[3] = reduce(a3, b3);
  for (; i < n; ++i) {
    out[0] += query[i] * static_cast<float>(c0[i]);
    out[1] += query[i] * static_cast<float>(c1[i]);
    out[2] += query[i] * static_cast<float>(c2[i]);
    out[3] += query[i] * static_cast<float>(c3[i]);
  }
}

void avx2_dot8_f32_u8(const float* query, const std::uint8_t* const* rows, std::size_t n, float* out) {
  // Eight accumulators and the query register fit the sixteen ymm registers.
  __m256 acc[8];
  for (int j = 0; j < 8; ++j) acc[j] = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 q = _mm256_loadu_ps(query + i);
    for (int j = 0; j < 8; ++j) {
      acc[j] = _mm256_fmadd_ps(
          q, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[j] + i)))),
          acc[j]);
    }
  }
  for (int j = 0; j < 8; ++j) {
    out[j] = reduce(acc[j], _mm256_setzero_ps());
    for (std::size_t t = i; t < n; ++t) out[j] += query[t] * static_cast<float>(rows[j][t]);
  }
}

std::uint64_t avx2_dot_u8_u8(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  // Each 32-bit lane gains at most 2 * 255 * 255 per 32 codes: a chunk of
  // 2^18 codes stays far below 2^31 before it is added to the 64-bit total.
  constexpr std::size_t CHUNK = std::size_t{1} << 18;
  std::uint64_t total = 0;
  std::size_t i = 0;
  while (i + 32 <= n) {
    __m256i acc0 = _mm256_setzero_si256(), acc1 = _mm256_setzero_si256();
    const std::size_t end = (n - i > CHUNK ? i + CHUNK : n);
    for (; i + 32 <= end; i += 32) {
      const __m256i a0 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)));
      const __m256i b0 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
      const __m256i a1 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i + 16)));
      const __m256i b1 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + 16)));
      acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(a0, b0));
      acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(a1, b1));
    }
    total += lanes_total(acc0) + lanes_total(acc1);
  }
  for (; i < n; ++i) total += std::uint64_t{a[i]} * b[i];
  return total;
}

void avx2_dot8_u8_i8(const std::int8_t* query, const std::uint8_t* const* rows, std::size_t n, std::int64_t* out) {
  // vpmaddwd adds two products of magnitude at most 255 * 128 into each
  // 32-bit lane per 16 codes: a chunk of 2^16 codes stays below 2^29 before
  // the lanes are widened into the 64-bit totals.
  constexpr std::size_t CHUNK = std::size_t{1} << 16;
  for (int j = 0; j < 8; ++j) out[j] = 0;
  std::size_t i = 0;
  while (i + 16 <= n) {
    __m256i acc[8];
    for (int j = 0; j < 8; ++j) acc[j] = _mm256_setzero_si256();
    const std::size_t end = (n - i > CHUNK ? i + CHUNK : n);
    for (; i + 16 <= end; i += 16) {
      const __m256i q = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(query + i)));
      for (int j = 0; j < 8; ++j) {
        const __m256i c = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[j] + i)));
        acc[j] = _mm256_add_epi32(acc[j], _mm256_madd_epi16(q, c));
      }
    }
    for (int j = 0; j < 8; ++j) out[j] += signed_lanes_total(acc[j]);
  }
  for (; i < n; ++i) {
    for (int j = 0; j < 8; ++j) out[j] += std::int64_t{query[i]} * rows[j][i];
  }
}

void avx2_code_sums(const std::uint8_t* codes, std::size_t n, std::uint64_t& sum, std::uint64_t& sum_sq) {
  // vpsadbw adds 8 codes into a 64-bit lane; the squares go through
  // vpmaddwd into 32-bit lanes, which gain at most 2 * 255^2 per 32 codes,
  // so they are widened to 64 bits once per chunk of 2^18 codes.
  constexpr std::size_t CHUNK = std::size_t{1} << 18;
  const __m256i zero = _mm256_setzero_si256();
  __m256i sums = zero;
  std::uint64_t squares = 0;
  std::size_t i = 0;
  while (i + 32 <= n) {
    __m256i sq = zero;
    const std::size_t end = (n - i > CHUNK ? i + CHUNK : n);
    for (; i + 32 <= end; i += 32) {
      const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes + i));
      sums = _mm256_add_epi64(sums, _mm256_sad_epu8(c, zero));
      const __m256i low = _mm256_cvtepu8_epi16(_mm256_castsi256_si128(c));
      const __m256i high = _mm256_cvtepu8_epi16(_mm256_extracti128_si256(c, 1));
      sq = _mm256_add_epi32(sq, _mm256_add_epi32(_mm256_madd_epi16(low, low), _mm256_madd_epi16(high, high)));
    }
    squares += lanes_total(sq);
  }
  __m128i s = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
  s = _mm_add_epi64(s, _mm_unpackhi_epi64(s, s));
  std::uint64_t total = static_cast<std::uint64_t>(_mm_cvtsi128_si64(s));
  for (; i < n; ++i) {
    total += codes[i];
    squares += std::uint64_t{codes[i]} * codes[i];
  }
  sum = total;
  sum_sq = squares;
}

namespace {

// Byte b -> eight lanes, lane i all ones where bit i of b is set. Built at
// compile time: a constructor run at load would be compiled for AVX2 here.
struct BitMasks {
  alignas(32) std::uint32_t lanes[256][8] = {};
  constexpr BitMasks() {
    for (unsigned b = 0; b < 256; ++b) {
      for (unsigned i = 0; i < 8; ++i) lanes[b][i] = (b >> i & 1) != 0 ? 0xFFFFFFFFu : 0u;
    }
  }
};
constexpr BitMasks BIT_MASKS{};

}  // namespace

void avx2_set_sum8(const float* values, const std::uint8_t* const* rows, std::size_t n, float* out) {
  __m256 acc[8];
  for (int j = 0; j < 8; ++j) acc[j] = _mm256_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_loadu_ps(values + i);
    for (int j = 0; j < 8; ++j) {
      const __m256 mask = _mm256_load_ps(reinterpret_cast<const float*>(BIT_MASKS.lanes[rows[j][i / 8]]));
      acc[j] = _mm256_add_ps(acc[j], _mm256_and_ps(v, mask));
    }
  }
  for (int j = 0; j < 8; ++j) {
    float total = reduce(acc[j], _mm256_setzero_ps());
    // The tail (fewer than eight components) one bit at a time.
    for (std::size_t t = i; t < n; ++t) {
      if ((rows[j][t / 8] >> (t % 8) & 1) != 0) total += values[t];
    }
    out[j] = total;
  }
}

}  // namespace karvalith
