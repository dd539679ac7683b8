#include "core/codec/codebook.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "core/codec/codebook_kernels.hpp"
#include "common/fp_mode.hpp"

namespace zorvex {
namespace {

// IEEE totalOrder as a signed integer order: negative patterns are mirrored
// so that -0.0 < +0.0 and NaNs sort by sign and payload outside the numbers.
std::int32_t total_order_key(float v) {
  const auto k = std::bit_cast<std::int32_t>(v);
  return k ^ ((k >> 31) & 0x7FFFFFFF);
}
std::int64_t total_order_key(double v) {
  const auto k = std::bit_cast<std::int64_t>(v);
  return k ^ ((k >> 63) & 0x7FFFFFFFFFFFFFFF);
}

bool valid_bit_width(std::uint8_t bit_width) { return bit_width == 2 || bit_width == 4 || bit_width == 8; }

std::uint32_t saturate_u32(std::size_t v) {
  return v > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                       : static_cast<std::uint32_t>(v);
}

// A NaN first entry stops the defining scan at index 0 for every value.
bool leading_nan(std::span<const float> e) { return std::isnan(e[0]); }

}  // namespace

Codebook::Codebook(std::shared_ptr<const std::vector<float>> entries, std::uint8_t bit_width)
    : entries_(std::move(entries)), bit_width_(bit_width) {}

Result<Codebook, CodecError> Codebook::make(std::span<const float> entries, std::uint8_t bit_width) {
  if (!valid_bit_width(bit_width)) return err(CodecError::invalid_bit_width(bit_width));
  const std::uint32_t n = 1u << bit_width;
  if (entries.size() != n) return err(CodecError::codebook_entry_count(n, saturate_u32(entries.size()), bit_width));
  for (std::uint32_t i = 1; i < n; ++i) {
    const std::int32_t prev = total_order_key(entries[i - 1]);
    const std::int32_t cur = total_order_key(entries[i]);
    if (prev == cur) return err(CodecError::codebook_duplicate_values(n, i));
    if (cur < prev) return err(CodecError::codebook_not_sorted());
  }
  return Codebook(std::make_shared<const std::vector<float>>(entries.begin(), entries.end()), bit_width);
}

Result<Codebook, CodecError> Codebook::train(std::vector<double> values, std::uint8_t bit_width) {
  if (!valid_bit_width(bit_width)) return err(CodecError::invalid_bit_width(bit_width));
  const std::uint32_t n = 1u << bit_width;
  const std::size_t count = values.size();
  if (count == 0) return err(CodecError::insufficient_training_data(n));
  // NaN would sort past the numbers and become the top entry, and every value
  // quantised to it would decompress to NaN: refuse rather than corrupt.
  const auto nan = std::find_if(values.begin(), values.end(), [](double v) { return std::isnan(v); });
  if (nan != values.end())
    return err(CodecError::training_data_nan(static_cast<std::size_t>(nan - values.begin()), count));

  std::sort(values.begin(), values.end(),
            [](double a, double b) { return total_order_key(a) < total_order_key(b); });

  detail::StandardFpMode fp_mode;
  const double last = static_cast<double>(count - 1);
  std::vector<float> entries(n);
  for (std::uint32_t k = 0; k < n; ++k) {
    const double pos = (static_cast<double>(k) / static_cast<double>(n - 1)) * last;
    const double floor_pos = std::floor(pos);
    std::size_t lo = floor_pos > 0.0 ? static_cast<std::size_t>(floor_pos) : 0;
    lo = std::min(lo, count - 1);
    const std::size_t hi = std::min(lo + 1, count - 1);
    const double frac = pos - floor_pos;
    double value = values[lo] + (values[hi] - values[lo]) * frac;
    // An infinite end makes inf * 0 here. x86-64 gives that the default NaN
    // with its sign set; other processors clear the sign, which would sort the
    // entry to the other end. Every machine takes x86-64's, so codebooks agree.
    if (std::isnan(value)) value = -std::numeric_limits<double>::quiet_NaN();
    entries[k] = static_cast<float>(value);
  }

  std::sort(entries.begin(), entries.end(),
            [](float a, float b) { return total_order_key(a) < total_order_key(b); });
  std::uint32_t distinct = 1;
  for (std::uint32_t i = 1; i < n; ++i)
    if (total_order_key(entries[i - 1]) < total_order_key(entries[i])) ++distinct;
  if (distinct < n) return err(CodecError::insufficient_training_data(n));
  return make(entries, bit_width);
}

std::uint8_t Codebook::quantize(float value) const {
  const std::span<const float> e = entries();
  if (leading_nan(e)) return 0;
  detail::StandardFpMode fp_mode;
  return detail::quantize_one(e.data(), num_entries(), value);
}

Result<float, CodecError> Codebook::dequantize(std::uint8_t index) const {
  if (index >= num_entries()) return err(CodecError::index_out_of_range(index, num_entries()));
  return (*entries_)[index];
}

Result<Unit, CodecError> Codebook::quantize(std::span<const float> input, std::span<std::uint8_t> output) const {
  return detail::codebook_quantize(detail::codebook_kernel_active(), *this, input, output);
}

Result<Unit, CodecError> Codebook::dequantize(std::span<const std::uint8_t> input, std::span<float> output) const {
  return detail::codebook_dequantize(detail::codebook_kernel_active(), *this, input, output);
}

namespace detail {
namespace {

void require_supported(CodebookKernel kernel) {
  if (!codebook_kernel_supported(kernel))
    panic(std::string("codebook kernel not supported on this processor: ") + codebook_kernel_name(kernel));
}

}  // namespace

Result<Unit, CodecError> codebook_quantize(CodebookKernel kernel, const Codebook& codebook,
                                           std::span<const float> input, std::span<std::uint8_t> output) {
  if (input.size() != output.size()) return err(CodecError::length_mismatch(input.size(), output.size()));
  require_supported(kernel);
  const std::span<const float> e = codebook.entries();
  if (leading_nan(e)) {
    std::fill(output.begin(), output.end(), std::uint8_t{0});
    return Unit{};
  }
  detail::StandardFpMode fp_mode;
  const std::uint32_t n = codebook.num_entries();
  switch (kernel) {
    case CodebookKernel::Portable:
      quantize_portable(e.data(), n, input.data(), output.data(), input.size());
      break;
    case CodebookKernel::Avx2:
      quantize_avx2(e.data(), n, input.data(), output.data(), input.size());
      break;
    case CodebookKernel::Avx512:
      quantize_avx512(e.data(), n, input.data(), output.data(), input.size());
      break;
  }
  return Unit{};
}

Result<Unit, CodecError> codebook_dequantize(CodebookKernel kernel, const Codebook& codebook,
                                             std::span<const std::uint8_t> input, std::span<float> output) {
  if (input.size() != output.size()) return err(CodecError::length_mismatch(input.size(), output.size()));
  require_supported(kernel);
  const std::span<const float> e = codebook.entries();
  const std::uint32_t n = codebook.num_entries();
  std::size_t done = 0;
  switch (kernel) {
    case CodebookKernel::Portable:
      done = dequantize_portable(e.data(), n, input.data(), output.data(), input.size());
      break;
    case CodebookKernel::Avx2:
      done = dequantize_avx2(e.data(), n, input.data(), output.data(), input.size());
      break;
    case CodebookKernel::Avx512:
      done = dequantize_avx512(e.data(), n, input.data(), output.data(), input.size());
      break;
  }
  if (done < input.size()) return err(CodecError::index_out_of_range(input[done], n));
  return Unit{};
}

namespace {
template <std::uint32_t N>
void quantize_portable_n(const float* e, const float* x, std::uint8_t* out, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) out[i] = quantize_one<N>(e, x[i]);
}
}  // namespace

void quantize_portable(const float* e, std::uint32_t n, const float* x, std::uint8_t* out, std::size_t count) {
  // A constant n unrolls the search.
  switch (n) {
    case 4:
      return quantize_portable_n<4>(e, x, out, count);
    case 16:
      return quantize_portable_n<16>(e, x, out, count);
    default:
      return quantize_portable_n<256>(e, x, out, count);
  }
}

std::size_t dequantize_portable(const float* e, std::uint32_t n, const std::uint8_t* idx, float* out,
                                std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (idx[i] >= n) return i;
    out[i] = e[idx[i]];
  }
  return count;
}

}  // namespace detail
}  // namespace zorvex
