#pragma once
// The seeded random stream behind rotation matrices: PCG32 seed expansion
// into a ChaCha20 key, ChaCha20 keystream (64-bit counter, 64-bit stream
// number), 64-bit draws, uniform doubles and Box-Muller Gaussians. Every value
// is fixed bit for bit by (seed, position).
#include <array>
#include <cmath>
#include <cstdint>
#include <utility>

#include "core/codec/fdlibm.hpp"

namespace zorvex {

using ChaChaKey = std::array<std::uint32_t, 8>;

// Eight PCG32 (XSH-RR) outputs from state = seed; word k is key bytes 4k..4k+3
// read little-endian.
ChaChaKey pcg32_expand_seed(std::uint64_t seed);

// One 64-byte block as 16 words (each word little-endian in the byte stream).
void chacha20_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t out[16]);
// Blocks counter .. counter+3 (counter wraps modulo 2^64), block b at out[16b].
void chacha20_blocks4(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t out[64]);

// Keystream words from counter 0, stream 0, handed out two at a time.
class ChaCha20Stream {
 public:
  explicit ChaCha20Stream(const ChaChaKey& key) : key_(key) {}
  // Next two keystream words, the first as the low half.
  std::uint64_t next_u64() {
    if (pos_ > kBufferWords - 2) refill();
    const std::uint64_t v = static_cast<std::uint64_t>(buffer_[pos_]) |
                            (static_cast<std::uint64_t>(buffer_[pos_ + 1]) << 32);
    pos_ += 2;
    return v;
  }

 private:
  static constexpr unsigned kBufferWords = 64;
  void refill();

  ChaChaKey key_;
  std::uint64_t counter_ = 0;
  unsigned pos_ = kBufferWords;
  std::array<std::uint32_t, kBufferWords> buffer_{};
};

// 53 random bits in [0, 1).
inline double uniform_from_u64(std::uint64_t x) { return static_cast<double>(x >> 11) * 0x1p-53; }

// Standard normal values, Box-Muller in trigonometric form, two per accepted
// pair of uniforms: cos first, the sin partner on the next call. Draws is
// anything with next_u64().
template <class Draws>
class BasicGaussianSource {
 public:
  explicit BasicGaussianSource(Draws draws) : draws_(std::move(draws)) {}
  double next() {
    if (has_spare_) {
      has_spare_ = false;
      return spare_;
    }
    double u1, u2;
    do {
      u1 = uniform_from_u64(draws_.next_u64());
      u2 = uniform_from_u64(draws_.next_u64());
    } while (!(u1 > 0.0));
    const double r = std::sqrt(fdlibm::log(u1) * -2.0);
    const double theta = u2 * 6.283185307179586;
    spare_ = r * fdlibm::sin(theta);
    has_spare_ = true;
    return fdlibm::cos(theta) * r;
  }

 private:
  Draws draws_;
  double spare_ = 0.0;
  bool has_spare_ = false;
};

class GaussianSource : public BasicGaussianSource<ChaCha20Stream> {
 public:
  explicit GaussianSource(std::uint64_t seed)
      : BasicGaussianSource<ChaCha20Stream>(ChaCha20Stream(pcg32_expand_seed(seed))) {}
};

}  // namespace zorvex
