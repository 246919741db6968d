#include <atomic>
#include <cstdint>

#include "core/quantization/simd.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace karvalith {

namespace {

enum : std::uint8_t { UNKNOWN = 0, SUPPORTED = 1, UNSUPPORTED = 2 };

// Written once with the same value by whichever thread asks first.
std::atomic<std::uint8_t> g_avx2_fma{UNKNOWN};
std::atomic<std::uint8_t> g_avx_vnni{UNKNOWN};
std::atomic<std::uint8_t> g_avx512{UNKNOWN};
std::atomic<std::uint8_t> g_avx512_vnni{UNKNOWN};
std::atomic<std::uint8_t> g_avx512_popcnt{UNKNOWN};

bool query_avx512() {
#if defined(__x86_64__) || defined(__i386__)
  if (!cpu_has_avx2_fma()) return false;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  const bool f = (ebx & (1u << 16)) != 0;
  const bool bw = (ebx & (1u << 30)) != 0;
  const bool vl = (ebx & (1u << 31)) != 0;
  if (!f || !bw || !vl) return false;
  // The OS must save the opmask (bit 5) and the upper 512-bit halves (bits 6, 7).
  unsigned xcr0_lo = 0, xcr0_hi = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  (void)xcr0_hi;
  return (xcr0_lo & 0xE6u) == 0xE6u;
#else
  return false;
#endif
}

bool query_avx512_vnni() {
#if defined(__x86_64__) || defined(__i386__)
  if (!cpu_has_avx512()) return false;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  return (ecx & (1u << 11)) != 0;  // AVX512_VNNI
#else
  return false;
#endif
}

bool query_avx512_popcnt() {
#if defined(__x86_64__) || defined(__i386__)
  if (!cpu_has_avx512()) return false;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  return (ecx & (1u << 14)) != 0;  // AVX512_VPOPCNTDQ
#else
  return false;
#endif
}

bool query_avx_vnni() {
#if defined(__x86_64__) || defined(__i386__)
  if (!cpu_has_avx2_fma()) return false;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  __cpuid_count(7, 1, eax, ebx, ecx, edx);
  return (eax & (1u << 4)) != 0;  // AVX-VNNI: the 256-bit forms of vpdpbusd
#else
  return false;
#endif
}

bool query_avx2_fma() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_max(0, nullptr) < 7) return false;

  __cpuid(1, eax, ebx, ecx, edx);
  const bool fma = (ecx & (1u << 12)) != 0;
  const bool osxsave = (ecx & (1u << 27)) != 0;
  const bool avx = (ecx & (1u << 28)) != 0;
  if (!fma || !osxsave || !avx) return false;

  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  const bool avx2 = (ebx & (1u << 5)) != 0;
  if (!avx2) return false;

  // The OS must save the XMM (bit 1) and YMM (bit 2) register state.
  unsigned xcr0_lo = 0, xcr0_hi = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  (void)xcr0_hi;
  return (xcr0_lo & 0x6u) == 0x6u;
#else
  return false;
#endif
}

}  // namespace

bool cpu_has_avx2_fma() {
  std::uint8_t word = g_avx2_fma.load(std::memory_order_relaxed);
  if (word == UNKNOWN) {
    word = query_avx2_fma() ? SUPPORTED : UNSUPPORTED;
    g_avx2_fma.store(word, std::memory_order_relaxed);
  }
  return word == SUPPORTED;
}

bool cpu_has_avx512() {
  std::uint8_t word = g_avx512.load(std::memory_order_relaxed);
  if (word == UNKNOWN) {
    word = query_avx512() ? SUPPORTED : UNSUPPORTED;
    g_avx512.store(word, std::memory_order_relaxed);
  }
  return word == SUPPORTED;
}

bool cpu_has_avx_vnni() {
  std::uint8_t word = g_avx_vnni.load(std::memory_order_relaxed);
  if (word == UNKNOWN) {
    word = query_avx_vnni() ? SUPPORTED : UNSUPPORTED;
    g_avx_vnni.store(word, std::memory_order_relaxed);
  }
  return word == SUPPORTED;
}

bool cpu_has_avx512_vnni() {
  std::uint8_t word = g_avx512_vnni.load(std::memory_order_relaxed);
  if (word == UNKNOWN) {
    word = query_avx512_vnni() ? SUPPORTED : UNSUPPORTED;
    g_avx512_vnni.store(word, std::memory_order_relaxed);
  }
  return word == SUPPORTED;
}

bool cpu_has_avx512_popcnt() {
  std::uint8_t word = g_avx512_popcnt.load(std::memory_order_relaxed);
  if (word == UNKNOWN) {
    word = query_avx512_popcnt() ? SUPPORTED : UNSUPPORTED;
    g_avx512_popcnt.store(word, std::memory_order_relaxed);
  }
  return word == SUPPORTED;
}

}  // namespace karvalith
