#pragma once
// XXH64, the 64-bit non-cryptographic checksum of the collection files:
// fast enough to check a gigabyte in a fraction of a second, and defined bit
// for bit, so any implementation can verify a file.
#include <cstddef>
#include <cstdint>
#include <span>

namespace zorvex {

// Incremental form: update() in pieces gives the digest of their concatenation.
class Xxh64 {
 public:
  explicit Xxh64(std::uint64_t seed = 0);
  void update(const void* data, std::size_t size);
  std::uint64_t digest() const;

 private:
  std::uint64_t v_[4];
  std::uint64_t seed_;
  std::uint64_t total_ = 0;
  std::uint8_t buffer_[32];
  std::size_t buffered_ = 0;
};

std::uint64_t xxh64(const void* data, std::size_t size, std::uint64_t seed = 0);

}  // namespace zorvex
