// Processor features looked up at run time, for the few loops that have a
// form using them beside the one every x86-64 processor runs.
#pragma once

namespace qbc {

#if defined(__x86_64__) && defined(__GNUC__)
#define QBC_SSSE3_LOOPS 1

// Whether the processor shuffles bytes (SSSE3).
inline bool shuffles_bytes() {
  static const bool yes = __builtin_cpu_supports("ssse3");
  return yes;
}
#endif

}  // namespace qbc
