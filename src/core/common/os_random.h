// The operating system's random source (getrandom), used for document ids,
// nonces and seeds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace karvalith {

// Fills `out` with `size` random bytes, retrying on interruption and short
// reads. Returns false when the source cannot deliver.
bool fill_os_random(void* out, std::size_t size);

// One random 64-bit value from the OS source; aborts nothing, returns 0 only
// if the source fails (callers that need a seed treat that as acceptable).
std::uint64_t os_random_u64();

}  // namespace karvalith
