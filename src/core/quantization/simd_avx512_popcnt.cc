// The popcount kernel of the bit-plane codes (binary_code.h), compiled for
// AVX-512 VPOPCNTDQ alone: a 64-byte chunk of a plane is one register, one
// AND and one VPOPCNTQ per query plane.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/quantization/binary_code.h"

namespace karvalith {

namespace {

template <int Rows>
void plane_dots(const std::uint64_t* planes, std::size_t n, const std::uint8_t* const* rows, std::size_t plane_bytes,
                unsigned code_planes, std::uint32_t* weighted, std::uint32_t* counts) {
  const std::size_t chunks = chunks_for(n);
  const std::size_t words = chunks * 8;
  __m512i w[Rows], c[Rows];
  for (int r = 0; r < Rows; ++r) w[r] = c[r] = _mm512_setzero_si512();
  for (std::size_t chunk = 0; chunk < chunks; ++chunk) {
    // Bytes of this chunk inside the row, and the bits below n among them.
    const std::size_t first_bit = chunk * 512;
    const std::size_t bits_here = n - first_bit < 512 ? n - first_bit : 512;
    const std::size_t bytes_here = (bits_here + 7) / 8;
    const __mmask64 load = bytes_here == 64 ? ~__mmask64{0} : (__mmask64{1} << bytes_here) - 1;
    // Whole 64-bit words of valid bits, then the partial one.
    __m512i valid = _mm512_set1_epi64(-1);
    if (bits_here < 512) {
      alignas(64) std::uint64_t lanes[8];
      for (std::size_t l = 0; l < 8; ++l) {
        const std::size_t from = l * 64;
        lanes[l] = from >= bits_here ? 0 : bits_here - from >= 64 ? ~std::uint64_t{0}
                                                                  : (std::uint64_t{1} << (bits_here - from)) - 1;
      }
      valid = _mm512_load_si512(lanes);
    }
    __m512i q[QUERY_BITS];
    for (unsigned j = 0; j < QUERY_BITS; ++j) q[j] = _mm512_loadu_si512(planes + j * words + chunk * 8);
    for (unsigned p = 0; p < code_planes; ++p) {
      for (int r = 0; r < Rows; ++r) {
        const __m512i b =
            _mm512_and_si512(_mm512_maskz_loadu_epi8(load, rows[r] + p * plane_bytes + chunk * 64), valid);
        c[r] = _mm512_add_epi64(c[r], _mm512_slli_epi64(_mm512_popcnt_epi64(b), p));
        __m512i sum = _mm512_popcnt_epi64(_mm512_and_si512(b, q[0]));
        for (unsigned j = 1; j < QUERY_BITS; ++j) {
          sum = _mm512_add_epi64(sum, _mm512_slli_epi64(_mm512_popcnt_epi64(_mm512_and_si512(b, q[j])), j));
        }
        w[r] = _mm512_add_epi64(w[r], _mm512_slli_epi64(sum, p));
      }
    }
  }
  for (int r = 0; r < Rows; ++r) {
    weighted[r] = static_cast<std::uint32_t>(_mm512_reduce_add_epi64(w[r]));
    counts[r] = static_cast<std::uint32_t>(_mm512_reduce_add_epi64(c[r]));
  }
}

}  // namespace

void avx512_plane_dot8(const std::uint64_t* planes, std::size_t n, const std::uint8_t* const* rows,
                       std::size_t plane_bytes, unsigned code_planes, std::uint32_t* weighted,
                       std::uint32_t* counts) {
  plane_dots<8>(planes, n, rows, plane_bytes, code_planes, weighted, counts);
}

void avx512_plane_dot1(const std::uint64_t* planes, std::size_t n, const std::uint8_t* row, std::size_t plane_bytes,
                       unsigned code_planes, std::uint32_t* weighted, std::uint32_t* counts) {
  plane_dots<1>(planes, n, &row, plane_bytes, code_planes, weighted, counts);
}

std::uint64_t avx512_count_bits(const std::uint64_t* words, std::size_t n) {
  __m512i total = _mm512_setzero_si512();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) total = _mm512_add_epi64(total, _mm512_popcnt_epi64(_mm512_loadu_si512(words + i)));
  if (i < n) {
    // The tail under a mask: no read past the last word.
    const auto mask = static_cast<__mmask8>((1u << (n - i)) - 1);
    total = _mm512_add_epi64(total, _mm512_popcnt_epi64(_mm512_maskz_loadu_epi64(mask, words + i)));
  }
  return static_cast<std::uint64_t>(_mm512_reduce_add_epi64(total));
}

PlaneQuery avx512_quantize_query_planes(const float* offset, std::size_t n, std::uint64_t* planes) {
  const std::size_t words = chunks_for(n) * 8;
  for (std::size_t i = 0; i < QUERY_BITS * words; ++i) planes[i] = 0;
  if (n == 0) return {};
  __m512 low16 = _mm512_set1_ps(offset[0]), high16 = low16;
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512 v = _mm512_loadu_ps(offset + i);
    low16 = _mm512_min_ps(low16, v);
    high16 = _mm512_max_ps(high16, v);
  }
  if (i < n) {
    const __mmask16 tail = static_cast<__mmask16>((1u << (n - i)) - 1);
    low16 = _mm512_mask_min_ps(low16, tail, low16, _mm512_maskz_loadu_ps(tail, offset + i));
    high16 = _mm512_mask_max_ps(high16, tail, high16, _mm512_maskz_loadu_ps(tail, offset + i));
  }
  const float low = _mm512_reduce_min_ps(low16), high = _mm512_reduce_max_ps(high16);
  constexpr float TOP = (1u << QUERY_BITS) - 1;
  const float step = (high - low) / TOP;
  // The flat and non-finite cases as quantize_query_planes has them.
  if (!(step > 0.0f) || step > 3.4028235e38f) return PlaneQuery{low - low == 0.0f ? low : 0.0f, 0.0f};
  const __m512 low_v = _mm512_set1_ps(low), step_v = _mm512_set1_ps(step);
  const __m512i top = _mm512_set1_epi32(static_cast<int>(TOP)), zero = _mm512_setzero_si512();
  for (std::size_t first = 0; first < n; first += 64) {
    // Sixty-four levels as bytes (zero past n); each plane is then one test.
    alignas(64) std::uint8_t levels[64] = {};
    for (std::size_t at = first; at < n && at < first + 64; at += 16) {
      const __mmask16 m =
          n - at >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << (n - at)) - 1);
      const __m512 level = _mm512_div_ps(_mm512_sub_ps(_mm512_maskz_loadu_ps(m, offset + at), low_v), step_v);
      __m512i u = _mm512_cvtps_epi32(level);  // to nearest, ties to even, as nearbyint
      u = _mm512_maskz_mov_epi32(m, _mm512_min_epi32(_mm512_max_epi32(u, zero), top));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(levels + (at - first)), _mm512_cvtepi32_epi8(u));
    }
    const __m512i all = _mm512_load_si512(levels);
    for (unsigned j = 0; j < QUERY_BITS; ++j) {
      planes[j * words + first / 64] = _mm512_test_epi8_mask(all, _mm512_set1_epi8(static_cast<char>(1u << j)));
    }
  }
  return PlaneQuery{low, step};
}

}  // namespace karvalith
