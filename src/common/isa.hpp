#pragma once
// Instruction-set forms of the hot loops. Each kernel has a portable form and
// wider forms in files compiled with their own flags; one is chosen per
// process from what the processor reports, and all give identical bits.
#include <cstdint>

namespace zorvex::detail {

enum class Isa : std::uint8_t { Portable, Avx2, Avx512 };
inline constexpr Isa kIsas[] = {Isa::Portable, Isa::Avx2, Isa::Avx512};

const char* isa_name(Isa isa);
// Compiled in and usable on this processor.
bool isa_supported(Isa isa);
// The widest supported form, decided once per process.
Isa isa_best();

}  // namespace zorvex::detail
