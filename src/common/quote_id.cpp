#include "common/quote_id.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace zorvex {
namespace {

#include "common/unicode_tables.inc"

constexpr char32_t kReplacement = 0xFFFD;

bool must_escape(char32_t cp) {
  // First range whose end is not below cp; cp is escaped if that range starts at or before it.
  auto it = std::partition_point(std::begin(kEscapedRanges), std::end(kEscapedRanges),
                                 [cp](const CodePointRange& r) { return r.last < cp; });
  return it != std::end(kEscapedRanges) && it->first <= cp;
}

// Printable ASCII other than the two characters that take a backslash: the
// common case for ids, copied in runs without decoding.
bool plain_ascii(unsigned char b) { return b >= 0x20 && b < 0x7F && b != '\\' && b != '"'; }

bool in(unsigned char b, unsigned char lo, unsigned char hi) { return b >= lo && b <= hi; }

struct Decoded {
  char32_t cp;
  std::size_t length;  // bytes consumed; at least 1
};

// Decodes one code point at text[pos]. An ill-formed sequence yields U+FFFD
// and consumes its maximal subpart (the longest prefix that could still have
// begun a valid sequence), so each bad byte run maps to one replacement and
// decoding resumes at the first byte that broke it.
Decoded decode(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  const std::size_t avail = text.size() - pos;
  const unsigned char b0 = byte(0);
  if (b0 < 0x80) return {b0, 1};

  std::size_t need;  // continuation bytes
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  char32_t cp;
  if (in(b0, 0xC2, 0xDF)) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (in(b0, 0xE0, 0xEF)) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;       // overlong
    else if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (in(b0, 0xF0, 0xF4)) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;       // overlong
    else if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return {kReplacement, 1};  // stray continuation, C0/C1, F5..FF
  }

  for (std::size_t i = 1; i <= need; ++i) {
    if (i >= avail) return {kReplacement, i};
    const unsigned char b = byte(i);
    if (i == 1 ? !in(b, lo, hi) : !in(b, 0x80, 0xBF)) return {kReplacement, i};
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, need + 1};
}

void append_hex_escape(std::string& out, char32_t cp) {
  char buf[8];
  auto res = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint32_t>(cp), 16);
  out += "\\u{";
  out.append(buf, res.ptr);
  out += '}';
}

}  // namespace

std::string quote_id(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t run = pos;
    while (run < text.size() && plain_ascii(static_cast<unsigned char>(text[run]))) ++run;
    out.append(text, pos, run - pos);
    pos = run;
    if (pos == text.size()) break;

    const Decoded d = decode(text, pos);
    switch (d.cp) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\0': out += "\\0"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default:
        if (must_escape(d.cp)) {
          append_hex_escape(out, d.cp);
        } else if (d.cp == kReplacement) {
          out += "\xEF\xBF\xBD";  // the input bytes may have been an invalid sequence
        } else {
          out.append(text, pos, d.length);  // well-formed, so already the canonical encoding
        }
    }
    pos += d.length;
  }
  out += '"';
  return out;
}

}  // namespace zorvex
