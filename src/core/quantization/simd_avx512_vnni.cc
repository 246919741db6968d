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

void avx512vnni_dot8_u8_i8(const std::int8_t* query, const std::uint8_t* const* rows, std::size_t n,
                           std::int64_t* out) {
  // vpdpbusd adds four products of magnitude at most 255 * 128 into each
  // 32-bit lane per 64 codes: a chunk of 2^16 codes adds less than 2^28.
  constexpr std::size_t CHUNK = std::size_t{1} << 16;
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
    for (int j = 0; j < 8; ++j) {
      const __m512i wide = _mm512_add_epi64(_mm512_cvtepi32_epi64(_mm512_castsi512_si256(acc[j])),
                                            _mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(acc[j], 1)));
      out[j] += _mm512_reduce_add_epi64(wide);
    }
  }
}

}  // namespace karvalith
