// Clustered synthetic vectors shared by the graph benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace karvalith::bench {

// Mixture of Gaussians: 100 centres with unit-variance components, each
// point a centre plus isotropic noise. Base points and queries come from the
// same mixture (different streams).
struct Mixture {
  std::vector<float> centres;
  std::size_t d;
  float sigma;
  static constexpr std::size_t CLUSTERS = 100;

  Mixture(std::size_t dim, float noise, std::uint64_t seed) : centres(CLUSTERS * dim), d(dim), sigma(noise) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> unit(0.0f, 1.0f);
    for (auto& x : centres) x = unit(rng);
  }

  std::vector<float> sample(std::size_t count, std::uint64_t seed) const {
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> noise(0.0f, sigma);
    std::uniform_int_distribution<std::size_t> pick(0, CLUSTERS - 1);
    std::vector<float> out(count * d);
    for (std::size_t i = 0; i < count; ++i) {
      const float* c = centres.data() + pick(rng) * d;
      for (std::size_t j = 0; j < d; ++j) out[i * d + j] = c[j] + noise(rng);
    }
    return out;
  }
};

}  // namespace karvalith::bench
