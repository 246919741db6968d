#include "core/hnsw/distance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
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

// Scalar double references: the exact distance of two float vectors, and
// the asymmetric one over the stored vector's components in double.
double reference_distance(DistanceMetric metric, const std::vector<double>& a, const std::vector<double>& b) {
  double dot = 0.0, na = 0.0, nb = 0.0, euclidean = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    dot += a[i] * b[i];
    na += a[i] * a[i];
    nb += b[i] * b[i];
    euclidean += (a[i] - b[i]) * (a[i] - b[i]);
  }
  switch (metric) {
    case DistanceMetric::Cosine: return 1.0 - dot / (std::sqrt(na) * std::sqrt(nb));
    case DistanceMetric::Euclidean: return euclidean;
    case DistanceMetric::DotProduct: return -dot;
  }
  return 0.0;
}

std::vector<double> widened(const std::vector<float>& v) { return {v.begin(), v.end()}; }

std::vector<double> components(const QuantizedVector& q) {
  std::vector<double> out(q.codes.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = dequantized_f64(q.view(), i);
  return out;
}

// A float result against the double reference: infinite with the right sign
// where the reference is beyond the float range, otherwise within `tolerance`.
void expect_rounds_to(float got, double want, double tolerance, const std::string& what) {
  ASSERT_FALSE(std::isnan(got)) << what;
  if (std::fabs(want) > static_cast<double>(LARGEST_F32) * (1.0 + 1e-6)) {
    EXPECT_TRUE(std::isinf(got) && (got > 0) == (want > 0)) << what << ": " << got << " for " << want;
  } else {
    EXPECT_NEAR(got, want, tolerance) << what;
  }
}

TEST_P(DistanceOnEveryPath, LargeMagnitudesMatchADoubleReference) {
  // Components up to the float limit on either side or both: every sum that
  // single precision cannot hold must come out of double precision.
  std::mt19937 rng(404);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  const int exponents[] = {0, 50, 70, 100, 120, 127};
  for (const std::size_t n : {1u, 7u, 16u, 17u, 33u, 384u}) {
    for (const int ea : exponents) {
      for (const int eb : exponents) {
        std::vector<float> a(n), b(n);
        // The factor 1.99 lets the largest values reach about 3.4e38 at 2^127.
        for (float& x : a) x = std::ldexp(unit(rng) * 0.995f, ea + 1);
        for (float& x : b) x = std::ldexp(unit(rng) * 0.995f, eb + 1);
        const QuantizedVector q = QuantizedVector::quantize(b);
        const std::vector<double> da = widened(a), db = widened(b), dq = components(q);
        for (const DistanceMetric metric : METRICS) {
          const std::string what = std::string(distance_metric_name(metric)) + " n=" + std::to_string(n) +
                                   " 2^" + std::to_string(ea) + " vs 2^" + std::to_string(eb);
          // Rounding of float sums: a few units per term of the magnitude.
          double exact_magnitude = 0.0, asym_magnitude = 0.0;
          for (std::size_t i = 0; i < n; ++i) {
            exact_magnitude += metric == DistanceMetric::Euclidean ? (da[i] - db[i]) * (da[i] - db[i])
                                                                   : std::fabs(da[i] * db[i]);
            asym_magnitude += metric == DistanceMetric::Euclidean ? (da[i] - dq[i]) * (da[i] - dq[i])
                                                                  : std::fabs(da[i] * dq[i]);
          }
          const double unit_error = 2.4e-7 * static_cast<double>(n + 2);
          const double exact_tol = metric == DistanceMetric::Cosine ? unit_error : unit_error * exact_magnitude;
          const double asym_tol = metric == DistanceMetric::Cosine ? unit_error : unit_error * asym_magnitude;
          expect_rounds_to(distance_exact(metric, a, b), reference_distance(metric, da, db), exact_tol,
                           "exact " + what);
          // A flat stored vector (n = 1) has no direction: cosine distance 1.
          const double asym_want =
              metric == DistanceMetric::Cosine && q.scale == 0.0f ? 1.0 : reference_distance(metric, da, dq);
          expect_rounds_to(distance_asym_prenorm(metric, a, q.view(), squared_norm(a)), asym_want, asym_tol,
                           "asym " + what);
          expect_rounds_to(distance_exact_f64(metric, a, b), reference_distance(metric, da, db), exact_tol,
                           "exact f64 " + what);
          expect_rounds_to(distance_asym_f64(metric, a, q.view()), asym_want, asym_tol, "asym f64 " + what);
        }
        // A vector against itself: cosine distance 0, also at the float limit.
        EXPECT_NEAR(distance_exact(DistanceMetric::Cosine, b, b), 0.0f, 1e-6f) << "n=" << n << " 2^" << eb;
        if (q.scale != 0.0f) {
          std::vector<float> stored(n);
          dequantize(q.view(), n, stored.data());
          EXPECT_NEAR(distance_asym_prenorm(DistanceMetric::Cosine, stored, q.view(), squared_norm(stored)), 0.0f,
                      1e-6f)
              << "n=" << n << " 2^" << eb;
        }
      }
    }
  }
}

TEST(PrepareQuery, ScalesOnlyHugeCosineQueriesByAPowerOfTwo) {
  std::vector<float> buffer;
  const std::vector<float> ordinary{0.5f, -3.0f, 1e12f};
  for (const DistanceMetric metric : METRICS) {
    const PreparedQuery same = prepare_query(metric, ordinary, buffer);
    EXPECT_EQ(same.values.data(), ordinary.data());
    EXPECT_EQ(same.norm_sq, squared_norm(ordinary));
  }
  const std::vector<float> huge{3e38f, -1.5e38f, 1.0f, 0.0f, 7e20f};
  for (const DistanceMetric metric : {DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    EXPECT_EQ(prepare_query(metric, huge, buffer).values.data(), huge.data());
  }
  const PreparedQuery scaled = prepare_query(DistanceMetric::Cosine, huge, buffer);
  ASSERT_EQ(scaled.values.size(), huge.size());
  ASSERT_NE(scaled.values.data(), huge.data());
  // 3e38 lies in [2^127, 2^128): every component is multiplied by 2^-127.
  for (std::size_t i = 0; i < huge.size(); ++i) EXPECT_EQ(scaled.values[i], std::ldexp(huge[i], -127)) << i;
  EXPECT_EQ(scaled.norm_sq, squared_norm(scaled.values));
  EXPECT_TRUE(std::isfinite(scaled.norm_sq));
  // The scaled query has the cosine of the original.
  const QuantizedVector stored = QuantizedVector::quantize(std::vector<float>{2e38f, -1e38f, 5.0f, 1.0f, 3e30f});
  EXPECT_NEAR(distance_asym_prenorm(DistanceMetric::Cosine, scaled.values, stored.view(), scaled.norm_sq),
              distance_asym_f64(DistanceMetric::Cosine, huge, stored.view()), 1e-6f);
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
