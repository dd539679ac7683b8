// Codebook construction and training against a plain re-implementation of
// their rules: bit width, then entry count, then the first adjacent pair that
// is not strictly ascending under IEEE totalOrder (equal: duplicate at that
// index; descending: not sorted); training by linear-interpolation quantiles
// of the totalOrder-sorted values (NaN anywhere refused), then the distinct
// count. totalOrder here is written by sign and magnitude, not as the code's
// integer key. The host FTZ/DAZ mode must not change a trained entry.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/codec/codebook.hpp"
#include "fuzz_common.hpp"

namespace {

using fuzz::bits;
using fuzz::from_bits;

// -1, 0, 1 for a < b, identical, a > b under totalOrder.
template <class U, class F>
int total_order(F a, F b) {
  U ua, ub;
  std::memcpy(&ua, &a, sizeof a);
  std::memcpy(&ub, &b, sizeof b);
  if (ua == ub) return 0;
  const bool na = std::signbit(a), nb = std::signbit(b);
  if (na != nb) return na ? -1 : 1;
  // Same sign: larger magnitude patterns are larger for +, smaller for -.
  const bool less = na ? ua > ub : ua < ub;
  return less ? -1 : 1;
}
int cmp(float a, float b) { return total_order<std::uint32_t>(a, b); }
int cmp(double a, double b) { return total_order<std::uint64_t>(a, b); }

std::uint8_t pick_width(FuzzedDataProvider& in) {
  static const std::uint8_t kWidths[] = {2, 4, 8, 2, 4, 8, 2, 4, 2, 4, 8, 0, 1, 3, 16, 255};
  return kWidths[in.ConsumeIntegral<std::uint8_t>() & 15];
}

std::string reference_make(const std::vector<float>& e, std::uint8_t b) {
  if (b != 2 && b != 4 && b != 8) return "bit_width must be one of [2, 4, 8], got " + std::to_string(b);
  const std::size_t n = std::size_t{1} << b;
  if (e.size() != n)
    return "codebook must have " + std::to_string(n) + " entries for bit_width=" + std::to_string(b) + ", got " +
           std::to_string(e.size());
  for (std::size_t i = 1; i < n; ++i) {
    const int c = cmp(e[i - 1], e[i]);
    if (c == 0) return "codebook must contain " + std::to_string(n) + " distinct values, got " + std::to_string(i);
    if (c > 0) return "codebook entries must be sorted ascending";
  }
  return {};
}

// The next pattern above `f` in totalOrder (f is not the largest NaN).
float total_next(float f) {
  const std::uint32_t u = bits(f);
  if (u == 0x80000000u) return 0.0f;
  return from_bits(std::signbit(f) ? u - 1 : u + 1);
}

void fuzz_make(FuzzedDataProvider& in) {
  const std::uint8_t b = pick_width(in);
  const std::uint8_t shape = in.ConsumeIntegral<std::uint8_t>();
  std::size_t n = (b == 2 || b == 4 || b == 8) ? std::size_t{1} << b : 4;
  if ((shape & 7) == 7) n = in.ConsumeIntegralInRange<std::size_t>(0, 300);  // usually a wrong count
  std::vector<float> e(n);
  for (auto& v : e) v = fuzz::some_float(in);
  if (shape & 8) {
    // Ascending and distinct, then perhaps one fault.
    std::sort(e.begin(), e.end(), [](float a, float b) { return cmp(a, b) < 0; });
    for (std::size_t i = 1; i < n; ++i)
      if (cmp(e[i - 1], e[i]) >= 0) e[i] = total_next(e[i - 1]);
    if (n >= 2 && (shape & 0x30)) {
      const std::size_t i = in.ConsumeIntegralInRange<std::size_t>(1, n - 1);
      switch (shape >> 4 & 3) {
        case 1: e[i] = e[i - 1]; break;            // duplicate
        case 2: std::swap(e[i], e[i - 1]); break;  // descending pair
        case 3: e[i] = std::signbit(e[i - 1]) ? e[i - 1] : -e[i - 1]; break;  // sign flip
      }
    }
  }
  const std::string want = reference_make(e, b);
  auto got = zorvex::Codebook::make(e, b);
  if (!want.empty()) {
    FUZZ_CHECK(!got.ok(), "make accepted entries that should fail with \"%s\"", want.c_str());
    FUZZ_CHECK(got.error().message() == want, "\"%s\", want \"%s\"", got.error().message().c_str(), want.c_str());
    return;
  }
  FUZZ_CHECK(got.ok(), "make failed: %s", got.error().message().c_str());
  FUZZ_CHECK(got->bit_width() == b && got->num_entries() == n, "shape");
  for (std::size_t i = 0; i < n; ++i) FUZZ_CHECK(bits(got->entries()[i]) == bits(e[i]), "entry %zu", i);
}

void fuzz_train(FuzzedDataProvider& in) {
  const std::uint8_t b = pick_width(in);
  const std::uint8_t host_mode = in.ConsumeIntegral<std::uint8_t>();
  std::vector<double> values;
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 400);
  for (std::size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
    // Samples are float32 widened; sometimes a small pool so that ties and
    // too-few-distinct cases are common.
    float f = fuzz::some_float(in);
    if (host_mode & 4) f = static_cast<float>(static_cast<int>(bits(f) % 5));
    values.push_back(static_cast<double>(f));
  }

  std::string want_error;
  std::vector<float> want;
  if (b != 2 && b != 4 && b != 8) {
    want_error = "bit_width must be one of [2, 4, 8], got " + std::to_string(b);
  } else {
    const std::size_t n = std::size_t{1} << b;
    const auto nan = std::find_if(values.begin(), values.end(), [](double v) { return v != v; });
    if (values.empty()) {
      want_error = "insufficient training data for " + std::to_string(n) + " distinct entries";
    } else if (nan != values.end()) {
      want_error = "training data must not contain NaN: value " + std::to_string(nan - values.begin()) + " of " +
                   std::to_string(values.size()) + " (row-major) is NaN";
    } else {
      std::vector<double> s = values;
      std::stable_sort(s.begin(), s.end(), [](double x, double y) { return cmp(x, y) < 0; });
      const double last = static_cast<double>(s.size() - 1);
      for (std::size_t k = 0; k < n; ++k) {
        const double pos = (static_cast<double>(k) / static_cast<double>(n - 1)) * last;
        const double fl = std::floor(pos);
        const std::size_t lo = fl < 0 ? 0 : static_cast<std::size_t>(fl);
        const std::size_t hi = std::min(lo + 1, s.size() - 1);
        want.push_back(static_cast<float>(s[lo] + (s[hi] - s[lo]) * (pos - fl)));
      }
      std::stable_sort(want.begin(), want.end(), [](float x, float y) { return cmp(x, y) < 0; });
      std::size_t distinct = 1;
      for (std::size_t i = 1; i < n; ++i) distinct += cmp(want[i - 1], want[i]) < 0;
      if (distinct < n) want_error = "insufficient training data for " + std::to_string(n) + " distinct entries";
    }
  }

  auto got = [&] {
    fuzz::HostFpMode host(host_mode);
    return zorvex::Codebook::train(values, b);
  }();
  if (!want_error.empty()) {
    FUZZ_CHECK(!got.ok(), "trained what should fail with \"%s\"", want_error.c_str());
    FUZZ_CHECK(got.error().message() == want_error, "\"%s\", want \"%s\"", got.error().message().c_str(),
               want_error.c_str());
    return;
  }
  FUZZ_CHECK(got.ok(), "training on %zu values failed: %s", values.size(), got.error().message().c_str());
  FUZZ_CHECK(got->bit_width() == b && got->num_entries() == want.size(), "shape");
  for (std::size_t i = 0; i < want.size(); ++i)
    FUZZ_CHECK(bits(got->entries()[i]) == bits(want[i]), "entry %zu is %s, want %s", i,
               fuzz::hex32(bits(got->entries()[i])).c_str(), fuzz::hex32(bits(want[i])).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) fuzz_make(in);
  else fuzz_train(in);
  return 0;
}
