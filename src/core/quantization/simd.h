// AVX2+FMA kernels. They are compiled in their own translation unit with
// -mavx2 -mfma and must only be called after `cpu_has_avx2_fma()` said yes.
// The exact kernels of cosine return the *similarity*. Their sums are single
// precision: when one overflows the result is not finite (NaN for cosine),
// and callers recompute in double (the _f64 functions of scalar.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace karvalith {

// True when the processor has AVX2 and FMA and the OS saves the 256-bit
// register state. Queried once per process and cached.
bool cpu_has_avx2_fma();
// True when the processor has AVX-512 F, BW and VL and the OS saves the
// 512-bit and mask register state.
bool cpu_has_avx512();
// True when the processor also has AVX-VNNI (byte dot products into 32-bit
// sums, 256-bit forms).
bool cpu_has_avx_vnni();
// True when the processor has AVX-512 (as cpu_has_avx512) and AVX-512 VNNI.
bool cpu_has_avx512_vnni();
// True when the processor has AVX-512 (as cpu_has_avx512) and VPOPCNTDQ.
bool cpu_has_avx512_popcnt();

// The number of set bits in words[0..n) (VPOPCNTDQ, eight words an
// instruction; for cpu_has_avx512_popcnt processors).
std::uint64_t avx512_count_bits(const std::uint64_t* words, std::size_t n);

float avx2_dot_product_f32(const float* a, const float* b, std::size_t n);
float avx2_euclidean_sq_f32(const float* a, const float* b, std::size_t n);
float avx2_cosine_f32(const float* a, const float* b, std::size_t n);

float avx2_dot_product_asym(const float* query, const std::uint8_t* codes, float min,
                            float scale, std::size_t n);
float avx2_euclidean_sq_asym(const float* query, const std::uint8_t* codes, float min,
                             float scale, std::size_t n);
float avx2_cosine_asym_prenorm(const float* query, const std::uint8_t* codes, float min,
                               float scale, std::size_t n, float query_norm_sq);

// Sum of query[i] * codes[i], the codes taken as the numbers 0..255: the one
// stream a distance to a quantized vector needs once the query's sum and the
// vector's norm are known. Single precision, four partial sums.
float avx2_dot_f32_u8(const float* query, const std::uint8_t* codes, std::size_t n);
// The same for four (eight) code rows at once, out[j] for rows[j]: the rows'
// loads are interleaved, so a walk waits for the rows of several nodes in
// parallel instead of one after another, and each query value is loaded once
// for all of them.
void avx2_dot4_f32_u8(const float* query, const std::uint8_t* const* rows, std::size_t n, float* out);
void avx2_dot8_f32_u8(const float* query, const std::uint8_t* const* rows, std::size_t n, float* out);
// The same with AVX-512 (simd_avx512.cc): only after cpu_has_avx512().
void avx512_dot4_f32_u8(const float* query, const std::uint8_t* const* rows, std::size_t n, float* out);
void avx512_dot8_f32_u8(const float* query, const std::uint8_t* const* rows, std::size_t n, float* out);
// The sum of the codes and of their squares, exact.
void avx2_code_sums(const std::uint8_t* codes, std::size_t n, std::uint64_t& sum, std::uint64_t& sum_sq);
// Sum of a[i] * b[i] over two code rows, exact.
std::uint64_t avx2_dot_u8_u8(const std::uint8_t* a, const std::uint8_t* b, std::size_t n);
// Sum of rows[j][i] * query[i] for eight code rows at once, exact, into
// out[j]; `query` holds a query's codes less 128 (so that they fit a signed
// byte, as vpdpbusd wants them), and c . q = out[j] + 128 * sum(rows[j]).
// The rows' loads are interleaved as in avx2_dot8_f32_u8: a scan over rows
// scattered in memory waits for eight at a time instead of one.
void avx2_dot8_u8_i8(const std::int8_t* query, const std::uint8_t* const* rows, std::size_t n, std::int64_t* out);
// The same with AVX-512 (simd_avx512.cc): only after cpu_has_avx512().
void avx512_dot8_u8_i8(const std::int8_t* query, const std::uint8_t* const* rows, std::size_t n, std::int64_t* out);
// The same with AVX-512 VNNI (simd_avx512_vnni.cc), one instruction per 64
// codes: only after cpu_has_avx512_vnni().
void avx512vnni_dot8_u8_i8(const std::int8_t* query, const std::uint8_t* const* rows, std::size_t n,
                           std::int64_t* out);
// Sum of a[i] * b[i] over two code rows, exact, with AVX-512 VNNI (64 codes
// per instruction): only after cpu_has_avx512_vnni().
std::uint64_t avx512vnni_dot_u8_u8(const std::uint8_t* a, const std::uint8_t* b, std::size_t n);
// The sum of values[i] over the set bits i < n of eight rows of one-bit
// codes (binary_code.h), out[j] for rows[j]: AVX2 (simd_avx2.cc) and
// AVX-512 masked adds (simd_avx512.cc), after the matching cpu_has_ check.
void avx2_set_sum8(const float* values, const std::uint8_t* const* rows, std::size_t n, float* out);
void avx512_set_sum8(const float* values, const std::uint8_t* const* rows, std::size_t n, float* out);
// The same with AVX-VNNI (simd_vnni.cc): only after cpu_has_avx_vnni().
std::uint64_t vnni_dot_u8_u8(const std::uint8_t* a, const std::uint8_t* b, std::size_t n);

}  // namespace karvalith
