// The AVX-512 VNNI kernel of the filtered scan. Like simd_avx512.cc, this
// translation unit alone is compiled for the instructions it uses and
// includes no std containers.
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

// The totals of eight vectors of sixteen 32-bit sums, as eight 32-bit
// sums: pairs of rows interleaved and added, three rounds, instead of eight
// separate horizontal reductions. The caller keeps every total below 2^31.
inline __m256i totals8(const __m512i* acc) {
  __m512i pair[4];
  for (int p = 0; p < 4; ++p) {
    pair[p] = _mm512_add_epi32(_mm512_unpacklo_epi32(acc[2 * p], acc[2 * p + 1]),
                               _mm512_unpackhi_epi32(acc[2 * p], acc[2 * p + 1]));
  }
  // Each 128-bit lane: rows 0-3 (low) and rows 4-7 (high).
  const __m512i low = _mm512_add_epi32(_mm512_unpacklo_epi64(pair[0], pair[1]), _mm512_unpackhi_epi64(pair[0], pair[1]));
  const __m512i high = _mm512_add_epi32(_mm512_unpacklo_epi64(pair[2], pair[3]), _mm512_unpackhi_epi64(pair[2], pair[3]));
  // The four 128-bit lanes of each added: lanes 0+1 and 2+3, then their sum.
  const __m512i halves = _mm512_add_epi32(_mm512_shuffle_i32x4(low, high, 0x88), _mm512_shuffle_i32x4(low, high, 0xDD));
  const __m512i whole = _mm512_add_epi32(_mm512_shuffle_i32x4(halves, halves, 0x08),
                                         _mm512_shuffle_i32x4(halves, halves, 0x0D));
  return _mm512_castsi512_si256(whole);
}

}  // namespace

void avx512vnni_dot8_u8_i8(const std::int8_t* query, const std::uint8_t* const* rows, std::size_t n,
                           std::int64_t* out) {
  // vpdpbusd adds four products of magnitude at most 255 * 128 into each
  // 32-bit lane per 64 codes: over a chunk of 2^14 codes the sixteen lanes
  // of a row together stay below 16 * 256 * 130,560 < 2^30, so they are
  // added in 32 bits and widened once per chunk.
  constexpr std::size_t CHUNK = std::size_t{1} << 14;
  for (int j = 0; j < 8; ++j) out[j] = 0;
  std::size_t i = 0;
  while (i < n) {
    __m512i acc[8];
    for (int j = 0; j < 8; ++j) acc[j] = _mm512_setzero_si512();
    const std::size_t end = (n - i > CHUNK ? i + CHUNK : n);
    for (; i + 64 <= end; i += 64) {
      const __m512i q = _mm512_loadu_si512(query + i);
      for (int j = 0; j < 8; ++j) acc[j] = _mm512_dpbusd_epi32(acc[j], _mm512_loadu_si512(rows[j] + i), q);
    }
    if (i < end) {
      // The tail under a mask: no read past the row's end.
      const __mmask64 mask = (std::uint64_t{1} << (end - i)) - 1;
      const __m512i q = _mm512_maskz_loadu_epi8(mask, query + i);
      for (int j = 0; j < 8; ++j) acc[j] = _mm512_dpbusd_epi32(acc[j], _mm512_maskz_loadu_epi8(mask, rows[j] + i), q);
      i = end;
    }
    alignas(32) std::int32_t totals[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(totals), totals8(acc));
    for (int j = 0; j < 8; ++j) out[j] += totals[j];
  }
}

std::uint64_t avx512vnni_dot_u8_u8(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  // vpdpbusd multiplies unsigned by signed bytes: b is shifted to b - 128 (an
  // xor of the top bit) and 128 * sum(a), from vpsadbw, is added back. Per
  // 32-bit lane each step adds at most 4 * 255 * 128 in magnitude, so a chunk
  // of 2^14 codes keeps the sixteen lanes' total below 2^30.
  constexpr std::size_t CHUNK = std::size_t{1} << 14;
  const __m512i flip = _mm512_set1_epi8(static_cast<char>(0x80));
  const __m512i zero = _mm512_setzero_si512();
  std::int64_t total = 0;
  std::size_t i = 0;
  while (i < n) {
    __m512i dot = zero, sums = zero;
    const std::size_t end = (n - i > CHUNK ? i + CHUNK : n);
    for (; i + 64 <= end; i += 64) {
      const __m512i x = _mm512_loadu_si512(a + i);
      const __m512i y = _mm512_xor_si512(_mm512_loadu_si512(b + i), flip);
      dot = _mm512_dpbusd_epi32(dot, x, y);
      sums = _mm512_add_epi64(sums, _mm512_sad_epu8(x, zero));
    }
    if (i < end) {
      // The tail under a mask: no read past either row. Masked-off bytes are
      // zero in x, so they add nothing whatever y holds.
      const __mmask64 mask = (std::uint64_t{1} << (end - i)) - 1;
      const __m512i x = _mm512_maskz_loadu_epi8(mask, a + i);
      const __m512i y = _mm512_xor_si512(_mm512_maskz_loadu_epi8(mask, b + i), flip);
      dot = _mm512_dpbusd_epi32(dot, x, y);
      sums = _mm512_add_epi64(sums, _mm512_sad_epu8(x, zero));
      i = end;
    }
    total += static_cast<std::int64_t>(_mm512_reduce_add_epi32(dot)) + 128 * _mm512_reduce_add_epi64(sums);
  }
  return static_cast<std::uint64_t>(total);
}

}  // namespace karvalith
