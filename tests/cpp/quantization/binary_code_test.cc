#include "core/quantization/binary_code.h"
#include "core/quantization/simd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace karvalith {
namespace {

std::vector<std::pair<const char*, SetSum8>> set_sum_kernels() {
  std::vector<std::pair<const char*, SetSum8>> kernels = {{"portable", portable_set_sum8}};
  if (cpu_has_avx2_fma()) kernels.emplace_back("avx2", avx2_set_sum8);
  if (cpu_has_avx512()) kernels.emplace_back("avx512", avx512_set_sum8);
  return kernels;
}

// Every kernel sums exactly the values under set bits below n: rows end at
// their buffers' last byte (ASan sees a read past it), and the bits past n in
// the last byte are set, so a kernel that reads them sums a value it must not.
TEST(BinaryCodes, SetSumsAddTheValuesUnderSetBitsOnly) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> value(-2.0f, 2.0f);
  for (const auto& [name, kernel] : set_sum_kernels()) {
    for (std::size_t n : {1u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 23u, 24u, 31u, 33u, 63u, 64u, 65u, 100u, 384u}) {
      // A value after the n-th: a kernel reading past n adds it.
      std::vector<float> values(n + 16);
      for (float& v : values) v = value(rng);
      std::vector<std::unique_ptr<std::uint8_t[]>> rows;
      const std::uint8_t* pointers[8];
      double expected[8];
      double magnitude = 0.0;
      for (std::size_t i = 0; i < n; ++i) magnitude += std::fabs(values[i]);
      for (int j = 0; j < 8; ++j) {
        rows.emplace_back(new std::uint8_t[binary_code_bytes(n)]);
        std::uint8_t* row = rows.back().get();
        for (std::size_t b = 0; b < binary_code_bytes(n); ++b) row[b] = static_cast<std::uint8_t>(rng());
        if (n % 8 != 0) row[n / 8] |= static_cast<std::uint8_t>(0xFFu << (n % 8));
        if (j == 0) std::fill_n(row, binary_code_bytes(n), std::uint8_t{0xFF});
        if (j == 1) std::fill_n(row, binary_code_bytes(n), std::uint8_t{0});
        expected[j] = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
          if ((row[i / 8] >> (i % 8) & 1) != 0) expected[j] += values[i];
        }
        pointers[j] = row;
      }
      float out[8];
      kernel(values.data(), pointers, n, out);
      for (int j = 0; j < 8; ++j) {
        EXPECT_NEAR(out[j], expected[j], 1e-5 * magnitude + 1e-6) << name << " n " << n << " row " << j;
        EXPECT_NEAR(portable_set_sum(values.data(), pointers[j], n), expected[j], 1e-5 * magnitude + 1e-6);
      }
    }
  }
}

// Both codes estimate exactly where the offset from the centre lies on their
// grid up to scale: one bit, offsets of equal magnitude; two bits, offsets of
// +-0.5 a and +-1.5 a in equal numbers. The centre itself is exact too. The
// bits are the grid positions and the terms the stored sums.
TEST(BinaryCodes, EstimatesAreExactOnTheirGridAndAtTheCentre) {
  std::mt19937 rng(11);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (const unsigned planes : {1u, 2u}) {
    for (std::size_t n : {4u, 12u, 32u, 384u}) {
      std::vector<float> centre(n), query(n), v(n), offset(n);
      std::vector<unsigned> level(n);
      for (std::size_t i = 0; i < n; ++i) level[i] = planes == 1 ? 3 * (rng() % 2) : i % 4;
      std::shuffle(level.begin(), level.end(), rng);
      for (std::size_t i = 0; i < n; ++i) {
        centre[i] = normal(rng);
        query[i] = normal(rng);
        v[i] = centre[i] + 0.25f * (static_cast<float>(level[i]) - 1.5f);
      }
      std::vector<std::uint8_t> bits(planes * binary_code_bytes(n));
      const BinaryCodeTerms terms = encode_binary(v, centre, planes, bits.data());
      double exact = 0.0, centre_dot = 0.0, norm_sq = 0.0, r_dot_c = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        exact += static_cast<double>(v[i]) * query[i];
        centre_dot += static_cast<double>(centre[i]) * query[i];
        norm_sq += static_cast<double>(v[i]) * v[i];
        r_dot_c += (static_cast<double>(v[i]) - centre[i]) * centre[i];
        const unsigned low = bits[i / 8] >> (i % 8) & 1;
        const unsigned high = planes == 2 ? bits[binary_code_bytes(n) + i / 8] >> (i % 8) & 1 : 0;
        EXPECT_EQ(planes == 1 ? 3 * low : low + 2 * high, level[i]) << planes << " bits, component " << i;
      }
      EXPECT_NEAR(terms.norm_sq, norm_sq, 1e-5 * norm_sq);
      EXPECT_NEAR(terms.r_dot_c, r_dot_c, 1e-4 * (1.0 + std::fabs(r_dot_c)));
      const BinaryQuery prepared = prepare_binary_query(query, centre, offset.data());
      EXPECT_NEAR(prepared.centre_dot, centre_dot, 1e-4 * (1.0 + std::fabs(centre_dot)));
      float set_sum = portable_set_sum(offset.data(), bits.data(), n);
      if (planes == 2) set_sum += 2.0f * portable_set_sum(offset.data(), bits.data() + binary_code_bytes(n), n);
      EXPECT_NEAR(prepared.dot(set_sum, terms), exact, 1e-3 * (1.0 + std::fabs(exact))) << planes << " bits, n " << n;

      const BinaryCodeTerms at_centre = encode_binary(centre, centre, planes, bits.data());
      EXPECT_EQ(at_centre.a, 0.0f);
      EXPECT_EQ(at_centre.b, 0.0f);
      EXPECT_EQ(at_centre.r_dot_c, 0.0f);
      EXPECT_NEAR(prepared.dot(set_sum, at_centre), centre_dot, 1e-4 * (1.0 + std::fabs(centre_dot)));
    }
  }
}

// The popcount form: the AVX-512 planes and sums equal the portable ones bit
// for bit, and the sum they give is within half a step per set bit of the
// exact S (each component is rounded by at most half a step).
TEST(BinaryCodes, PopcountSumsMatchTheirTwinAndBoundTheRounding) {
  std::mt19937 rng(5);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (std::size_t n : {1u, 7u, 63u, 64u, 65u, 100u, 384u, 511u, 512u, 513u, 1000u}) {
    std::vector<float> offset(n);
    for (float& x : offset) x = normal(rng);
    const std::size_t words = QUERY_BITS * chunks_for(n) * 8;
    std::vector<std::uint64_t> planes(words), wide_planes(words, ~std::uint64_t{0});
    const PlaneQuery query = quantize_query_planes(offset.data(), n, planes.data());
    for (std::size_t i = 0; i < n; ++i) {
      unsigned u = 0;
      for (unsigned j = 0; j < QUERY_BITS; ++j) u |= (planes[j * chunks_for(n) * 8 + i / 64] >> (i % 64) & 1) << j;
      EXPECT_LE(std::fabs(query.low + query.step * static_cast<float>(u) - offset[i]), 0.5001f * query.step + 1e-6f);
    }
    for (unsigned planes_per_code : {1u, 2u}) {
      const std::size_t plane_bytes = binary_code_bytes(n);
      std::vector<std::unique_ptr<std::uint8_t[]>> rows;
      const std::uint8_t* pointers[8];
      for (int j = 0; j < 8; ++j) {
        rows.emplace_back(new std::uint8_t[planes_per_code * plane_bytes]);
        for (std::size_t b = 0; b < planes_per_code * plane_bytes; ++b) rows.back()[b] = static_cast<std::uint8_t>(rng());
        // Bits past n set: they must not count.
        if (n % 8 != 0) rows.back()[plane_bytes - 1] |= static_cast<std::uint8_t>(0xFFu << (n % 8));
        pointers[j] = rows.back().get();
      }
      std::uint32_t weighted[8], counts[8];
      portable_plane_dot8(planes.data(), n, pointers, plane_bytes, planes_per_code, weighted, counts);
      for (int j = 0; j < 8; ++j) {
        double exact = 0.0;
        std::uint32_t set = 0;
        for (unsigned p = 0; p < planes_per_code; ++p) {
          for (std::size_t i = 0; i < n; ++i) {
            if ((pointers[j][p * plane_bytes + i / 8] >> (i % 8) & 1) == 0) continue;
            exact += static_cast<double>(1u << p) * offset[i];
            set += 1u << p;
          }
        }
        EXPECT_EQ(counts[j], set) << n;
        const double approx = static_cast<double>(query.low) * counts[j] + static_cast<double>(query.step) * weighted[j];
        EXPECT_LE(std::fabs(approx - exact), 0.5001 * query.step * set + 1e-4) << n << " row " << j;
      }
      if (!cpu_has_avx512_popcnt()) continue;
      const PlaneQuery wide = avx512_quantize_query_planes(offset.data(), n, wide_planes.data());
      EXPECT_EQ(wide.low, query.low);
      EXPECT_EQ(wide.step, query.step);
      EXPECT_EQ(wide_planes, planes) << n;
      std::uint32_t wide_weighted[8], wide_counts[8], one_weighted, one_count;
      avx512_plane_dot8(planes.data(), n, pointers, plane_bytes, planes_per_code, wide_weighted, wide_counts);
      avx512_plane_dot1(planes.data(), n, pointers[3], plane_bytes, planes_per_code, &one_weighted, &one_count);
      for (int j = 0; j < 8; ++j) {
        EXPECT_EQ(wide_weighted[j], weighted[j]) << n << " row " << j;
        EXPECT_EQ(wide_counts[j], counts[j]) << n << " row " << j;
      }
      EXPECT_EQ(one_weighted, weighted[3]);
      EXPECT_EQ(one_count, counts[3]);
    }
  }
  // A flat offset: every level 0, the low value exact.
  std::vector<float> flat(40, 0.75f);
  std::vector<std::uint64_t> planes(QUERY_BITS * 8, ~std::uint64_t{0});
  const PlaneQuery query = quantize_query_planes(flat.data(), flat.size(), planes.data());
  EXPECT_EQ(query.low, 0.75f);
  EXPECT_EQ(query.step, 0.0f);
  for (const std::uint64_t word : planes) EXPECT_EQ(word, 0u);
  if (cpu_has_avx512_popcnt()) {
    std::fill(planes.begin(), planes.end(), ~std::uint64_t{0});
    const PlaneQuery wide = avx512_quantize_query_planes(flat.data(), flat.size(), planes.data());
    EXPECT_EQ(wide.low, 0.75f);
    EXPECT_EQ(wide.step, 0.0f);
    for (const std::uint64_t word : planes) EXPECT_EQ(word, 0u);
  }
}

}  // namespace
}  // namespace karvalith
