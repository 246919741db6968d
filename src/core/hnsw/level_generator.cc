#include "core/hnsw/level_generator.h"

#include <algorithm>
#include <cmath>

#include "core/common/os_random.h"

namespace karvalith {

namespace {

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

struct Xoshiro256 {
  std::uint64_t s[4];

  explicit Xoshiro256(std::uint64_t seed) { reseed(seed); }

  void reseed(std::uint64_t seed) {
    for (auto& word : s) word = splitmix64(seed);
  }

  std::uint64_t next() {
    const std::uint64_t result = rotl(s[1] * 5, 7) * 9;
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
  }
};

Xoshiro256& thread_generator() {
  thread_local Xoshiro256 generator(os_random_u64());
  return generator;
}

}  // namespace

std::uint64_t level_random_u64() { return thread_generator().next(); }

void seed_level_generator(std::uint64_t seed) { thread_generator().reseed(seed); }

std::uint8_t level_for_uniform(double u, std::uint64_t m, std::uint64_t max_layers) {
  const double mult = -1.0 / std::log(static_cast<double>(m));
  const double raw = std::floor(std::log(u) * mult);
  std::uint64_t level;
  if (!(raw > 0.0)) {
    level = 0;  // negative, zero or NaN
  } else if (raw >= 18446744073709551616.0) {
    level = UINT64_MAX;
  } else {
    level = static_cast<std::uint64_t>(raw);
  }
  const std::uint64_t top = max_layers == 0 ? 0 : max_layers - 1;
  return static_cast<std::uint8_t>(std::min<std::uint64_t>({level, top, 255}));
}

std::uint8_t draw_level(std::uint64_t m, std::uint64_t max_layers) {
  const double u = static_cast<double>(level_random_u64() >> 11) * 0x1.0p-53;
  return level_for_uniform(u, m, max_layers);
}

}  // namespace karvalith
