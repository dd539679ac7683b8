#pragma once
// Identifiers held as an offsets table plus their bytes, with a permutation
// sorting them, as a collection file lays them out: a mapped index reads them
// in place and finds one by binary search, building no hash map. Every read
// is clamped to the tables' bounds, so damaged tables give wrong text, never
// a read outside them.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace zorvex::detail {

struct IdColumn {
  const std::uint64_t* offsets = nullptr;  // n + 1
  const char* bytes = nullptr;             // offsets[n] of them (`total`)
  const std::uint64_t* order = nullptr;    // n positions, ascending by text
  std::size_t n = 0;
  std::uint64_t total = 0;

  std::string_view at(std::size_t i) const {
    if (i >= n) return {};
    const std::uint64_t lo = offsets[i] < total ? offsets[i] : total;
    const std::uint64_t hi = offsets[i + 1] < lo ? lo : (offsets[i + 1] < total ? offsets[i + 1] : total);
    return {bytes + lo, static_cast<std::size_t>(hi - lo)};
  }

  std::optional<std::size_t> find(std::string_view id) const {
    std::size_t lo = 0, hi = n;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      const std::string_view probe = at(order[mid]);
      if (probe < id) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    if (lo < n && order[lo] < n && at(order[lo]) == id) return static_cast<std::size_t>(order[lo]);
    return std::nullopt;
  }
};

}  // namespace zorvex::detail
