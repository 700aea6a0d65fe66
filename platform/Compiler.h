// What differs between compilers and processors, behind one name each.
#pragma once

#if defined(_MSC_VER)
#include <intrin.h>
#endif

// Marks a function that takes a printf format as argument `format_index`,
// its values from `first_value` on, so that the compiler checks the calls.
#if defined(__GNUC__) || defined(__clang__)
#define VARNEX_PRINTF_FORMAT(format_index, first_value) \
  __attribute__((format(printf, format_index, first_value)))
#else
#define VARNEX_PRINTF_FORMAT(format_index, first_value)
#endif

namespace varnex::platform {

// Tells the processor that the calling thread spins on a value another
// thread will change: lets a sibling hardware thread run meanwhile.
inline void CpuRelax() {
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_pause();
#elif (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
  __builtin_ia32_pause();
#elif (defined(__GNUC__) || defined(__clang__)) && defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Asks the processor to fetch the cache line that holds `address`, which the
// caller will read soon; never faults.
inline void Prefetch(const void* address) {
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#elif defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

}  // namespace varnex::platform
