// The version-1 byte form. Arbitrary bytes go through decode and through a
// plain re-reading of the format written here (every length checked before
// the field it guards, checks in the documented order); the two must agree
// on the error text or on every field. What decodes re-encodes to the input's
// record bytes exactly, except that the unused high bits of the last packed
// byte come back as zero and bytes after the record are dropped: those are
// the only freedoms the format leaves. Records built from fuzz input go the
// other way: encode, check the layout, decode back.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/codec/compressed_vector.hpp"
#include "fuzz_common.hpp"
#include "io/compressed_vector/pack.hpp"
#include "io/compressed_vector/unpack.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Fields {
  std::string hash;
  std::uint32_t dimension = 0;
  std::uint8_t bit_width = 0;
  Bytes indices;
  std::optional<Bytes> residual;
  std::uint64_t end = 0;  // bytes the record occupies
};

struct Expected {
  std::optional<Fields> fields;
  std::string error;  // FormatError text when `fields` is empty
};

// Well-formed UTF-8 by value: decode each sequence, then reject overlong
// forms, surrogates and values above U+10FFFF.
bool well_formed(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len;
    std::uint32_t cp, min;
    if (c < 0x80) len = 1, cp = c, min = 0;
    else if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1F, min = 0x80;
    else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0F, min = 0x800;
    else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07, min = 0x10000;
    else return false;
    if (s.size() - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

std::string hex2(std::uint8_t v) {
  static const char* digits = "0123456789abcdef";
  return std::string("0x") + digits[v >> 4] + digits[v & 15];
}

std::uint32_t le32(const std::uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24; }

Expected reference_decode(std::span<const std::uint8_t> d) {
  const std::uint64_t n = d.size();
  const auto too_short = [n](std::uint64_t needed) {
    return Expected{std::nullopt, "data too short: needed " + std::to_string(needed) + " bytes, got " + std::to_string(n)};
  };
  if (n < 70) return too_short(70);
  std::size_t hash_len = 64;
  while (hash_len > 0 && d[hash_len] == 0) --hash_len;  // byte 1 + (hash_len - 1)
  std::string hash(reinterpret_cast<const char*>(d.data()) + 1, hash_len);
  if (!well_formed(hash)) return {std::nullopt, "invalid UTF-8 in config hash"};
  if (d[0] != 1) return {std::nullopt, "unknown format version " + hex2(d[0])};
  Fields f;
  f.hash = hash;
  f.dimension = le32(&d[65]);
  f.bit_width = d[69];
  const unsigned b = f.bit_width;
  if (b != 2 && b != 4 && b != 8) return {std::nullopt, "invalid bit_width " + std::to_string(b) + " in serialized data"};
  const std::uint64_t packed = (std::uint64_t{f.dimension} * b + 7) / 8;
  if (n < 71 + packed) return too_short(71 + packed);
  for (std::uint64_t i = 0; i < f.dimension; ++i) {
    const std::uint64_t bit = i * b;
    f.indices.push_back(static_cast<std::uint8_t>((d[70 + bit / 8] >> (bit % 8)) & ((1u << b) - 1)));
  }
  const std::uint8_t flag = d[70 + packed];
  f.end = 71 + packed;
  if (flag == 1) {
    if (n < 75 + packed) return too_short(75 + packed);
    const std::uint64_t len = le32(&d[71 + packed]);
    if (n < 75 + packed + len) return too_short(75 + packed + len);
    f.residual = Bytes(d.begin() + static_cast<std::ptrdiff_t>(75 + packed),
                       d.begin() + static_cast<std::ptrdiff_t>(75 + packed + len));
    f.end = 75 + packed + len;
    if (len != 2ull * f.dimension)
      return {std::nullopt, "decode error: input and output lengths disagree: " + std::to_string(len) + " vs " +
                                std::to_string(2ull * f.dimension)};
  } else if (flag != 0) {
    return {std::nullopt, "decode error: invalid residual flag: expected 0x00 or 0x01, got " + hex2(flag)};
  }
  return {f, {}};
}

template <class B>
Bytes bytes_of(const B& b) {
  return Bytes(b.data(), b.data() + b.size());
}

void check_fields(const zorvex::CompressedVector& r, const Fields& f, const char* what) {
  FUZZ_CHECK(*r.config_hash() == f.hash, "%s: hash differs", what);
  FUZZ_CHECK(r.dimension() == f.dimension, "%s: dimension %u vs %u", what, r.dimension(), f.dimension);
  FUZZ_CHECK(r.bit_width() == f.bit_width, "%s: bit width %d vs %d", what, r.bit_width(), f.bit_width);
  FUZZ_CHECK(bytes_of(r.indices()) == f.indices, "%s: indices differ", what);
  FUZZ_CHECK(r.has_residual() == f.residual.has_value(), "%s: residual presence differs", what);
  if (f.residual) FUZZ_CHECK(bytes_of(r.residual()) == *f.residual, "%s: residual differs", what);
}

// Decodes `data`, compares with the reference, and re-encodes what decoded.
void decode_and_compare(std::span<const std::uint8_t> data) {
  const Expected want = reference_decode(data);
  auto got = zorvex::decode(data);
  if (!want.fields) {
    FUZZ_CHECK(!got.ok(), "decoded what should fail with \"%s\"", want.error.c_str());
    const std::string message = got.error().message();
    FUZZ_CHECK(message == want.error, "error \"%s\", want \"%s\"", message.c_str(), want.error.c_str());
    return;
  }
  FUZZ_CHECK(got.ok(), "failed with \"%s\"", got.error().message().c_str());
  const Fields& f = *want.fields;
  check_fields(got.value(), f, "decode");

  Bytes canonical(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(f.end));
  const std::uint64_t used_bits = std::uint64_t{f.dimension} * f.bit_width;
  if (used_bits % 8 != 0) canonical[70 + used_bits / 8] &= static_cast<std::uint8_t>((1u << (used_bits % 8)) - 1);
  const Bytes encoded = zorvex::encode(got.value());
  FUZZ_CHECK(encoded == canonical, "re-encoding differs from the input record (%zu vs %zu bytes)", encoded.size(),
             canonical.size());
  FUZZ_CHECK(encoded.size() == got.value().size_bytes() + (f.residual ? 75 : 71), "size_bytes %llu for %zu bytes",
             static_cast<unsigned long long>(got.value().size_bytes()), encoded.size());
}

// A record from fuzz input, possibly invalid for make(); encode, then decode.
void build_and_round_trip(FuzzedDataProvider& in) {
  const std::uint8_t shape = in.ConsumeIntegral<std::uint8_t>();
  static const std::uint8_t kWidths[] = {2, 4, 8, 2, 4, 8, 2, 4, 8, 0, 3, 16, 1, 255, 7, 6};
  const std::uint8_t b = kWidths[shape & 15];
  std::string hash = in.ConsumeRandomLengthString(80);
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 300);
  Bytes indices = in.ConsumeBytes<std::uint8_t>(count);
  std::uint32_t dimension = static_cast<std::uint32_t>(indices.size());
  if (shape & 0x10) dimension += in.ConsumeIntegralInRange<std::uint32_t>(1, 3);  // a count that does not match
  std::optional<Bytes> residual;
  if (shape & 0x20) {
    std::size_t len = 2 * indices.size();
    if (shape & 0x40) len = in.ConsumeIntegralInRange<std::size_t>(0, 2 * indices.size() + 3);
    residual = in.ConsumeBytes<std::uint8_t>(len);
    residual->resize(len, 0x3C);
  }

  auto made = zorvex::CompressedVector::make(zorvex::SharedBytes::copy_of(indices),
                                             residual ? zorvex::SharedBytes::copy_of(*residual) : zorvex::SharedBytes(),
                                             zorvex::make_text(hash), dimension, b);
  std::string want_error;
  if (b != 2 && b != 4 && b != 8) want_error = "bit_width must be one of [2, 4, 8], got " + std::to_string(b);
  else if (dimension != indices.size())
    want_error = "vector length " + std::to_string(indices.size()) + " does not match config dimension " +
                 std::to_string(dimension);
  else if (residual && residual->size() != 2 * indices.size())
    want_error = "input and output lengths disagree: " + std::to_string(residual->size()) + " vs " +
                 std::to_string(2 * indices.size());
  if (!want_error.empty()) {
    FUZZ_CHECK(!made.ok(), "make accepted a record that should fail with \"%s\"", want_error.c_str());
    FUZZ_CHECK(made.error().message() == want_error, "make: \"%s\", want \"%s\"", made.error().message().c_str(),
               want_error.c_str());
    return;
  }
  FUZZ_CHECK(made.ok(), "make failed: %s", made.error().message().c_str());
  const Bytes encoded = zorvex::encode(made.value());

  const std::uint64_t packed = (std::uint64_t{dimension} * b + 7) / 8;
  FUZZ_CHECK(encoded.size() == 71 + packed + (residual ? 4 + residual->size() : 0), "encoded length %zu",
             encoded.size());
  FUZZ_CHECK(encoded[0] == 1 && le32(&encoded[65]) == dimension && encoded[69] == b, "header fields");
  for (std::size_t i = 0; i < 64; ++i)
    FUZZ_CHECK(encoded[1 + i] == (i < hash.size() ? static_cast<std::uint8_t>(hash[i]) : 0), "hash byte %zu", i);
  for (std::size_t i = 0; i < packed * 8 / b; ++i) {
    const unsigned v = (encoded[70 + i * b / 8] >> (i * b % 8)) & ((1u << b) - 1);
    const unsigned want = i < indices.size() ? indices[i] & ((1u << b) - 1) : 0;  // padding bits are zero
    FUZZ_CHECK(v == want, "packed index %zu is %u, want %u", i, v, want);
  }

  // Decoding gives the record back, up to what the format cannot hold: the
  // hash is cut to 64 bytes and loses trailing NULs, indices keep b bits.
  std::string kept = hash.substr(0, 64);
  while (!kept.empty() && kept.back() == '\0') kept.pop_back();
  auto back = zorvex::decode(encoded);
  if (!well_formed(kept)) {
    FUZZ_CHECK(!back.ok() && back.error().message() == "invalid UTF-8 in config hash", "hash is not UTF-8");
    return;
  }
  FUZZ_CHECK(back.ok(), "own encoding failed to decode: %s", back.error().message().c_str());
  Fields f{kept, dimension, b, indices, residual, encoded.size()};
  for (auto& v : f.indices) v &= static_cast<std::uint8_t>((1u << b) - 1);
  check_fields(back.value(), f, "round trip");
  decode_and_compare(encoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    decode_and_compare({});
  } else if (data[0] & 1) {
    FuzzedDataProvider in(data + 1, size - 1);
    build_and_round_trip(in);
  } else {
    // The rest is the blob itself; the top bits of the first byte may put a
    // valid header in front so that the body gets explored.
    Bytes blob;
    const std::uint8_t lead = data[0];
    if (lead & 2) {
      blob.assign(70, 0);
      blob[0] = 1;
      for (int i = 0; i < 64; ++i) blob[1 + i] = static_cast<std::uint8_t>("0123456789abcdef"[i % 16]);
      static const std::uint8_t kWidths[] = {2, 4, 8, 8};
      blob[69] = kWidths[(lead >> 2) & 3];
      const std::size_t rest = size - 1;
      const std::uint32_t dim = static_cast<std::uint32_t>(lead & 0x80 ? rest / 3 : rest * 8 / blob[69]);
      for (int i = 0; i < 4; ++i) blob[65 + i] = static_cast<std::uint8_t>(dim >> (8 * i));
    }
    blob.insert(blob.end(), data + 1, data + size);
    decode_and_compare(blob);
  }
  return 0;
}
