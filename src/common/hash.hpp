#pragma once
// SHA-256 (configuration hashes) and SipHash (stable Python hash values).
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zorvex {

std::array<std::uint8_t, 32> sha256(std::span<const std::uint8_t> data);
std::array<std::uint8_t, 32> sha256(std::string_view text);
// Lower-case hex of the digest, 64 characters.
std::string sha256_hex(std::span<const std::uint8_t> data);
std::string sha256_hex(std::string_view text);

// SipHash-c-d with 64-bit output.
std::uint64_t siphash(int c_rounds, int d_rounds, std::uint64_t k0, std::uint64_t k1,
                      std::span<const std::uint8_t> data);

// The interpreter-facing hash: SipHash-1-3 with zero keys, read as signed,
// -1 reserved by the interpreter for errors and so mapped to -2.
std::int64_t stable_hash(std::span<const std::uint8_t> data);

}  // namespace zorvex
