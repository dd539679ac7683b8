#pragma once
// Instruction-set forms of the hot loops. Each kernel has a portable form and
// wider forms in files compiled with their own flags; one is chosen per
// process from what the processor reports, and all give identical bits.
#include <cstdint>
#include <string>

namespace zorvex::detail {

enum class Isa : std::uint8_t { Portable, Avx2, Avx512 };
inline constexpr Isa kIsas[] = {Isa::Portable, Isa::Avx2, Isa::Avx512};

const char* isa_name(Isa isa);
// Compiled in and usable on this processor.
bool isa_supported(Isa isa);
// The form every kernel uses, decided once per process: the one named by the
// environment variable kIsaVariable when that is set and supported here, else
// the widest supported.
Isa isa_best();
inline constexpr const char* kIsaVariable = "ZORVEX_KERNEL_FORM";
// Empty when kIsaVariable is unset, empty or names a supported form; else why
// it was not followed (the module refuses to import then).
const std::string& isa_pin_error();

}  // namespace zorvex::detail
