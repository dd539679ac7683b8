#include "backend/code_scan.hpp"

#include <string>

#include "common/result.hpp"

namespace zorvex::detail {

bool has_vbmi_vnni() {
#if defined(__x86_64__) || defined(__i386__)
  static const bool has = __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vnni");
  return has;
#else
  return false;
#endif
}

namespace {

void require(Isa form) {
  if (!isa_supported(form)) panic(std::string("scan form not supported on this processor: ") + isa_name(form));
}

}  // namespace

Isa byte_scan_form(Isa form) {
  if (form == Isa::Avx512 && !has_vbmi_vnni()) return Isa::Avx2;
  return form;
}

void scan_nibbles(Isa form, const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                  const std::uint8_t* tables, std::uint32_t* sums) {
  require(form);
  switch (form) {
    case Isa::Portable:
      return scan_nibbles_portable(blocks, nblocks, groups, tables, sums);
    case Isa::Avx2:
      return scan_nibbles_avx2(blocks, nblocks, groups, tables, sums);
    case Isa::Avx512:
      if (has_vbmi_vnni()) return scan_nibbles_avx512vbmi(blocks, nblocks, groups, tables, sums);
      return scan_nibbles_avx512(blocks, nblocks, groups, tables, sums);
  }
}

void scan_bytes(Isa form, const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads,
                const std::int8_t* weights, const std::int8_t* values, std::int32_t* sums) {
  require(form);
  switch (byte_scan_form(form)) {
    case Isa::Portable:
      return scan_bytes_portable(blocks, nblocks, quads, weights, values, sums);
    case Isa::Avx2:
      return scan_bytes_avx2(blocks, nblocks, quads, weights, values, sums);
    case Isa::Avx512:
      return scan_bytes_avx512vbmi(blocks, nblocks, quads, weights, values, sums);
  }
}

namespace {

// The wide forms' share of a finish; the portable one does the rest.
std::size_t finish_wide(Isa form, double a, double b, const std::int32_t* sums, const double* inv, std::size_t n,
                        float* out) {
  switch (form) {
    case Isa::Portable:
      return 0;
    case Isa::Avx2:
      return finish_scores_avx2(a, b, sums, inv, n, out);
    case Isa::Avx512:
      return finish_scores_avx512(a, b, sums, inv, n, out);
  }
  return 0;
}

template <class Sum>
void finish_portable(double a, double b, const Sum* sums, const double* inv, std::size_t n, float* out) {
  for (std::size_t v = 0; v < n; ++v)
    out[v] = inv[v] == 0.0 ? 0.0f : static_cast<float>((a * static_cast<double>(sums[v]) + b) * inv[v]);
}

}  // namespace

void finish_scores(Isa form, double a, double b, const std::int32_t* sums, const double* inv, std::size_t n,
                   float* out) {
  require(form);
  const std::size_t done = finish_wide(form, a, b, sums, inv, n, out);
  finish_portable(a, b, sums + done, inv + done, n - done, out + done);
}

void finish_scores(Isa form, double a, double b, const std::uint32_t* sums, const double* inv, std::size_t n,
                   float* out) {
  require(form);
  // Below 2^31, so the same values read as signed.
  const std::size_t done = finish_wide(form, a, b, reinterpret_cast<const std::int32_t*>(sums), inv, n, out);
  finish_portable(a, b, sums + done, inv + done, n - done, out + done);
}

void scan_nibbles_multi(Isa form, const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                        const std::uint8_t* const* tables, std::uint32_t* const* sums, std::size_t nq) {
  require(form);
  if (form == Isa::Avx512) {
    if (has_vbmi_vnni()) return scan_nibbles_multi_avx512vbmi(blocks, nblocks, groups, tables, sums, nq);
    return scan_nibbles_multi_avx512(blocks, nblocks, groups, tables, sums, nq);
  }
  for (std::size_t q = 0; q < nq; ++q) scan_nibbles(form, blocks, nblocks, groups, tables[q], sums[q]);
}

void scan_bytes_multi(Isa form, const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads,
                      const std::int8_t* const* weights, const std::int8_t* values, std::int32_t* const* sums,
                      std::size_t nq) {
  require(form);
  switch (byte_scan_form(form)) {
    case Isa::Avx512:
      return scan_bytes_multi_avx512vbmi(blocks, nblocks, quads, weights, values, sums, nq);
    case Isa::Avx2:
      return scan_bytes_multi_avx2(blocks, nblocks, quads, weights, values, sums, nq);
    case Isa::Portable:
      break;
  }
  for (std::size_t q = 0; q < nq; ++q) scan_bytes(form, blocks, nblocks, quads, weights[q], values, sums[q]);
}

void scan_nibbles_portable(const std::uint8_t* blocks, std::size_t nblocks, std::size_t groups,
                           const std::uint8_t* tables, std::uint32_t* sums) {
  constexpr std::size_t H = kNibbleBlock / 2;
  for (std::size_t b = 0; b < nblocks; ++b) {
    const std::uint8_t* row = blocks + b * groups * kNibbleRow;
    std::uint32_t s[kNibbleBlock] = {};
    for (std::size_t j = 0; j < groups; ++j, row += kNibbleRow) {
      const std::uint8_t* t = tables + j * 16;
      for (std::size_t k = 0; k < H; ++k) {
        s[k] += t[row[k] & 15u];
        s[k + H] += t[row[k] >> 4];
      }
    }
    for (std::size_t k = 0; k < kNibbleBlock; ++k) sums[b * kNibbleBlock + k] = s[k];
  }
}

void scan_bytes_portable(const std::uint8_t* blocks, std::size_t nblocks, std::size_t quads,
                         const std::int8_t* weights, const std::int8_t* values, std::int32_t* sums) {
  for (std::size_t b = 0; b < nblocks; ++b) {
    const std::uint8_t* row = blocks + b * quads * kByteRow;
    std::int32_t s[kByteBlock] = {};
    for (std::size_t g = 0; g < quads; ++g, row += kByteRow) {
      const std::int8_t* w = weights + 4 * g;
      for (std::size_t k = 0; k < kByteBlock; ++k) {
        const std::uint8_t* c = row + 4 * k;
        s[k] += w[0] * values[c[0]] + w[1] * values[c[1]] + w[2] * values[c[2]] + w[3] * values[c[3]];
      }
    }
    for (std::size_t k = 0; k < kByteBlock; ++k) sums[b * kByteBlock + k] = s[k];
  }
}

}  // namespace zorvex::detail
