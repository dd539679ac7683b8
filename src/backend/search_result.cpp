#include "backend/search_result.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include "common/fp_mode.hpp"
#include "common/quote_id.hpp"
#include "common/result.hpp"

namespace zorvex {

std::string format_score(float score) {
  // Under a host's denormals-are-zero mode a subnormal compares equal to
  // zero, here and inside to_chars, and would be written as "0".
  detail::StandardFpMode mode;
  if (std::isnan(score)) return "NaN";
  if (std::isinf(score)) return score < 0 ? "-inf" : "inf";
  std::string out = std::signbit(score) ? "-" : "";
  if (score == 0.0f) return out + "0";
  // Scientific form has the shortest round-trip digits and an explicit
  // exponent, which is all positional notation needs: "d[.ddd]e±XX".
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, std::fabs(score), std::chars_format::scientific);
  if (ec != std::errc()) panic("score formatting overflowed its buffer");
  const std::string_view text(buf, static_cast<std::size_t>(end - buf));
  const std::size_t e_pos = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e_pos))
    if (c != '.') digits += c;
  const int exponent = std::atoi(std::string(text.substr(e_pos + 1)).c_str());
  const int count = static_cast<int>(digits.size());
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  } else if (exponent >= count - 1) {
    out += digits;
    out.append(static_cast<std::size_t>(exponent - (count - 1)), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(exponent) + 1);
    out += '.';
    out.append(digits, static_cast<std::size_t>(exponent) + 1);
  }
  return out;
}

std::string repr(const SearchResult& result) {
  return "SearchResult(vector_id=" + quote_id(*result.vector_id) + ", score=" + format_score(result.score) + ")";
}

}  // namespace zorvex
