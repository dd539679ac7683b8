#pragma once
// Immutable bytes shared by every holder. Either one counted allocation made
// here, or a view into bytes that live inside some other shared object (a
// corpus node, a bigger block), kept alive by that object's count.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

namespace zorvex {

class SharedBytes {
 public:
  SharedBytes() noexcept = default;  // null: "no buffer", distinct from empty

  // `n` bytes written by fill(std::span<std::uint8_t>) before anyone sees them.
  template <class Fill>
  static SharedBytes build(std::size_t n, Fill&& fill) {
    std::shared_ptr<std::uint8_t[]> block = std::make_shared_for_overwrite<std::uint8_t[]>(n);
    std::uint8_t* data = block.get();
    fill(std::span<std::uint8_t>(data, n));
    return SharedBytes(std::move(block), data, n);
  }
  static SharedBytes copy_of(std::span<const std::uint8_t> bytes) {
    return build(bytes.size(), [&](std::span<std::uint8_t> out) { std::ranges::copy(bytes, out.begin()); });
  }
  // `bytes` must stay valid while `owner` lives.
  static SharedBytes alias(std::shared_ptr<const void> owner, std::span<const std::uint8_t> bytes) noexcept {
    return SharedBytes(std::move(owner), bytes.data(), bytes.size());
  }

  // `count` bytes from `offset`, sharing this buffer's owner; in range.
  SharedBytes slice(std::size_t offset, std::size_t count) const noexcept {
    return SharedBytes(owner_, data_ + offset, count);
  }

  explicit operator bool() const noexcept { return owner_ != nullptr; }
  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const std::uint8_t* begin() const noexcept { return data_; }
  const std::uint8_t* end() const noexcept { return data_ + size_; }
  std::uint8_t operator[](std::size_t i) const noexcept { return data_[i]; }
  std::span<const std::uint8_t> span() const noexcept { return {data_, size_}; }
  operator std::span<const std::uint8_t>() const noexcept { return span(); }

  friend bool operator==(const SharedBytes& a, std::span<const std::uint8_t> b) noexcept {
    return std::ranges::equal(a.span(), b);
  }
  friend bool operator==(const SharedBytes& a, const SharedBytes& b) noexcept { return a == b.span(); }

 private:
  SharedBytes(std::shared_ptr<const void> owner, const std::uint8_t* data, std::size_t size) noexcept
      : owner_(std::move(owner)), data_(data), size_(size) {}

  std::shared_ptr<const void> owner_;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace zorvex
