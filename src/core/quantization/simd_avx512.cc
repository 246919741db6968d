// AVX-512 forms of the grouped walk kernels. Like simd_avx2.cc, this
// translation unit alone is compiled for the instructions it uses and
// includes no std containers. GCC 12's AVX-512 headers build results on
// deliberately undefined registers, which its uninitialized-use warnings
// flag; they are off here only.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/quantization/simd.h"

namespace karvalith {

namespace {

// Sixteen codes widened to floats.
inline __m512 codes16(const std::uint8_t* row, std::size_t i) {
  return _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i))));
}

template <int Rows>
inline void dot_rows(const float* query, const std::uint8_t* const* rows, std::size_t n, float* out) {
  __m512 acc[Rows];
  for (int j = 0; j < Rows; ++j) acc[j] = _mm512_setzero_ps();
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512 q = _mm512_loadu_ps(query + i);
    for (int j = 0; j < Rows; ++j) acc[j] = _mm512_fmadd_ps(q, codes16(rows[j], i), acc[j]);
  }
  if (i < n) {
    // The tail under a mask: no read past the row's end.
    const __mmask16 mask = static_cast<__mmask16>((1u << (n - i)) - 1);
    const __m512 q = _mm512_maskz_loadu_ps(mask, query + i);
    for (int j = 0; j < Rows; ++j) {
      const __m512 c = _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(_mm_maskz_loadu_epi8(mask, rows[j] + i)));
      acc[j] = _mm512_fmadd_ps(q, c, acc[j]);
    }
  }
  for (int j = 0; j < Rows; ++j) out[j] = _mm512_reduce_add_ps(acc[j]);
}

// The sum of sixteen signed 32-bit lanes, in 64 bits.
inline std::int64_t signed_lanes_total(__m512i v) {
  const __m512i wide = _mm512_add_epi64(_mm512_cvtepi32_epi64(_mm512_castsi512_si256(v)),
                                        _mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(v, 1)));
  return _mm512_reduce_add_epi64(wide);
}

}  // namespace

void avx512_dot8_u8_i8(const std::int8_t* query, const std::uint8_t* const* rows, std::size_t n, std::int64_t* out) {
  // As avx2_dot8_u8_i8, 32 codes per step: a chunk of 2^16 codes adds at
  // most 2048 * 2 * 255 * 128 < 2^28 to a 32-bit lane.
  constexpr std::size_t CHUNK = std::size_t{1} << 16;
  for (int j = 0; j < 8; ++j) out[j] = 0;
  std::size_t i = 0;
  while (i < n) {
    __m512i acc[8];
    for (int j = 0; j < 8; ++j) acc[j] = _mm512_setzero_si512();
    const std::size_t end = (n - i > CHUNK ? i + CHUNK : n);
    for (; i + 32 <= end; i += 32) {
      const __m512i q = _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(query + i)));
      for (int j = 0; j < 8; ++j) {
        const __m512i c = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[j] + i)));
        acc[j] = _mm512_add_epi32(acc[j], _mm512_madd_epi16(q, c));
      }
    }
    if (i < end) {
      // The tail under a mask: no read past the row's end.
      const __mmask32 mask = static_cast<__mmask32>((std::uint64_t{1} << (end - i)) - 1);
      const __m512i q = _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(mask, query + i));
      for (int j = 0; j < 8; ++j) {
        const __m512i c = _mm512_cvtepu8_epi16(_mm256_maskz_loadu_epi8(mask, rows[j] + i));
        acc[j] = _mm512_add_epi32(acc[j], _mm512_madd_epi16(q, c));
      }
      i = end;
    }
    for (int j = 0; j < 8; ++j) out[j] += signed_lanes_total(acc[j]);
  }
}

void avx512_dot8_f32_u8(const float* query, const std::uint8_t* const* rows, std::size_t n, float* out) {
  dot_rows<8>(query, rows, n, out);
}

void avx512_dot4_f32_u8(const float* query, const std::uint8_t* const* rows, std::size_t n, float* out) {
  dot_rows<4>(query, rows, n, out);
}

void avx512_set_sum8(const float* values, const std::uint8_t* const* rows, std::size_t n, float* out) {
  // A row's two bytes of bits are the mask of sixteen lanes, as stored.
  __m512 acc[8];
  for (int j = 0; j < 8; ++j) acc[j] = _mm512_setzero_ps();
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512 v = _mm512_loadu_ps(values + i);
    for (int j = 0; j < 8; ++j) {
      std::uint16_t bits;
      __builtin_memcpy(&bits, rows[j] + i / 8, sizeof bits);
      acc[j] = _mm512_mask_add_ps(acc[j], static_cast<__mmask16>(bits), acc[j], v);
    }
  }
  if (i < n) {
    // The tail: lanes past n masked off, no byte read past the row's end.
    const unsigned left = static_cast<unsigned>(n - i);
    const __mmask16 tail = static_cast<__mmask16>((1u << left) - 1);
    const __m512 v = _mm512_maskz_loadu_ps(tail, values + i);
    for (int j = 0; j < 8; ++j) {
      unsigned bits = rows[j][i / 8];
      if (left > 8) bits |= static_cast<unsigned>(rows[j][i / 8 + 1]) << 8;
      acc[j] = _mm512_mask_add_ps(acc[j], static_cast<__mmask16>(bits & tail), acc[j], v);
    }
  }
  for (int j = 0; j < 8; ++j) out[j] = _mm512_reduce_add_ps(acc[j]);
}

}  // namespace karvalith
