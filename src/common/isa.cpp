#include "common/isa.hpp"

namespace zorvex::detail {

const char* isa_name(Isa isa) {
  switch (isa) {
    case Isa::Portable:
      return "portable";
    case Isa::Avx2:
      return "avx2";
    case Isa::Avx512:
      return "avx512";
  }
  return "unknown";
}

bool isa_supported(Isa isa) {
  switch (isa) {
    case Isa::Portable:
      return true;
#if defined(__x86_64__) || defined(__i386__)
    // Everything the wide files are compiled with must be present, not only
    // what their intrinsics name: the compiler may use any of it.
    case Isa::Avx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case Isa::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
             __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    default:
      return false;
#endif
  }
  return false;
}

Isa isa_best() {
  static const Isa chosen = [] {
    if (isa_supported(Isa::Avx512)) return Isa::Avx512;
    if (isa_supported(Isa::Avx2)) return Isa::Avx2;
    return Isa::Portable;
  }();
  return chosen;
}

}  // namespace zorvex::detail
