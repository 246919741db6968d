#include "core/quantization/simd.h"
#include "core/quantization/scalar.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

// The emulation below rounds each multiply and add on its own, as the
// kernels' tails must.

namespace karvalith {
namespace {

const std::size_t DIMENSIONS[] = {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 384};

// One sum of the kernel layout: lanes A hold components 0-7 of each 16-block,
// lanes B components 8-15, accumulated with fused multiply-add.
struct LaneSum {
  float a[8] = {};
  float b[8] = {};

  void fma(std::size_t i, float x, float y) {
    float& acc = (i % 16 < 8) ? a[i % 8] : b[i % 8];
    acc = std::fma(x, y, acc);
  }
  float reduce() const {
    float s[8], s4[4];
    for (int l = 0; l < 8; ++l) s[l] = b[l] + a[l];
    for (int l = 0; l < 4; ++l) s4[l] = s[l] + s[l + 4];
    return (s4[0] + s4[2]) + (s4[1] + s4[3]);
  }
};

struct Sums {
  float dot, na, nb;
};

// Exact kernels: dot, |a|^2, |b|^2 and squared distance in the kernel order.
Sums emulate_exact(const float* a, const float* b, std::size_t n, float* euclidean) {
  LaneSum dot, na, nb, eu;
  const std::size_t main = n - n % 16;
  for (std::size_t i = 0; i < main; ++i) {
    float d = a[i] - b[i];
    dot.fma(i, a[i], b[i]);
    na.fma(i, a[i], a[i]);
    nb.fma(i, b[i], b[i]);
    eu.fma(i, d, d);
  }
  Sums s{dot.reduce(), na.reduce(), nb.reduce()};
  *euclidean = eu.reduce();
  for (std::size_t i = main; i < n; ++i) {
    float d = a[i] - b[i];
    s.dot += a[i] * b[i];
    s.na += a[i] * a[i];
    s.nb += b[i] * b[i];
    *euclidean += d * d;
  }
  return s;
}

// Asymmetric kernels: dot with the dequantized values, their squared norm,
// and the squared distance.
Sums emulate_asym(const float* q, const std::uint8_t* codes, float min, float scale,
                  std::size_t n, float* euclidean) {
  LaneSum dot, nv, eu;
  const std::size_t main = n - n % 16;
  for (std::size_t i = 0; i < main; ++i) {
    float v = std::fma(static_cast<float>(codes[i]), scale, min);
    float d = q[i] - v;
    dot.fma(i, q[i], v);
    nv.fma(i, v, v);
    eu.fma(i, d, d);
  }
  Sums s{dot.reduce(), nv.reduce(), 0.0f};
  *euclidean = eu.reduce();
  for (std::size_t i = main; i < n; ++i) {
    float v = static_cast<float>(codes[i]) * scale + min;
    float d = q[i] - v;
    s.dot += q[i] * v;
    s.na += v * v;
    *euclidean += d * d;
  }
  return s;
}

class Avx2Kernels : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!cpu_has_avx2_fma()) GTEST_SKIP() << "no AVX2+FMA on this processor";
  }
  std::mt19937 rng{2024};
  std::vector<float> random_floats(std::size_t n) {
    std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
    std::vector<float> v(n);
    for (float& x : v) x = dist(rng);
    return v;
  }
};

TEST_F(Avx2Kernels, ExactKernelsFollowTheLaneLayoutBitForBit) {
  for (std::size_t n : DIMENSIONS) {
    for (int trial = 0; trial < 5; ++trial) {
      std::vector<float> a = random_floats(n), b = random_floats(n);
      float euclidean = 0.0f;
      Sums s = emulate_exact(a.data(), b.data(), n, &euclidean);
      float den = std::sqrt(s.na) * std::sqrt(s.nb);
      float cosine = den < 1e-10f ? 0.0f : s.dot / den;
      EXPECT_EQ(avx2_dot_product_f32(a.data(), b.data(), n), s.dot) << "n=" << n;
      EXPECT_EQ(avx2_euclidean_sq_f32(a.data(), b.data(), n), euclidean) << "n=" << n;
      EXPECT_EQ(avx2_cosine_f32(a.data(), b.data(), n), cosine) << "n=" << n;
    }
  }
}

TEST_F(Avx2Kernels, AsymmetricKernelsFollowTheLaneLayoutBitForBit) {
  std::uniform_int_distribution<int> code(0, 255);
  for (std::size_t n : DIMENSIONS) {
    for (int trial = 0; trial < 5; ++trial) {
      std::vector<float> q = random_floats(n);
      std::vector<std::uint8_t> codes(n);
      for (auto& c : codes) c = static_cast<std::uint8_t>(code(rng));
      const float min = -1.3f, scale = 2.7f / 255.0f;
      float norm_sq = 0.0f;
      for (float x : q) norm_sq += x * x;

      float euclidean = 0.0f;
      Sums s = emulate_asym(q.data(), codes.data(), min, scale, n, &euclidean);
      double den = std::sqrt(static_cast<double>(norm_sq)) * std::sqrt(static_cast<double>(s.na));
      float cosine = den < 1e-10 ? 0.0f : static_cast<float>(s.dot / den);
      EXPECT_EQ(avx2_dot_product_asym(q.data(), codes.data(), min, scale, n), s.dot) << "n=" << n;
      EXPECT_EQ(avx2_euclidean_sq_asym(q.data(), codes.data(), min, scale, n), euclidean)
          << "n=" << n;
      EXPECT_EQ(avx2_cosine_asym_prenorm(q.data(), codes.data(), min, scale, n, norm_sq), cosine)
          << "n=" << n;
    }
  }
}

TEST_F(Avx2Kernels, DegenerateCosineInputs) {
  // No memory is read when the query norm or the scale rules the result out.
  EXPECT_EQ(avx2_cosine_asym_prenorm(nullptr, nullptr, 0.5f, 0.1f, 1000, 0.0f), 0.0f);
  EXPECT_EQ(avx2_cosine_asym_prenorm(nullptr, nullptr, 0.5f, 0.0f, 1000, 4.0f), 0.0f);

  std::vector<float> zero(33, 0.0f), x = random_floats(33);
  EXPECT_EQ(avx2_cosine_f32(zero.data(), x.data(), 33), 0.0f);
  EXPECT_EQ(avx2_cosine_f32(x.data(), x.data(), 0), 0.0f);
  EXPECT_NEAR(avx2_cosine_f32(x.data(), x.data(), 33), 1.0f, 1e-6f);
}

// Every product at its largest over more than a chunk: a chunk's 32-bit
// lanes together pass 2^32, so they must be added in 64 bits.
TEST_F(Avx2Kernels, IntegerSumsOfLargeRowsOfExtremeCodesAreExact) {
  for (const std::size_t n : {std::size_t{1} << 17, (std::size_t{1} << 18) + 100, std::size_t{3} << 18}) {
    const std::vector<std::uint8_t> a(n, 255);
    const std::uint64_t want = std::uint64_t{n} * 255 * 255;
    EXPECT_EQ(portable_dot_u8_u8(a.data(), a.data(), n), want) << "n=" << n;
    EXPECT_EQ(avx2_dot_u8_u8(a.data(), a.data(), n), want) << "n=" << n;
    if (cpu_has_avx_vnni()) {
      EXPECT_EQ(vnni_dot_u8_u8(a.data(), a.data(), n), want) << "n=" << n;
    }
    if (cpu_has_avx512_vnni()) {
      EXPECT_EQ(avx512vnni_dot_u8_u8(a.data(), a.data(), n), want) << "n=" << n;
    }
    std::uint64_t sum = 0, sum_sq = 0;
    avx2_code_sums(a.data(), n, sum, sum_sq);
    EXPECT_EQ(sum, std::uint64_t{n} * 255) << "n=" << n;
    EXPECT_EQ(sum_sq, want) << "n=" << n;
  }
}

// The grouped integer kernels of the filtered scan: eight code rows against
// a query's codes less 128, exact, at every tail length and past the chunk
// after which their 32-bit lanes are widened (rows of 255 against a query
// of -128 put the most into each lane).
TEST_F(Avx2Kernels, GroupedIntegerDotsAreExact) {
  std::uniform_int_distribution<int> code(0, 255);
  std::vector<std::size_t> lengths(std::begin(DIMENSIONS), std::end(DIMENSIONS));
  for (std::size_t n : {std::size_t{63}, std::size_t{64}, std::size_t{65}, std::size_t{127},
                        (std::size_t{1} << 16) + 40, std::size_t{3} << 16}) {
    lengths.push_back(n);
  }
  for (const std::size_t n : lengths) {
    const bool extreme = n > 100000;
    std::vector<std::int8_t> query(n);
    for (auto& q : query) q = static_cast<std::int8_t>(extreme ? -128 : code(rng) - 128);
    // Each row at the very end of its own buffer, so that ASan sees a read past it.
    std::vector<std::unique_ptr<std::uint8_t[]>> rows;
    const std::uint8_t* row_ptrs[8];
    std::int64_t want[8];
    for (std::size_t j = 0; j < 8; ++j) {
      rows.emplace_back(new std::uint8_t[n == 0 ? 1 : n]);
      want[j] = 0;
      for (std::size_t i = 0; i < n; ++i) {
        rows[j][i] = static_cast<std::uint8_t>(extreme ? 255 : code(rng));
        want[j] += std::int64_t{query[i]} * rows[j][i];
      }
      row_ptrs[j] = rows[j].get();
    }
    std::int64_t out[8];
    portable_dot8_u8_i8(query.data(), row_ptrs, n, out);
    for (std::size_t j = 0; j < 8; ++j) EXPECT_EQ(out[j], want[j]) << "portable n=" << n << " row " << j;
    avx2_dot8_u8_i8(query.data(), row_ptrs, n, out);
    for (std::size_t j = 0; j < 8; ++j) EXPECT_EQ(out[j], want[j]) << "avx2 n=" << n << " row " << j;
    if (cpu_has_avx512()) {
      avx512_dot8_u8_i8(query.data(), row_ptrs, n, out);
      for (std::size_t j = 0; j < 8; ++j) EXPECT_EQ(out[j], want[j]) << "avx512 n=" << n << " row " << j;
    }
    if (cpu_has_avx512_vnni()) {
      avx512vnni_dot8_u8_i8(query.data(), row_ptrs, n, out);
      for (std::size_t j = 0; j < 8; ++j) EXPECT_EQ(out[j], want[j]) << "vnni n=" << n << " row " << j;
    }
  }
}

TEST_F(Avx2Kernels, CodeStreamsMatchThePortableLoops) {
  std::uniform_int_distribution<int> code(0, 255);
  std::vector<std::size_t> lengths(std::begin(DIMENSIONS), std::end(DIMENSIONS));
  lengths.push_back(63);
  lengths.push_back(65);
  lengths.push_back((std::size_t{1} << 18) + 100);  // past a chunk of the integer kernels
  for (std::size_t n : lengths) {
    std::vector<float> q = random_floats(n);
    std::vector<std::uint8_t> a(n), b(n);
    for (auto& c : a) c = static_cast<std::uint8_t>(code(rng));
    for (auto& c : b) c = static_cast<std::uint8_t>(code(rng));
    // Extremes too: every product at its largest.
    if (n > 3) a[0] = b[0] = 255, a[n - 1] = b[n - 1] = 255;

    const std::uint64_t exact = portable_dot_u8_u8(a.data(), b.data(), n);
    std::uint64_t reference = 0;
    for (std::size_t i = 0; i < n; ++i) reference += std::uint64_t{a[i]} * b[i];
    EXPECT_EQ(exact, reference) << "n=" << n;
    EXPECT_EQ(avx2_dot_u8_u8(a.data(), b.data(), n), exact) << "n=" << n;
    std::uint64_t code_sum = 0, code_sum_sq = 0, want_sum = 0, want_sq = 0;
    for (const std::uint8_t c : a) want_sum += c, want_sq += std::uint64_t{c} * c;
    avx2_code_sums(a.data(), n, code_sum, code_sum_sq);
    EXPECT_EQ(code_sum, want_sum) << "n=" << n;
    EXPECT_EQ(code_sum_sq, want_sq) << "n=" << n;
    if (cpu_has_avx_vnni()) {
      EXPECT_EQ(vnni_dot_u8_u8(a.data(), b.data(), n), exact) << "n=" << n;
    }
    if (cpu_has_avx512_vnni()) {
      // Copies at the very end of their buffers: ASan sees a read past either.
      std::unique_ptr<std::uint8_t[]> tight_a(new std::uint8_t[n == 0 ? 1 : n]), tight_b(new std::uint8_t[n == 0 ? 1 : n]);
      std::copy(a.begin(), a.end(), tight_a.get());
      std::copy(b.begin(), b.end(), tight_b.get());
      EXPECT_EQ(avx512vnni_dot_u8_u8(tight_a.get(), tight_b.get(), n), exact) << "n=" << n;
    }
    // Float sums in another order: equal to rounding.
    double sum = 0.0, magnitude = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      sum += static_cast<double>(q[i]) * a[i];
      magnitude += std::fabs(static_cast<double>(q[i])) * a[i];
    }
    const double tolerance = 1e-5 * magnitude + 1e-6;
    EXPECT_NEAR(avx2_dot_f32_u8(q.data(), a.data(), n), sum, tolerance) << "n=" << n;
    EXPECT_NEAR(portable_dot_f32_u8(q.data(), a.data(), n), sum, tolerance) << "n=" << n;

    // The grouped forms: row j of eight distinct rows lands in out[j].
    if (n > 100000) continue;
    std::vector<std::vector<std::uint8_t>> rows(8, std::vector<std::uint8_t>(n));
    const std::uint8_t* row_ptrs[8];
    for (std::size_t j = 0; j < 8; ++j) {
      for (auto& c : rows[j]) c = static_cast<std::uint8_t>(code(rng));
      row_ptrs[j] = rows[j].data();
    }
    float out[8];
    avx2_dot8_f32_u8(q.data(), row_ptrs, n, out);
    for (std::size_t j = 0; j < 8; ++j) {
      EXPECT_NEAR(out[j], portable_dot_f32_u8(q.data(), row_ptrs[j], n), tolerance * 2) << "n=" << n << " row " << j;
    }
    avx2_dot4_f32_u8(q.data(), row_ptrs + 4, n, out);
    for (std::size_t j = 0; j < 4; ++j) {
      EXPECT_NEAR(out[j], portable_dot_f32_u8(q.data(), row_ptrs[4 + j], n), tolerance * 2) << "n=" << n << " row " << j;
    }
    if (cpu_has_avx512()) {
      // Masked tails read nothing past a row: copies at the very end of
      // their buffers let ASan see any overrun.
      std::vector<std::unique_ptr<std::uint8_t[]>> tight;
      const std::uint8_t* tight_ptrs[8];
      for (std::size_t j = 0; j < 8; ++j) {
        tight.emplace_back(new std::uint8_t[n == 0 ? 1 : n]);
        std::copy(rows[j].begin(), rows[j].end(), tight.back().get());
        tight_ptrs[j] = tight.back().get();
      }
      avx512_dot8_f32_u8(q.data(), tight_ptrs, n, out);
      for (std::size_t j = 0; j < 8; ++j) {
        EXPECT_NEAR(out[j], portable_dot_f32_u8(q.data(), row_ptrs[j], n), tolerance * 2) << "n=" << n << " row " << j;
      }
      avx512_dot4_f32_u8(q.data(), tight_ptrs, n, out);
      for (std::size_t j = 0; j < 4; ++j) {
        EXPECT_NEAR(out[j], portable_dot_f32_u8(q.data(), row_ptrs[j], n), tolerance * 2) << "n=" << n << " row " << j;
      }
    }
  }
}

}  // namespace
}  // namespace karvalith
