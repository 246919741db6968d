// AVX2+FMA kernels. They are compiled in their own translation unit with
// -mavx2 -mfma and must only be called after `cpu_has_avx2_fma()` said yes.
// The exact kernels of cosine return the *similarity*.
#pragma once

#include <cstddef>
#include <cstdint>

namespace karvalith {

// True when the processor has AVX2 and FMA and the OS saves the 256-bit
// register state. Queried once per process and cached.
bool cpu_has_avx2_fma();

float avx2_dot_product_f32(const float* a, const float* b, std::size_t n);
float avx2_euclidean_sq_f32(const float* a, const float* b, std::size_t n);
float avx2_cosine_f32(const float* a, const float* b, std::size_t n);

float avx2_dot_product_asym(const float* query, const std::uint8_t* codes, float min,
                            float scale, std::size_t n);
float avx2_euclidean_sq_asym(const float* query, const std::uint8_t* codes, float min,
                             float scale, std::size_t n);
float avx2_cosine_asym_prenorm(const float* query, const std::uint8_t* codes, float min,
                               float scale, std::size_t n, float query_norm_sq);

}  // namespace karvalith
