// quote_id against a definition written out here: decode the bytes as UTF-8
// (an ill-formed sequence becomes one U+FFFD per maximal subpart, found by
// the well-formed byte table of the Unicode standard), then write each code
// point: backslash and double quote escaped, NUL/tab/CR/LF as \0 \t \r \n,
// code points of the escape table as \u{hex}, all else as itself. The
// escape test here expands the generated table into a plain bitmap instead
// of searching the ranges. Independently of that definition, the output must
// be valid UTF-8, printable ASCII quotes at the ends, and read back (undoing
// the escapes) to the decoded text.
#include <bitset>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/quote_id.hpp"
#include "fuzz_common.hpp"

namespace {

#include "common/unicode_tables.inc"

constexpr std::uint32_t kLimit = 0x110000;

const std::bitset<kLimit>& escaped_set() {
  static const std::unique_ptr<std::bitset<kLimit>> set = [] {
    auto s = std::make_unique<std::bitset<kLimit>>();
    std::uint32_t prev_end = 0;
    bool first = true;
    for (const auto& r : kEscapedRanges) {
      // The lookup in the code assumes sorted, disjoint, non-adjacent ranges.
      FUZZ_CHECK(r.first <= r.last && r.last < kLimit && (first || r.first > prev_end + 1), "bad range %x-%x",
                 r.first, r.last);
      for (std::uint32_t cp = r.first; cp <= r.last; ++cp) s->set(cp);
      prev_end = r.last;
      first = false;
    }
    return s;
  }();
  return *set;
}

// Table 3-7 of the standard: for a lead byte, the sequence length and the
// allowed range of the second byte (the others are 80..BF).
struct Lead {
  int length;  // 0: never valid
  unsigned char lo, hi;
};
Lead lead_of(unsigned char b) {
  if (b <= 0x7F) return {1, 0, 0};
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};
  if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

std::vector<char32_t> decode(std::string_view s) {
  std::vector<char32_t> out;
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    const Lead lead = lead_of(b0);
    if (lead.length == 0) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    // Extend the prefix while it can still begin a well-formed sequence.
    std::size_t got = 1;
    while (static_cast<int>(got) < lead.length && i + got < s.size()) {
      const auto b = static_cast<unsigned char>(s[i + got]);
      const bool ok = got == 1 ? (b >= lead.lo && b <= lead.hi) : (b >= 0x80 && b <= 0xBF);
      if (!ok) break;
      ++got;
    }
    if (static_cast<int>(got) < lead.length) {
      out.push_back(0xFFFD);
      i += got;
      continue;
    }
    char32_t cp = lead.length == 1 ? b0 : b0 & (0x7F >> lead.length);
    for (std::size_t k = 1; k < got; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out.push_back(cp);
    i += got;
  }
  return out;
}

void put_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string reference_quote(const std::vector<char32_t>& cps) {
  static const char* hex = "0123456789abcdef";
  std::string out = "\"";
  for (char32_t cp : cps) {
    switch (cp) {
      case '\\': out += "\\\\"; continue;
      case '"': out += "\\\""; continue;
      case 0: out += "\\0"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
    }
    if (escaped_set().test(cp)) {
      std::string digits;
      for (char32_t v = cp; v != 0 || digits.empty(); v >>= 4) digits.insert(digits.begin(), hex[v & 15]);
      out += "\\u{" + digits + "}";
    } else {
      put_utf8(out, cp);
    }
  }
  return out + "\"";
}

// Reads a quoted form back into code points; false if it is not one.
bool unquote(const std::string& q, std::vector<char32_t>& out) {
  const std::vector<char32_t> cps = decode(q);
  if (cps.size() < 2 || cps.front() != '"' || cps.back() != '"') return false;
  for (std::size_t i = 1; i + 1 < cps.size(); ++i) {
    const char32_t c = cps[i];
    if (c == '"') return false;  // an unescaped quote inside
    if (c != '\\') {
      if (c < 0x20 || c == 0x7F) return false;
      out.push_back(c);
      continue;
    }
    if (++i + 1 >= cps.size()) return false;
    switch (cps[i]) {
      case '\\': out.push_back('\\'); break;
      case '"': out.push_back('"'); break;
      case '0': out.push_back(0); break;
      case 't': out.push_back('\t'); break;
      case 'r': out.push_back('\r'); break;
      case 'n': out.push_back('\n'); break;
      case 'u': {
        if (++i >= cps.size() || cps[i] != '{') return false;
        char32_t v = 0;
        std::size_t digits = 0;
        while (++i + 1 < cps.size() && cps[i] != '}') {
          const char32_t h = cps[i];
          if (h >= '0' && h <= '9') v = v * 16 + (h - '0');
          else if (h >= 'a' && h <= 'f') v = v * 16 + (h - 'a' + 10);
          else return false;  // upper case or junk
          if (++digits > 6) return false;
        }
        if (digits == 0 || cps[i] != '}') return false;
        out.push_back(v);
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string got = zorvex::quote_id(text);
  const std::vector<char32_t> cps = decode(text);
  const std::string want = reference_quote(cps);
  FUZZ_CHECK(got == want, "quote_id of %zu bytes gives %zu bytes, want %zu", size, got.size(), want.size());

  // Properties that do not lean on the reference: valid UTF-8 out, and the
  // escapes undo to the decoded input.
  const std::vector<char32_t> out_cps = decode(got);
  std::string reencoded;
  for (char32_t cp : out_cps) put_utf8(reencoded, cp);
  FUZZ_CHECK(reencoded == got, "output is not valid UTF-8");
  std::vector<char32_t> back;
  FUZZ_CHECK(unquote(got, back), "output does not parse as a quoted form");
  FUZZ_CHECK(back == cps, "unquoting gives %zu code points, want %zu", back.size(), cps.size());
  for (char32_t cp : out_cps)
    FUZZ_CHECK(!escaped_set().test(cp), "U+%04X written as itself", static_cast<unsigned>(cp));
  return 0;
}
