#include "io/compressed_vector/pack.hpp"

#include <algorithm>

namespace zorvex {

namespace {

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

}  // namespace

std::vector<std::uint8_t> encode(const CompressedVector& record) {
  constexpr std::size_t kHashField = 64;
  const std::uint8_t b = record.bit_width();
  const SharedBytes& indices = record.indices();
  const std::uint64_t packed = (static_cast<std::uint64_t>(record.dimension()) * b + 7) / 8;
  const SharedBytes& residual = record.residual();
  const std::uint64_t total = 71 + packed + (residual ? 4 + residual.size() : 0);

  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(total));

  out.push_back(0x01);
  const std::string& hash = *record.config_hash();
  const std::size_t hash_len = std::min(hash.size(), kHashField);
  out.insert(out.end(), hash.begin(), hash.begin() + static_cast<std::ptrdiff_t>(hash_len));
  out.resize(1 + kHashField, 0x00);
  put_u32(out, record.dimension());
  out.push_back(b);

  if (b == 8) {
    out.insert(out.end(), indices.begin(), indices.end());
  } else {
    const std::size_t base = out.size();
    out.resize(base + static_cast<std::size_t>(packed), 0x00);
    const std::uint8_t mask = static_cast<std::uint8_t>((1u << b) - 1);
    std::uint64_t bit = 0;
    for (std::uint8_t index : indices) {
      out[base + static_cast<std::size_t>(bit >> 3)] |= static_cast<std::uint8_t>((index & mask) << (bit & 7));
      bit += b;
    }
  }

  if (!residual) {
    out.push_back(0x00);
  } else {
    out.push_back(0x01);
    // The length field is 32 bits wide; a residual is 2 bytes per coordinate,
    // so only dimensions below 2^31 round-trip with a residual.
    put_u32(out, static_cast<std::uint32_t>(residual.size()));
    out.insert(out.end(), residual.begin(), residual.end());
  }
  return out;
}

}  // namespace zorvex
