#include "core/hnsw/distance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/quantization/simd.h"

namespace karvalith {
namespace {

const DistanceMetric METRICS[] = {DistanceMetric::Cosine, DistanceMetric::Euclidean,
                                  DistanceMetric::DotProduct};

// Runs each test body once per kernel path this processor offers.
class DistanceOnEveryPath : public ::testing::TestWithParam<KernelPath> {
 protected:
  void SetUp() override {
    if (GetParam() == KernelPath::Avx2 && !cpu_has_avx2_fma()) {
      GTEST_SKIP() << "no AVX2+FMA on this processor";
    }
    set_kernel_path_for_testing(GetParam());
    ASSERT_EQ(active_kernel_path(), GetParam());
  }
  void TearDown() override { set_kernel_path_for_testing(KernelPath::Auto); }
};

INSTANTIATE_TEST_SUITE_P(Paths, DistanceOnEveryPath,
                         ::testing::Values(KernelPath::Portable, KernelPath::Avx2),
                         [](const auto& info) {
                           return info.param == KernelPath::Avx2 ? "Avx2" : "Portable";
                         });

TEST_P(DistanceOnEveryPath, ExactExamples) {
  std::vector<float> origin{0.0f, 0.0f}, p{3.0f, 4.0f}, a{1.0f, 2.0f}, b{3.0f, 4.0f};
  EXPECT_EQ(distance_exact(DistanceMetric::Euclidean, origin, p), 25.0f);
  EXPECT_EQ(distance_exact(DistanceMetric::DotProduct, a, b), -11.0f);
  // Larger inner products are closer.
  EXPECT_LT(distance_exact(DistanceMetric::DotProduct, a, std::vector<float>{6.0f, 8.0f}),
            distance_exact(DistanceMetric::DotProduct, a, b));

  std::vector<float> x(40), zero(40, 0.0f);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = 0.25f * static_cast<float>(i) - 3.0f;
  EXPECT_EQ(distance_exact(DistanceMetric::Cosine, zero, x), 1.0f);
  EXPECT_EQ(distance_exact(DistanceMetric::Cosine, x, zero), 1.0f);
  EXPECT_NEAR(distance_exact(DistanceMetric::Cosine, x, x), 0.0f, 1e-6f);
}

TEST_P(DistanceOnEveryPath, EmptyVectors) {
  std::vector<float> none;
  float dot = distance_exact(DistanceMetric::DotProduct, none, none);
  EXPECT_EQ(dot, 0.0f);
  EXPECT_TRUE(std::signbit(dot));
  float euclidean = distance_exact(DistanceMetric::Euclidean, none, none);
  EXPECT_EQ(euclidean, 0.0f);
  EXPECT_FALSE(std::signbit(euclidean));
  EXPECT_EQ(distance_exact(DistanceMetric::Cosine, none, none), 1.0f);
}

TEST_P(DistanceOnEveryPath, AsymmetricCosineDegenerateCases) {
  std::vector<float> query{0.5f, 0.5f, 0.5f};
  QuantizedVector flat = QuantizedVector::quantize(query);
  // Parallel query, but a flat stored vector has no direction.
  EXPECT_EQ(distance_asym_prenorm(DistanceMetric::Cosine, query, flat.view(), squared_norm(query)),
            1.0f);
  QuantizedVector varied = QuantizedVector::quantize(std::vector<float>{1.0f, 2.0f, 3.0f});
  EXPECT_EQ(distance_asym_prenorm(DistanceMetric::Cosine, query, varied.view(), 0.0f), 1.0f);
  std::vector<float> same{1.0f, 2.0f, 3.0f};
  const float same_norm = squared_norm(same);
  EXPECT_NEAR(distance_asym_prenorm(DistanceMetric::Cosine, same, varied.view(), same_norm), 0.0f,
              1e-6f);
}

TEST(SquaredNorm, SumsInIndexOrder) {
  EXPECT_EQ(squared_norm(std::vector<float>{1.0f, 2.0f, 3.0f}), 14.0f);
  EXPECT_EQ(squared_norm({}), 0.0f);
  // 1 + 2^-24 + 2^-24 loses both small terms in index order.
  const float tiny = std::ldexp(1.0f, -12);
  EXPECT_EQ(squared_norm(std::vector<float>{1.0f, tiny, tiny}), 1.0f);
}

TEST(KernelDispatch, ForcedPathsResolveToWhatTheProcessorHas) {
  const KernelPath hardware = cpu_has_avx2_fma() ? KernelPath::Avx2 : KernelPath::Portable;
  set_kernel_path_for_testing(KernelPath::Portable);
  EXPECT_EQ(active_kernel_path(), KernelPath::Portable);
  set_kernel_path_for_testing(KernelPath::Avx2);
  EXPECT_EQ(active_kernel_path(), hardware);
  set_kernel_path_for_testing(KernelPath::Auto);
  EXPECT_EQ(active_kernel_path(), hardware);
}

// Sum of absolute terms, the scale of the rounding error of any order.
double magnitude(DistanceMetric metric, const std::vector<float>& a, const std::vector<float>& b) {
  double m = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    double d = static_cast<double>(a[i]) - b[i];
    m += metric == DistanceMetric::Euclidean ? d * d : std::fabs(static_cast<double>(a[i]) * b[i]);
  }
  return metric == DistanceMetric::Cosine ? 1.0 : m;
}

TEST(KernelAgreement, Avx2AndPortableAgreeOnEveryMetricAndDimension) {
  if (!cpu_has_avx2_fma()) GTEST_SKIP() << "no AVX2+FMA on this processor";
  std::mt19937 rng(99);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 384u}) {
    for (int trial = 0; trial < 10; ++trial) {
      std::vector<float> a(n), b(n);
      for (float& x : a) x = dist(rng);
      for (float& x : b) x = dist(rng);
      QuantizedVector q = QuantizedVector::quantize(b);
      std::vector<float> deq(n);  // the stored vector as the kernels see it
      dequantize(q.view(), n, deq.data());
      const float norm_sq = squared_norm(a);

      for (DistanceMetric metric : METRICS) {
        set_kernel_path_for_testing(KernelPath::Avx2);
        float exact_avx2 = distance_exact(metric, a, b);
        float asym_avx2 = distance_asym_prenorm(metric, a, q.view(), norm_sq);
        set_kernel_path_for_testing(KernelPath::Portable);
        float exact_portable = distance_exact(metric, a, b);
        float asym_portable = distance_asym_prenorm(metric, a, q.view(), norm_sq);

        // Two unit roundoffs per term of the summed magnitudes.
        const double unit = 1.2e-7 * static_cast<double>(n + 2);
        const double exact_tol = unit * magnitude(metric, a, b);
        const double asym_tol = unit * magnitude(metric, a, deq);
        EXPECT_NEAR(exact_avx2, exact_portable, exact_tol + 1e-7)
            << "metric " << static_cast<int>(metric) << " n=" << n;
        EXPECT_NEAR(asym_avx2, asym_portable, asym_tol + 1e-7)
            << "metric " << static_cast<int>(metric) << " n=" << n;
      }
    }
  }
  set_kernel_path_for_testing(KernelPath::Auto);
}

}  // namespace
}  // namespace karvalith
