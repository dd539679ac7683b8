#include "common/isa.hpp"

#include <cstdlib>
#include <string_view>

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

namespace {

struct Choice {
  Isa isa;
  std::string error;
};

std::string form_list(bool supported_only) {
  std::string out;
  for (Isa isa : kIsas) {
    if (supported_only && !isa_supported(isa)) continue;
    if (!out.empty()) out += ", ";
    out += isa_name(isa);
  }
  return out;
}

const Choice& choice() {
  static const Choice chosen = [] {
    Isa widest = Isa::Portable;
    for (Isa isa : kIsas)
      if (isa_supported(isa)) widest = isa;
    const char* pinned = std::getenv(kIsaVariable);
    if (!pinned || !*pinned) return Choice{widest, {}};
    for (Isa isa : kIsas) {
      if (std::string_view(pinned) != isa_name(isa)) continue;
      if (isa_supported(isa)) return Choice{isa, {}};
      return Choice{widest, std::string(kIsaVariable) + "='" + pinned +
                                "': this processor lacks that form; it supports " + form_list(true)};
    }
    return Choice{widest, std::string(kIsaVariable) + "='" + pinned + "' is not a kernel form; expected one of " +
                              form_list(false) + " (this processor supports " + form_list(true) + ")"};
  }();
  return chosen;
}

}  // namespace

Isa isa_best() { return choice().isa; }

const std::string& isa_pin_error() { return choice().error; }

}  // namespace zorvex::detail
