// quantize/dequantize against their definition, the linear scan: j = first
// index where value > e[j] does not hold, hi = min(j, n-1), lo = hi-1 (or 0),
// then lo only when |value - e[hi]| > |value - e[lo]|. Every kernel form this
// processor supports (portable, AVX2, AVX-512) must give those bytes for
// whole spans of odd lengths, and so must the scalar quantize, under any
// FTZ/DAZ mode the host left behind. Codebooks are any valid ones: NaNs at
// the ends, both zeros, subnormals, infinities.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/codec/codebook.hpp"
#include "core/codec/codebook_kernels.hpp"
#include "fuzz_common.hpp"

namespace {

using fuzz::bits;
using fuzz::from_bits;

std::uint8_t reference_quantize(const std::vector<float>& e, float value) {
  const std::size_t n = e.size();
  std::size_t j = 0;
  while (j < n && value > e[j]) ++j;
  const std::size_t hi = std::min(j, n - 1);
  const std::size_t lo = hi > 0 ? hi - 1 : 0;
  const float d_lo = std::fabs(value - e[lo]);
  const float d_hi = std::fabs(value - e[hi]);
  return static_cast<std::uint8_t>(d_hi > d_lo ? lo : hi);
}

// Sign-magnitude key: ascending in IEEE totalOrder.
std::int64_t order_key(float f) {
  const std::uint32_t u = bits(f);
  return (u & 0x80000000u) ? -static_cast<std::int64_t>(u & 0x7FFFFFFFu) - 1 : static_cast<std::int64_t>(u);
}
float from_key(std::int64_t k) {
  return k < 0 ? from_bits(static_cast<std::uint32_t>(-(k + 1)) | 0x80000000u) : from_bits(static_cast<std::uint32_t>(k));
}

// A valid codebook of n entries: distinct keys in ascending order.
std::vector<float> make_entries(FuzzedDataProvider& in, std::size_t n) {
  std::vector<std::int64_t> keys;
  const std::uint8_t style = in.ConsumeIntegral<std::uint8_t>();
  if ((style & 3) == 0) {
    // Evenly spaced from a start: many exact midpoints.
    const float start = static_cast<float>(in.ConsumeIntegral<std::int8_t>());
    const float step = std::ldexp(1.0f, in.ConsumeIntegralInRange<int>(-3, 3));
    for (std::size_t i = 0; i < n; ++i) keys.push_back(order_key(start + step * static_cast<float>(i)));
  } else {
    for (std::size_t i = 0; i < n; ++i) keys.push_back(order_key(fuzz::some_float(in)));
  }
  std::sort(keys.begin(), keys.end());
  for (std::size_t i = 1; i < n; ++i) keys[i] = std::max(keys[i], keys[i - 1] + 1);
  // Keys past the top NaN would wrap: push the crowd at the top back down.
  constexpr std::int64_t kTop = 0x7FFFFFFF;
  keys[n - 1] = std::min(keys[n - 1], kTop);
  for (std::size_t i = n - 1; i-- > 0;) keys[i] = std::min(keys[i], keys[i + 1] - 1);
  std::vector<float> e;
  for (auto k : keys) e.push_back(from_key(k));
  return e;
}

float some_value(FuzzedDataProvider& in, const std::vector<float>& e) {
  const std::uint8_t how = in.ConsumeIntegral<std::uint8_t>();
  const std::size_t i = in.ConsumeIntegral<std::uint8_t>() % e.size();
  const std::size_t j = std::min(i + 1, e.size() - 1);
  switch (how & 7) {
    case 0: return e[i];
    case 1: return e[i] + (e[j] - e[i]) * 0.5f;                                     // a float midpoint
    case 2: return static_cast<float>((static_cast<double>(e[i]) + e[j]) * 0.5);  // the real midpoint, rounded
    case 3: return from_bits(bits(e[i]) + (how >> 3) - 16);                        // a neighbour pattern
    default: return fuzz::some_float(in);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  static const std::uint8_t kWidths[] = {2, 4, 8, 4};
  const std::uint8_t b = kWidths[in.ConsumeIntegral<std::uint8_t>() & 3];
  const std::uint8_t host_mode = in.ConsumeIntegral<std::uint8_t>();
  const std::vector<float> e = make_entries(in, std::size_t{1} << b);
  auto made = zorvex::Codebook::make(e, b);
  FUZZ_CHECK(made.ok(), "a valid codebook was refused: %s", made.error().message().c_str());
  const zorvex::Codebook& cb = made.value();

  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 100);
  std::vector<float> values;
  for (std::size_t i = 0; i < count; ++i) values.push_back(some_value(in, e));
  std::vector<std::uint8_t> want(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) want[i] = reference_quantize(e, values[i]);

  // Indices for dequantize: mostly in range, sometimes not.
  std::vector<std::uint8_t> idx = in.ConsumeRemainingBytes<std::uint8_t>();
  idx.resize(std::min<std::size_t>(idx.size(), 100));
  const std::size_t n = e.size();
  std::size_t first_bad = idx.size();
  for (std::size_t i = 0; i < idx.size(); ++i) {
    if ((host_mode & 0x80) == 0) idx[i] = static_cast<std::uint8_t>(idx[i] % n);
    if (idx[i] >= n && first_bad == idx.size()) first_bad = i;
  }

  fuzz::HostFpMode host(host_mode);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::uint8_t got = cb.quantize(values[i]);
    FUZZ_CHECK(got == want[i], "quantize(%s) = %d, want %d (n=%zu)", fuzz::hex32(bits(values[i])).c_str(), got,
               want[i], n);
  }
  for (auto kernel : zorvex::detail::kCodebookKernels) {
    if (!zorvex::detail::codebook_kernel_supported(kernel)) continue;
    const char* name = zorvex::detail::codebook_kernel_name(kernel);
    std::vector<std::uint8_t> out(values.size(), 0xEE);
    auto r = zorvex::detail::codebook_quantize(kernel, cb, values, out);
    FUZZ_CHECK(r.ok(), "%s quantize failed", name);
    for (std::size_t i = 0; i < values.size(); ++i)
      FUZZ_CHECK(out[i] == want[i], "%s quantize(%s) = %d, want %d (element %zu of %zu, n=%zu)", name,
                 fuzz::hex32(bits(values[i])).c_str(), out[i], want[i], i, values.size(), n);

    // Mismatched spans are refused before anything is written.
    if (!values.empty()) {
      std::vector<std::uint8_t> short_out(values.size() - 1, 0xEE);
      auto bad = zorvex::detail::codebook_quantize(kernel, cb, values, short_out);
      FUZZ_CHECK(!bad.ok() && bad.error().message() == "input and output lengths disagree: " +
                                                          std::to_string(values.size()) + " vs " +
                                                          std::to_string(values.size() - 1),
                 "%s: length mismatch not reported", name);
    }

    std::vector<float> deq(idx.size(), -1.0f);
    auto d = zorvex::detail::codebook_dequantize(kernel, cb, idx, deq);
    if (first_bad < idx.size()) {
      const std::string msg = "index " + std::to_string(idx[first_bad]) + " is out of range [0, " + std::to_string(n) + ")";
      FUZZ_CHECK(!d.ok() && d.error().message() == msg, "%s dequantize: want \"%s\"", name, msg.c_str());
    } else {
      FUZZ_CHECK(d.ok(), "%s dequantize failed: %s", name, d.error().message().c_str());
      for (std::size_t i = 0; i < idx.size(); ++i)
        FUZZ_CHECK(bits(deq[i]) == bits(e[idx[i]]), "%s dequantize element %zu", name, i);
    }
  }
  for (std::size_t i = 0; i < std::min<std::size_t>(idx.size(), 8); ++i) {
    auto one = cb.dequantize(idx[i]);
    FUZZ_CHECK(one.ok() == (idx[i] < n), "dequantize(%d) with n=%zu", idx[i], n);
    if (one.ok()) FUZZ_CHECK(bits(one.value()) == bits(e[idx[i]]), "dequantize(%d)", idx[i]);
  }
  return 0;
}
