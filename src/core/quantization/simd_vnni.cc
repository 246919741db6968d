// The AVX-VNNI kernel. Like simd_avx2.cc, this translation unit alone is
// compiled for the instructions it uses and includes no std containers.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/quantization/simd.h"

namespace karvalith {

// vpdpbusd multiplies unsigned by signed bytes, so b is shifted to b - 128
// (an xor of the top bit) and 128 * sum(a) is added back: sum(a) comes from
// vpsadbw in the same pass. Per 32-bit lane each step adds at most
// 4 * 255 * 128 in magnitude, so a chunk of 2^18 codes cannot overflow.
namespace {

// Eight signed 32-bit lanes as four 64-bit sums of pairs.
inline __m256i signed_lanes_wide(__m256i v) {
  return _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(v)),
                          _mm256_cvtepi32_epi64(_mm256_extracti128_si256(v, 1)));
}

}  // namespace

std::uint64_t vnni_dot_u8_u8(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  constexpr std::size_t CHUNK = std::size_t{1} << 18;
  const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
  const __m256i zero = _mm256_setzero_si256();
  std::int64_t total = 0;
  std::size_t i = 0;
  while (i + 32 <= n) {
    __m256i dot0 = zero, dot1 = zero, sums = zero;
    const std::size_t end = (n - i > CHUNK ? i + CHUNK : n);
    for (; i + 64 <= end; i += 64) {
      const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
      const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i + 32));
      const __m256i b0 = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i)), flip);
      const __m256i b1 = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 32)), flip);
      dot0 = _mm256_dpbusd_avx_epi32(dot0, a0, b0);
      dot1 = _mm256_dpbusd_avx_epi32(dot1, a1, b1);
      sums = _mm256_add_epi64(sums, _mm256_add_epi64(_mm256_sad_epu8(a0, zero), _mm256_sad_epu8(a1, zero)));
    }
    for (; i + 32 <= end; i += 32) {
      const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
      const __m256i b0 = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i)), flip);
      dot0 = _mm256_dpbusd_avx_epi32(dot0, a0, b0);
      sums = _mm256_add_epi64(sums, _mm256_sad_epu8(a0, zero));
    }
    // The lanes are widened before they are added: a chunk's total can pass 2^31.
    const __m256i dot = _mm256_add_epi64(signed_lanes_wide(dot0), signed_lanes_wide(dot1));
    __m128i s = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    s = _mm_add_epi64(s, _mm_unpackhi_epi64(s, s));
    __m128i d = _mm_add_epi64(_mm256_castsi256_si128(dot), _mm256_extracti128_si256(dot, 1));
    d = _mm_add_epi64(d, _mm_unpackhi_epi64(d, d));
    total += _mm_cvtsi128_si64(d) + 128 * _mm_cvtsi128_si64(s);
  }
  for (; i < n; ++i) total += static_cast<std::int64_t>(a[i]) * b[i];
  return static_cast<std::uint64_t>(total);
}

}  // namespace karvalith
