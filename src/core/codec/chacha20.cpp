#include "core/codec/chacha20.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zorvex {
namespace {

// "expand 32-byte k" as little-endian words.
constexpr std::uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

inline std::uint32_t rotl32(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
  a += b;
  d = rotl32(d ^ a, 16);
  c += d;
  b = rotl32(b ^ c, 12);
  a += b;
  d = rotl32(d ^ a, 8);
  c += d;
  b = rotl32(b ^ c, 7);
}

void initial_state(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t s[16]) {
  for (int i = 0; i < 4; ++i) s[i] = kSigma[i];
  for (int i = 0; i < 8; ++i) s[4 + i] = key[i];
  s[12] = static_cast<std::uint32_t>(counter);
  s[13] = static_cast<std::uint32_t>(counter >> 32);
  s[14] = static_cast<std::uint32_t>(stream);
  s[15] = static_cast<std::uint32_t>(stream >> 32);
}

#if defined(__SSE2__)
inline __m128i rotl_epi32(__m128i v, int n) {
  return _mm_or_si128(_mm_slli_epi32(v, n), _mm_srli_epi32(v, 32 - n));
}

inline void quarter_round4(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
  a = _mm_add_epi32(a, b);
  d = rotl_epi32(_mm_xor_si128(d, a), 16);
  c = _mm_add_epi32(c, d);
  b = rotl_epi32(_mm_xor_si128(b, c), 12);
  a = _mm_add_epi32(a, b);
  d = rotl_epi32(_mm_xor_si128(d, a), 8);
  c = _mm_add_epi32(c, d);
  b = rotl_epi32(_mm_xor_si128(b, c), 7);
}

// Four blocks side by side: vector w holds word w of blocks 0..3.
void blocks4_sse2(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t out[64]) {
  std::uint32_t base[16];
  initial_state(key, counter, stream, base);
  __m128i in[16];
  for (int w = 0; w < 16; ++w) in[w] = _mm_set1_epi32(static_cast<int>(base[w]));
  alignas(16) std::uint32_t lo[4], hi[4];
  for (int b = 0; b < 4; ++b) {
    const std::uint64_t c = counter + static_cast<std::uint64_t>(b);
    lo[b] = static_cast<std::uint32_t>(c);
    hi[b] = static_cast<std::uint32_t>(c >> 32);
  }
  in[12] = _mm_load_si128(reinterpret_cast<const __m128i*>(lo));
  in[13] = _mm_load_si128(reinterpret_cast<const __m128i*>(hi));

  __m128i x[16];
  for (int w = 0; w < 16; ++w) x[w] = in[w];
  for (int round = 0; round < 10; ++round) {
    quarter_round4(x[0], x[4], x[8], x[12]);
    quarter_round4(x[1], x[5], x[9], x[13]);
    quarter_round4(x[2], x[6], x[10], x[14]);
    quarter_round4(x[3], x[7], x[11], x[15]);
    quarter_round4(x[0], x[5], x[10], x[15]);
    quarter_round4(x[1], x[6], x[11], x[12]);
    quarter_round4(x[2], x[7], x[8], x[13]);
    quarter_round4(x[3], x[4], x[9], x[14]);
  }
  for (int w = 0; w < 16; ++w) x[w] = _mm_add_epi32(x[w], in[w]);

  // Transpose each group of four words back into block order.
  for (int g = 0; g < 4; ++g) {
    const __m128i t0 = _mm_unpacklo_epi32(x[4 * g + 0], x[4 * g + 1]);  // b0w0 b0w1 b1w0 b1w1
    const __m128i t1 = _mm_unpacklo_epi32(x[4 * g + 2], x[4 * g + 3]);  // b0w2 b0w3 b1w2 b1w3
    const __m128i t2 = _mm_unpackhi_epi32(x[4 * g + 0], x[4 * g + 1]);  // b2w0 b2w1 b3w0 b3w1
    const __m128i t3 = _mm_unpackhi_epi32(x[4 * g + 2], x[4 * g + 3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 0 * 16 + 4 * g), _mm_unpacklo_epi64(t0, t1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1 * 16 + 4 * g), _mm_unpackhi_epi64(t0, t1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * 16 + 4 * g), _mm_unpacklo_epi64(t2, t3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * 16 + 4 * g), _mm_unpackhi_epi64(t2, t3));
  }
}
#endif

}  // namespace

ChaChaKey pcg32_expand_seed(std::uint64_t seed) {
  ChaChaKey key{};
  std::uint64_t state = seed;
  for (auto& word : key) {
    state = state * 6364136223846793005ULL + 11634580027462260723ULL;
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rot = static_cast<unsigned>(state >> 59);
    word = (xorshifted >> rot) | (xorshifted << ((32 - rot) & 31));
  }
  return key;
}

void chacha20_block(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t out[16]) {
  std::uint32_t in[16];
  initial_state(key, counter, stream, in);
  std::uint32_t x[16];
  std::memcpy(x, in, sizeof x);
  for (int round = 0; round < 10; ++round) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
}

void chacha20_blocks4(const ChaChaKey& key, std::uint64_t counter, std::uint64_t stream, std::uint32_t out[64]) {
#if defined(__SSE2__)
  blocks4_sse2(key, counter, stream, out);
#else
  for (int b = 0; b < 4; ++b) chacha20_block(key, counter + static_cast<std::uint64_t>(b), stream, out + 16 * b);
#endif
}

void ChaCha20Stream::refill() {
  chacha20_blocks4(key_, counter_, 0, buffer_.data());
  counter_ += 4;
  pos_ = 0;
}

}  // namespace zorvex
