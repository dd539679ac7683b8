#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "common/quote_id.hpp"

namespace {

#include "common/unicode_tables.inc"

using zorvex::quote_id;
using namespace std::string_literals;

struct Case {
  std::string input;
  std::string expected;  // without the surrounding quotes
};

void PrintTo(const Case& c, std::ostream* os) { *os << testing::PrintToString(c.input); }

class QuoteId : public testing::TestWithParam<Case> {};

TEST_P(QuoteId, Writes) {
  EXPECT_EQ(quote_id(GetParam().input), "\"" + GetParam().expected + "\"");
}

INSTANTIATE_TEST_SUITE_P(Fixed, QuoteId, testing::Values(
    Case{"", ""}, Case{"abc_1", "abc_1"}, Case{"a\"b", "a\\\"b"}, Case{"\\", "\\\\"},
    Case{"\0"s, "\\0"}, Case{"a\tb\rc\nd", "a\\tb\\rc\\nd"}, Case{"it's", "it's"},
    Case{"a b", "a b"}));

INSTANTIATE_TEST_SUITE_P(NotPrintable, QuoteId, testing::Values(
    Case{"\x07", "\\u{7}"}, Case{"x\x1b[0m", "x\\u{1b}[0m"}, Case{"\x7f", "\\u{7f}"},
    Case{"\u0085", "\\u{85}"}, Case{"a\u00a0b", "a\\u{a0}b"}, Case{"\u00ad", "\\u{ad}"},
    Case{"\u200b", "\\u{200b}"}, Case{"\u2028\u2029", "\\u{2028}\\u{2029}"},
    Case{"\u3000", "\\u{3000}"}, Case{"\ue000", "\\u{e000}"},          // Zs, Co
    Case{"\xcd\xb8", "\\u{378}"}, Case{"\xef\xbf\xbf", "\\u{ffff}"},  // unassigned
    Case{"\U000E0001", "\\u{e0001}"}, Case{"\U0010FFFF", "\\u{10ffff}"}));

INSTANTIATE_TEST_SUITE_P(Extending, QuoteId, testing::Values(
    Case{"e\u0301", "e\\u{301}"}, Case{"\u20dd", "\\u{20dd}"},  // Mn, Me
    Case{"\u09be", "\\u{9be}"}, Case{"\uff9e", "\\u{ff9e}"},    // Other_Grapheme_Extend
    Case{"\U0001D165", "\\u{1d165}"}, Case{"\u200c", "\\u{200c}"}));

INSTANTIATE_TEST_SUITE_P(Printable, QuoteId, testing::Values(
    Case{"\u00e9t\u00e9", "\u00e9t\u00e9"}, Case{"\u4e2d", "\u4e2d"},
    Case{"\U0001F600", "\U0001F600"}, Case{"\u0903", "\u0903"},  // spacing mark, not extending
    Case{"\ufffd", "\ufffd"}));

// Each maximal invalid subpart becomes one U+FFFD and decoding resumes after it.
INSTANTIATE_TEST_SUITE_P(InvalidUtf8, QuoteId, testing::Values(
    Case{"\x80", "\ufffd"}, Case{"\xff\xf5", "\ufffd\ufffd"},
    Case{"\xc0\xaf", "\ufffd\ufffd"},                            // overlong
    Case{"\xe0\x80\x80", "\ufffd\ufffd\ufffd"},                  // overlong
    Case{"\xed\xa0\x80", "\ufffd\ufffd\ufffd"},                  // surrogate
    Case{"\xf4\x90\x80\x80", "\ufffd\ufffd\ufffd\ufffd"},        // above U+10FFFF
    Case{"\xc3", "\ufffd"}, Case{"\xf0\x9f\x98", "\ufffd"},      // truncated at end
    Case{"\xe4\xb8" "a", "\ufffd" "a"}, Case{"\xe4\xb8\"", "\ufffd\\\""},
    Case{"a\xf0\x9f\x98\x80\x80", "a\U0001F600\ufffd"}));

std::string utf8(char32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  }
  if (cp >= 0x80) s += static_cast<char>(0x80 | (cp & 0x3F));
  return s;
}

// Every scalar value decodes to itself: written raw, or escaped with its own number.
TEST(QuoteIdAll, EachScalarValueIsItselfOrItsEscape) {
  for (char32_t cp = 0x20; cp <= 0x10FFFF; ++cp) {
    if (cp == 0xD800) cp = 0xE000;
    if (cp == '\\' || cp == '"') continue;
    char raw[8], esc[16];
    std::snprintf(raw, sizeof raw, "\"%s\"", utf8(cp).c_str());
    std::snprintf(esc, sizeof esc, "\"\\u{%x}\"", static_cast<unsigned>(cp));
    const std::string got = quote_id(utf8(cp));
    ASSERT_TRUE(got == raw || got == esc)
        << std::hex << static_cast<unsigned>(cp) << " -> " << got;
  }
}

TEST(QuoteIdTable, RangesSortedDisjointAndMerged) {
  const auto& t = kEscapedRanges;
  for (std::size_t i = 0; i < std::size(t); ++i) {
    EXPECT_LE(t[i].first, t[i].last) << i;
    EXPECT_LE(t[i].last, 0x10FFFFu) << i;
    if (i > 0) {
      EXPECT_GT(t[i].first, t[i - 1].last + 1) << i;  // a gap, else they should have merged
    }
  }
  EXPECT_EQ(t[0].first, 0u);
  EXPECT_EQ(t[0].last, 0x1Fu);  // U+0020 is printable
}

bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t n = b < 0x80 ? 1 : b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3
                                       : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    char32_t cp = n == 1 ? b : b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    const char32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// Arbitrary bytes: valid UTF-8 out, no raw control characters, no runaway reads.
TEST(QuoteIdAll, ArbitraryBytesGiveCleanOutput) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> len(0, 8), byte(0, 255), pick(0, 3);
  const unsigned char likely[] = {0x80, 0xBF, 0xE0, 0xED, 0xF0, 0xF4, 0x9F, 0xA0};
  for (int round = 0; round < 200000; ++round) {
    // Exactly sized, with no terminator, so a sanitizer build sees any overread.
    std::vector<char> in(static_cast<std::size_t>(len(rng)));
    for (char& c : in)
      c = static_cast<char>(pick(rng) == 0 ? likely[byte(rng) % 8] : byte(rng));
    const std::string out = quote_id(std::string_view(in.data(), in.size()));
    ASSERT_TRUE(valid_utf8(out)) << testing::PrintToString(std::string(in.begin(), in.end()));
    ASSERT_GE(out.size(), 2u);
    ASSERT_EQ(out.front(), '"');
    ASSERT_EQ(out.back(), '"');
    for (char c : out) ASSERT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F);
  }
}

}  // namespace
