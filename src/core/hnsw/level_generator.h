// Random levels of new graph nodes. Each thread has its own generator
// (xoshiro256**), seeded from the operating system on first use.
#pragma once

#include <cstdint>

namespace karvalith {

// Next 64-bit output of the calling thread's generator.
std::uint64_t level_random_u64();

// Reseeds the calling thread's generator (tests use this for reproducible graphs).
void seed_level_generator(std::uint64_t seed);

// The level for a uniform u in [0, 1): floor(ln(u) * -1/ln(m)), saturated to
// an unsigned value (negative or NaN -> 0, u = 0 -> largest), then capped at
// max_layers - 1 and at 255 (levels are stored in one byte).
std::uint8_t level_for_uniform(double u, std::uint64_t m, std::uint64_t max_layers);

// Draws u = (r >> 11) * 2^-53 from the thread's generator and maps it as above.
std::uint8_t draw_level(std::uint64_t m, std::uint64_t max_layers);

}  // namespace karvalith
