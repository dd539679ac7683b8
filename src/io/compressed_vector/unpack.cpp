#include "io/compressed_vector/unpack.hpp"

#include <algorithm>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

namespace zorvex {

namespace {

constexpr std::size_t kHeaderSize = 70;
constexpr std::size_t kHashOffset = 1;
constexpr std::size_t kHashField = 64;
constexpr std::size_t kDimensionOffset = 65;
constexpr std::size_t kBitWidthOffset = 69;

std::uint32_t get_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

// Well-formed UTF-8 per the Unicode byte-sequence table: no overlong forms,
// no surrogates, nothing above U+10FFFF, no truncated sequences.
bool valid_utf8(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
    }
    i += len;
  }
  return true;
}


Result<CompressedVector, FormatError> decode(std::span<const std::uint8_t> data) {
  const std::size_t n = data.size();
  const std::uint8_t* d = data.data();
  if (n < kHeaderSize) return err(FormatError::data_too_short(kHeaderSize, n));

  std::size_t hash_len = kHashField;
  while (hash_len > 0 && d[kHashOffset + hash_len - 1] == 0x00) --hash_len;
  if (!valid_utf8(d + kHashOffset, hash_len)) return err(FormatError::invalid_utf8());

  if (d[0] != 0x01) return err(FormatError::unknown_version(d[0]));

  const std::uint32_t dimension = get_u32(d + kDimensionOffset);
  const std::uint8_t b = d[kBitWidthOffset];
  if (b != 2 && b != 4 && b != 8) return err(FormatError::invalid_bit_width(b));

  // 64-bit throughout: dimension may be up to 2^32-1, so nothing is sized from
  // it until the data is known to hold that many bytes.
  const std::uint64_t packed = (static_cast<std::uint64_t>(dimension) * b + 7) / 8;
  const std::uint64_t flag_at = kHeaderSize + packed;
  if (n < flag_at + 1) return err(FormatError::data_too_short(flag_at + 1, n));

  const std::uint8_t* field = d + kHeaderSize;
  SharedBytes indices = SharedBytes::build(dimension, [&](std::span<std::uint8_t> out) {
    if (b == 8) {
      std::copy(field, field + dimension, out.begin());
      return;
    }
    const unsigned mask = (1u << b) - 1;
    std::uint64_t bit = 0;
    for (std::uint8_t& index : out) {
      index = static_cast<std::uint8_t>((field[bit >> 3] >> (bit & 7)) & mask);
      bit += b;
    }
  });

  SharedBytes residual;
  const std::uint8_t flag = d[flag_at];
  if (flag == 0x01) {
    const std::uint64_t length_end = flag_at + 5;
    if (n < length_end) return err(FormatError::data_too_short(length_end, n));
    const std::uint32_t length = get_u32(d + flag_at + 1);
    const std::uint64_t end = length_end + length;
    if (n < end) return err(FormatError::data_too_short(end, n));
    residual = SharedBytes::copy_of(std::span(d + length_end, d + end));
  } else if (flag != 0x00) {
    return err(FormatError::decode(CodecError::invalid_residual_flag(flag)));
  }

  auto hash = make_text(std::string_view(reinterpret_cast<const char*>(d + kHashOffset), hash_len));
  auto record = CompressedVector::make(std::move(indices), std::move(residual), std::move(hash), dimension, b);
  if (!record) return err(FormatError::decode(std::move(record).error()));
  return std::move(record).value();
}

}  // namespace zorvex
