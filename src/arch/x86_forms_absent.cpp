// Built instead of the *_avx2.cpp / *_avx512.cpp files on processors other
// than x86-64, where those forms cannot be compiled. isa_supported() reports
// them absent and every dispatcher refuses an unsupported form before calling
// it, so these bodies never run; they only give the linker its symbols. A new
// wide kernel needs its stand-in here.
#include <cstddef>
#include <cstdint>
#include <string>

#include "backend/code_scan.hpp"
#include "backend/scan_rotation.hpp"
#include "backend/score_kernels.hpp"
#include "common/result.hpp"
#include "core/codec/codebook_kernels.hpp"
#include "core/codec/rotation_apply.hpp"
#include "core/codec/rotation_batch.hpp"

#if defined(__x86_64__) || defined(__i386__)
#error "x86 builds compile the real wide kernels"
#endif

namespace zorvex::detail {
namespace {
[[noreturn]] void absent(const char* what) { panic(std::string(what) + ": x86 kernel form not built here"); }
}  // namespace

void quantize_avx2(const float*, std::uint32_t, const float*, std::uint8_t*, std::size_t) { absent("quantize_avx2"); }
void quantize_avx512(const float*, std::uint32_t, const float*, std::uint8_t*, std::size_t) {
  absent("quantize_avx512");
}
std::size_t dequantize_avx2(const float*, std::uint32_t, const std::uint8_t*, float*, std::size_t) {
  absent("dequantize_avx2");
}
std::size_t dequantize_avx512(const float*, std::uint32_t, const std::uint8_t*, float*, std::size_t) {
  absent("dequantize_avx512");
}
void rotation_forward_avx2(const double*, std::size_t, const double*, float*) { absent("rotation_forward_avx2"); }
void rotation_inverse_avx2(const double*, std::size_t, const float*, double*, float*) {
  absent("rotation_inverse_avx2");
}
void rotation_forward_avx512(const double*, std::size_t, const double*, float*) { absent("rotation_forward_avx512"); }
void rotation_inverse_avx512(const double*, std::size_t, const float*, double*, float*) {
  absent("rotation_inverse_avx512");
}
const BatchForm& rotation_batch_form_avx2() { absent("rotation_batch_form_avx2"); }
const BatchForm& rotation_batch_form_avx512() { absent("rotation_batch_form_avx512"); }
void score_blocks_avx2(const ScoreBlocks&, const float*, float, float*) { absent("score_blocks_avx2"); }
void score_blocks_avx512(const ScoreBlocks&, const float*, float, float*) { absent("score_blocks_avx512"); }
void score_blocks_multi_avx2(const ScoreBlocks&, const float* const*, const float*, std::size_t, float* const*) {
  absent("score_blocks_multi_avx2");
}
void score_blocks_multi_avx512(const ScoreBlocks&, const float* const*, const float*, std::size_t, float* const*) {
  absent("score_blocks_multi_avx512");
}
void scan_nibbles_avx2(const std::uint8_t*, std::size_t, std::size_t, const std::uint8_t*, std::uint32_t*) {
  absent("scan_nibbles_avx2");
}
void scan_nibbles_avx512(const std::uint8_t*, std::size_t, std::size_t, const std::uint8_t*, std::uint32_t*) {
  absent("scan_nibbles_avx512");
}
void scan_nibbles_multi_avx512(const std::uint8_t*, std::size_t, std::size_t, const std::uint8_t* const*,
                               std::uint32_t* const*, std::size_t) {
  absent("scan_nibbles_multi_avx512");
}
void scan_nibbles_avx512vbmi(const std::uint8_t*, std::size_t, std::size_t, const std::uint8_t*, std::uint32_t*) {
  absent("scan_nibbles_avx512vbmi");
}
void scan_nibbles_multi_avx512vbmi(const std::uint8_t*, std::size_t, std::size_t, const std::uint8_t* const*,
                                   std::uint32_t* const*, std::size_t) {
  absent("scan_nibbles_multi_avx512vbmi");
}
void scan_rotate_panel_avx2(const float*, std::size_t, const float* const*, std::size_t, float* const*) {
  absent("scan_rotate_panel_avx2");
}
void scan_rotate_panel_avx512(const float*, std::size_t, const float* const*, std::size_t, float* const*) {
  absent("scan_rotate_panel_avx512");
}
std::size_t finish_scores_avx2(double, double, const std::int32_t*, const double*, std::size_t, float*) {
  absent("finish_scores_avx2");
}
std::size_t finish_scores_avx512(double, double, const std::int32_t*, const double*, std::size_t, float*) {
  absent("finish_scores_avx512");
}
void scan_bytes_avx2(const std::uint8_t*, std::size_t, std::size_t, const std::int8_t*, const std::int8_t*,
                     std::int32_t*) {
  absent("scan_bytes_avx2");
}
void scan_bytes_avx512vbmi(const std::uint8_t*, std::size_t, std::size_t, const std::int8_t*, const std::int8_t*,
                           std::int32_t*) {
  absent("scan_bytes_avx512vbmi");
}
void scan_bytes_multi_avx2(const std::uint8_t*, std::size_t, std::size_t, const std::int8_t* const*, const std::int8_t*,
                           std::int32_t* const*, std::size_t) {
  absent("scan_bytes_multi_avx2");
}
void scan_bytes_multi_avx512vbmi(const std::uint8_t*, std::size_t, std::size_t, const std::int8_t* const*,
                                 const std::int8_t*, std::int32_t* const*, std::size_t) {
  absent("scan_bytes_multi_avx512vbmi");
}

}  // namespace zorvex::detail
