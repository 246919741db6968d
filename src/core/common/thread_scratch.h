// Per-thread scratch objects that hot loops reuse, so that steady work
// allocates nothing once the scratch has grown.
#pragma once

namespace karvalith {

// The calling thread's T (one per Tag: users sharing a type give their own
// tag when they could be active at once). Out of line on purpose: inlined,
// the address of a thread_local in a shared library is a call into the
// loader that the compiler may repeat inside a hot loop (cheaper for it than
// keeping the address in a register); returned from a call, it is a plain
// pointer.
template <class T, class Tag = T>
[[gnu::noinline]] T& thread_scratch() {
  thread_local T value;
  return value;
}

}  // namespace karvalith
