#include "core/quantization/scalar.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace karvalith {
namespace {

std::vector<float> random_vector(std::mt19937& rng, std::size_t n, float lo, float hi) {
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

std::vector<float> dequantized(const QuantizedVector& q) {
  std::vector<float> out(q.codes.size());
  dequantize(q.view(), out.size(), out.data());
  return out;
}

TEST(Quantize, DocumentedExamples) {
  QuantizedVector a = QuantizedVector::quantize(std::vector<float>{0.0f, 1.0f});
  EXPECT_EQ(a.codes, (std::vector<std::uint8_t>{0, 255}));
  EXPECT_EQ(a.min, 0.0f);
  EXPECT_EQ(a.scale, 1.0f / 255.0f);

  // 127.5 rounds away from zero.
  QuantizedVector b = QuantizedVector::quantize(std::vector<float>{0.0f, 0.5f, 1.0f});
  EXPECT_EQ(b.codes, (std::vector<std::uint8_t>{0, 128, 255}));

  QuantizedVector c = QuantizedVector::quantize(std::vector<float>{-1.0f, 3.0f});
  EXPECT_EQ(c.codes, (std::vector<std::uint8_t>{0, 255}));
  EXPECT_EQ(c.min, -1.0f);
  EXPECT_EQ(c.scale, 4.0f / 255.0f);
}

TEST(Quantize, CodesRoundHalvesAwayFromZeroAsRoundfDoes) {
  // With min 0 and max 255 each step is the value itself: every quarter
  // step and the floats next to it, halves included.
  std::vector<float> v{0.0f, 255.0f};
  for (int quarter = 0; quarter <= 1020; ++quarter) {
    const float x = static_cast<float>(quarter) / 4.0f;
    for (float y : {std::nextafter(x, -1.0f), x, std::nextafter(x, 256.0f)}) {
      if (y >= 0.0f && y <= 255.0f) v.push_back(y);
    }
  }
  v.push_back(std::numeric_limits<float>::quiet_NaN());
  const QuantizedVector q = QuantizedVector::quantize(v);
  ASSERT_EQ(q.min, 0.0f);
  ASSERT_EQ(q.scale, 1.0f);
  for (std::size_t i = 0; i < v.size(); ++i) {
    const float rounded = std::roundf(v[i]);
    const std::uint8_t expected = !(rounded >= 0.0f) ? 0 : rounded > 255.0f ? 255 : static_cast<std::uint8_t>(rounded);
    ASSERT_EQ(q.codes[i], expected) << "value " << v[i];
  }
}

// The quantizer takes four components at a time; a loop in order over
// the same vectors is the reference, codes, min and scale bit for bit
// (the sign of a zero extreme included), at every tail length.
TEST(Quantize, MatchesAnInOrderReferenceBitForBit) {
  auto reference = [](const std::vector<float>& v) {
    float min = LARGEST_F32, max = -LARGEST_F32;
    for (float x : v) {
      if (x < min) min = x;
      if (x > max) max = x;
    }
    QuantizedVector out;
    out.min = min;
    const float range = max - min;
    if (range < QUANT_EPSILON) {
      out.codes.assign(v.size(), FLAT_CODE);
      return out;
    }
    const float inv = 255.0f / range;
    for (float x : v) {
      const float r = std::roundf((x - min) * inv);
      out.codes.push_back(!(r >= 0.0f) ? 0 : r > 255.0f ? 255 : static_cast<std::uint8_t>(r));
    }
    out.scale = range / 255.0f;
    return out;
  };
  std::mt19937 rng(5);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (std::size_t n = 1; n <= 40; ++n) {
    for (int round = 0; round < 20; ++round) {
      std::vector<float> v = random_vector(rng, n, -2.0f, 3.0f);
      std::uniform_int_distribution<std::size_t> at(0, n - 1);
      if (round % 4 == 1) v[at(rng)] = nan;
      if (round % 4 == 2) {
        // Zero extremes of both signs, in either order.
        for (float& x : v) x = std::fabs(x);
        v[at(rng)] = -0.0f;
        v[at(rng)] = 0.0f;
      }
      if (round % 4 == 3) {
        for (float& x : v) x = -std::fabs(x);
        v[at(rng)] = 0.0f;
        v[at(rng)] = -0.0f;
      }
      const QuantizedVector got = QuantizedVector::quantize(v);
      const QuantizedVector want = reference(v);
      ASSERT_EQ(got.codes, want.codes) << "n=" << n << " round " << round;
      ASSERT_EQ(std::signbit(got.min), std::signbit(want.min)) << "n=" << n << " round " << round;
      ASSERT_EQ(got.min, want.min) << "n=" << n;
      ASSERT_EQ(got.scale, want.scale) << "n=" << n;
    }
  }
}

TEST(Quantize, EmptyAndFlatVectors) {
  QuantizedVector empty = QuantizedVector::quantize({});
  EXPECT_TRUE(empty.codes.empty());
  EXPECT_EQ(empty.min, 0.0f);
  EXPECT_EQ(empty.scale, 0.0f);

  QuantizedVector flat = QuantizedVector::quantize(std::vector<float>{0.5f, 0.5f, 0.5f});
  EXPECT_EQ(flat.codes, (std::vector<std::uint8_t>{128, 128, 128}));
  EXPECT_EQ(flat.min, 0.5f);
  EXPECT_EQ(flat.scale, 0.0f);
  EXPECT_EQ(dequantized(flat), (std::vector<float>{0.5f, 0.5f, 0.5f}));

  // A range of 2^-24 is flat; a range of exactly 2^-23 is not.
  QuantizedVector tiny =
      QuantizedVector::quantize(std::vector<float>{0.5f, std::nextafter(0.5f, 1.0f)});
  EXPECT_EQ(tiny.scale, 0.0f);
  EXPECT_EQ(tiny.codes, (std::vector<std::uint8_t>{128, 128}));
  QuantizedVector edge =
      QuantizedVector::quantize(std::vector<float>{1.0f, std::nextafter(1.0f, 2.0f)});
  EXPECT_EQ(edge.codes, (std::vector<std::uint8_t>{0, 255}));
}

TEST(Quantize, NonFiniteComponentsGiveDefinedCodes) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();

  // NaN is never an extreme and gets code 0.
  QuantizedVector with_nan = QuantizedVector::quantize(std::vector<float>{nan, 0.0f, 1.0f});
  EXPECT_EQ(with_nan.min, 0.0f);
  EXPECT_EQ(with_nan.scale, 1.0f / 255.0f);
  EXPECT_EQ(with_nan.codes, (std::vector<std::uint8_t>{0, 0, 255}));

  QuantizedVector all_nan = QuantizedVector::quantize(std::vector<float>{nan, nan});
  EXPECT_EQ(all_nan.codes, (std::vector<std::uint8_t>{128, 128}));
  EXPECT_EQ(all_nan.scale, 0.0f);
  EXPECT_EQ(all_nan.min, LARGEST_F32);

  // Infinite range: inv is 0 and every product is NaN or 0, so every code is 0.
  QuantizedVector with_inf = QuantizedVector::quantize(std::vector<float>{-inf, 0.0f, 1.0f});
  EXPECT_EQ(with_inf.codes, (std::vector<std::uint8_t>{0, 0, 0}));
  EXPECT_EQ(with_inf.min, -inf);
  EXPECT_EQ(with_inf.scale, inf);
}

TEST(Quantize, RoundTripWithinHalfAStep) {
  std::mt19937 rng(7);
  for (std::size_t n : {2u, 9u, 64u, 384u}) {
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<float> v = random_vector(rng, n, -5.0f, 5.0f);
      QuantizedVector q = QuantizedVector::quantize(v);
      std::vector<float> back = dequantized(q);
      std::size_t lo = 0, hi = 0;
      for (std::size_t i = 0; i < n; ++i) {
        if (v[i] < v[lo]) lo = i;
        if (v[i] > v[hi]) hi = i;
        EXPECT_LE(std::fabs(back[i] - v[i]), q.scale * 0.5f + 1e-5f) << "n=" << n << " i=" << i;
      }
      EXPECT_EQ(q.codes[lo], 0);
      EXPECT_EQ(q.codes[hi], 255);
      EXPECT_EQ(q.min, v[lo]);
    }
  }
}

TEST(Quantize, RangesBeyondTheFloatRangeKeepEveryComponentFinite) {
  const float top = LARGEST_F32;
  std::mt19937 rng(31);
  std::vector<std::vector<float>> vectors = {
      {-top, top}, {top, -top, 0.0f, 1.0f, -1.0f}, {-1.0f, top}, {0.0f, top}, {-top, 0.0f},
      {-1e32f, top}, {-3e38f, 2e38f, 1e-30f, -2.5e37f}};
  std::uniform_real_distribution<double> anywhere(-static_cast<double>(top), static_cast<double>(top));
  for (const std::size_t n : {3u, 64u, 384u}) {
    std::vector<float> v(n);
    for (float& x : v) x = static_cast<float>(anywhere(rng));
    vectors.push_back(std::move(v));
  }
  for (const std::vector<float>& v : vectors) {
    const QuantizedVector q = QuantizedVector::quantize(v);
    const std::vector<float> back = dequantized(q);
    std::size_t lo = 0, hi = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
      if (v[i] < v[lo]) lo = i;
      if (v[i] > v[hi]) hi = i;
    }
    ASSERT_EQ(q.min, v[lo]);
    ASSERT_TRUE(std::isfinite(q.scale) && q.scale > 0.0f) << q.scale;
    EXPECT_EQ(q.codes[lo], 0);
    EXPECT_EQ(q.codes[hi], 255);
    const double step = static_cast<double>(q.scale);
    for (std::size_t i = 0; i < v.size(); ++i) {
      // In double every component lies in [min, max], within half a step of
      // the original (plus the rounding of the scale), and dequantize gives
      // that value rounded to float.
      const double wide = dequantized_f64(q.view(), i);
      EXPECT_GE(wide, static_cast<double>(v[lo])) << i;
      EXPECT_LE(wide, static_cast<double>(v[hi])) << i;
      EXPECT_LE(std::fabs(wide - static_cast<double>(v[i])), step * (0.5 + 1e-5)) << i;
      EXPECT_EQ(back[i], static_cast<float>(wide)) << i;
      ASSERT_TRUE(std::isfinite(back[i])) << i;
    }
  }
  // A vector within the float range keeps the single-precision formula.
  const QuantizedVector ordinary = QuantizedVector::quantize(std::vector<float>{-1e38f, 1e38f, 3.0f});
  EXPECT_FALSE(dequantizes_wide(ordinary.view()));
  EXPECT_EQ(ordinary.scale, 2e38f / 255.0f);
  EXPECT_TRUE(dequantizes_wide(QuantizedVector::quantize(std::vector<float>{-top, top}).view()));
}

// Reference in double precision over the dequantized values.
struct Reference {
  double dot = 0, euclidean = 0, cosine = 0;
};

Reference reference(const std::vector<float>& query, const QuantizedVector& q) {
  Reference r;
  double nq = 0, nv = 0;
  for (std::size_t i = 0; i < query.size(); ++i) {
    double v = static_cast<double>(q.codes[i]) * q.scale + q.min;
    double d = query[i] - v;
    r.dot += query[i] * v;
    r.euclidean += d * d;
    nq += static_cast<double>(query[i]) * query[i];
    nv += v * v;
  }
  r.cosine = r.dot / (std::sqrt(nq) * std::sqrt(nv));
  return r;
}

TEST(AsymmetricPortable, MatchesDoublePrecisionReference) {
  std::mt19937 rng(11);
  for (std::size_t n : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 100u, 384u}) {
    for (int trial = 0; trial < 10; ++trial) {
      std::vector<float> query = random_vector(rng, n, -1.0f, 1.0f);
      QuantizedVector q = QuantizedVector::quantize(random_vector(rng, n, -1.0f, 1.0f));
      if (q.scale == 0.0f) continue;
      float norm_sq = 0.0f;
      for (float x : query) norm_sq += x * x;
      Reference r = reference(query, q);
      const double tol = 1e-5 * static_cast<double>(n);
      EXPECT_NEAR(dot_product_asym(query, q.view()), r.dot, tol) << "n=" << n;
      EXPECT_NEAR(euclidean_distance_sq_asym(query, q.view()), r.euclidean, tol) << "n=" << n;
      EXPECT_NEAR(cosine_similarity_asym_prenorm(query, q.view(), norm_sq), r.cosine, 1e-5)
          << "n=" << n;
    }
  }
}

TEST(AsymmetricPortable, DocumentedExamplesAndDegenerateCosine) {
  QuantizedVector unit = QuantizedVector::quantize(std::vector<float>{0.0f, 1.0f});
  EXPECT_NEAR(dot_product_asym(std::vector<float>{1.0f, 1.0f}, unit.view()), 1.0f, 1e-6f);
  EXPECT_NEAR(euclidean_distance_sq_asym(std::vector<float>{0.0f, 0.0f}, unit.view()), 1.0f,
              1e-6f);

  std::vector<float> query{1.0f, 2.0f, 3.0f};
  QuantizedVector varied = QuantizedVector::quantize(std::vector<float>{1.0f, 2.0f, 3.0f});
  EXPECT_EQ(cosine_similarity_asym_prenorm(query, varied.view(), 0.0f), 0.0f);
  EXPECT_EQ(cosine_similarity_asym_prenorm(query, varied.view(), 9e-11f), 0.0f);
  EXPECT_NEAR(cosine_similarity_asym_prenorm(query, varied.view(), 14.0f), 1.0f, 1e-6f);

  QuantizedVector flat = QuantizedVector::quantize(std::vector<float>{2.0f, 2.0f, 2.0f});
  EXPECT_EQ(cosine_similarity_asym_prenorm(std::vector<float>{1.0f, 1.0f, 1.0f}, flat.view(), 3.0f),
            0.0f);

  // A NaN scale is not the flat case: the NaN reaches the result.
  QuantizedView nan_scale{varied.codes.data(), 0.0f, std::numeric_limits<float>::quiet_NaN()};
  EXPECT_TRUE(std::isnan(cosine_similarity_asym_prenorm(query, nan_scale, 14.0f)));

  // An empty query of non-zero norm has a zero denominator.
  EXPECT_EQ(cosine_similarity_asym_prenorm({}, varied.view(), 1.0f), 0.0f);
}

}  // namespace
}  // namespace karvalith
