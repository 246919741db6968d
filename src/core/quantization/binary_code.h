// Codes of one or two bits per component, kept as bit planes: a vector v is
// coded by its offset from a centre c, r = v - c, and a few numbers per vector
// make the inner product with a full-precision query q estimable. With
// q' = q - c, T the sum of the q'_i and S_p the sum of q'_i over the set bits
// of plane p (bit i % 8 of byte i / 8), the estimate is
//   r . q' ~ a T + b (S_0 + 2 S_1),      v . q = r . q' + r . c + c . q.
// One bit: the estimator of RaBitQ (Gao and Long, 2024) without its rotation
// (measured no better on sentence embeddings): the signs x = (2u - 1)/sqrt(d)
// and r . q' ~ |r| (x . q') / (x . r/|r|), so b = 2k, a = -k, k = |r|^2 / sum|r_i|.
// Two bits: r_i on the grid lo + s u_i (u in 0..3, lo = -1.5 s, s the root
// mean square of r), scaled by |r|^2 / (r^ . r) as RaBitQ scales its
// estimate, which makes it exact where the grid values are proportional to r.
// A 384-d vector takes 48 or 96 bytes and 16 of numbers instead of 400; the
// estimates steer a graph walk whose results are re-scored on finer codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace karvalith {

// Bytes of bits for `dimension` components.
inline constexpr std::size_t binary_code_bytes(std::size_t dimension) { return (dimension + 7) / 8; }

// What a vector's estimate needs besides its bits.
struct BinaryCodeTerms {
  float a = 0.0f;        // weight of T
  float b = 0.0f;        // weight of S_0 + 2 S_1
  float r_dot_c = 0.0f;  // r . c
  float norm_sq = 0.0f;  // |v|^2
};

// Writes v's `planes` (1 or 2) planes relative to `centre` one after the
// other into bits[0, planes * binary_code_bytes(n)) and returns its terms;
// v and centre hold n components. Sums in double; a vector equal to the
// centre gets a = b = 0.
BinaryCodeTerms encode_binary(std::span<const float> v, std::span<const float> centre, unsigned planes,
                              std::uint8_t* bits);

// A query prepared for estimates against codes of one centre: its offset
// from the centre and the sums every estimate shares. `offset` must hold
// the query's dimension in floats and outlive the estimates.
struct BinaryQuery {
  const float* offset = nullptr;  // q - c
  std::size_t dimension = 0;
  float offset_sum = 0.0f;  // T
  float centre_dot = 0.0f;  // c . q

  // q . v estimated from S = S_0 + 2 S_1 (S_0 alone for one plane).
  float dot(float set_sum, const BinaryCodeTerms& t) const {
    return t.a * offset_sum + t.b * set_sum + t.r_dot_c + centre_dot;
  }
};
// Fills `offset` (query.size() floats) and returns the prepared query.
BinaryQuery prepare_binary_query(std::span<const float> query, std::span<const float> centre, float* offset);

// S for one row of bits: the sum of values[i] over the set bits i < n.
float portable_set_sum(const float* values, const std::uint8_t* bits, std::size_t n);
// S for eight rows at once into out[j], for rows[j] (a walk scores a node's
// neighbours together, so their rows are fetched in parallel). Chosen once
// per process: AVX-512 masked adds, AVX2 masks from a table, or portable.
using SetSum8 = void (*)(const float* values, const std::uint8_t* const* rows, std::size_t n, float* out);
SetSum8 set_sum8_kernel();
void portable_set_sum8(const float* values, const std::uint8_t* const* rows, std::size_t n, float* out);

// The popcount form: the query's offset rounded to QUERY_BITS bits per
// component, q'_i ~ low + step u_i, kept as QUERY_BITS bit planes of whole
// 64-byte chunks (chunks_for(n) of them per plane). Then for a code plane B
//   S ~ low popcount(B) + step sum_j 2^j popcount(B & Q_j),
// integer work only: about a third of the masked additions' instructions at
// d 384. The rounding adds an error far below the codes' own.
inline constexpr unsigned QUERY_BITS = 4;
inline constexpr std::size_t chunks_for(std::size_t n) { return (n + 511) / 512; }
struct PlaneQuery {
  float low = 0.0f;
  float step = 0.0f;
};
// Writes the planes of offset[0, n) into planes[0, QUERY_BITS * chunks_for(n) * 8).
PlaneQuery quantize_query_planes(const float* offset, std::size_t n, std::uint64_t* planes);
// For eight rows of `code_planes` (1 or 2) planes, plane_bytes apart:
// weighted[j] = sum_p 2^p sum_k 2^k popcount(B_p & Q_k) and
// counts[j] = sum_p 2^p popcount(B_p), over the bits below n. AVX-512 with
// VPOPCNTDQ (simd_avx512_popcnt.cc, only after cpu_has_avx512_popcnt()) and a
// portable twin.
void avx512_plane_dot8(const std::uint64_t* planes, std::size_t n, const std::uint8_t* const* rows,
                       std::size_t plane_bytes, unsigned code_planes, std::uint32_t* weighted,
                       std::uint32_t* counts);
// One row.
void avx512_plane_dot1(const std::uint64_t* planes, std::size_t n, const std::uint8_t* row, std::size_t plane_bytes,
                       unsigned code_planes, std::uint32_t* weighted, std::uint32_t* counts);
// quantize_query_planes with AVX-512 (the same planes bit for bit).
PlaneQuery avx512_quantize_query_planes(const float* offset, std::size_t n, std::uint64_t* planes);
void portable_plane_dot8(const std::uint64_t* planes, std::size_t n, const std::uint8_t* const* rows,
                         std::size_t plane_bytes, unsigned code_planes, std::uint32_t* weighted,
                         std::uint32_t* counts);

}  // namespace karvalith
