// Tests of the UTF-8 coding, character classes and case mappings.
#include "tessarin/common/unicode.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "test_support.h"

namespace tessarin::unicode {
namespace {

TEST(UnicodeUtf8, RoundTripsEveryLength) {
  std::u32string text = U"a\u00e9\u20ac\U0001F600\U0010FFFF";
  std::string utf8 = encode_utf8(text);
  EXPECT_EQ(utf8, "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf");
  EXPECT_EQ(decode_utf8(utf8), text);
  EXPECT_EQ(code_point_length(utf8), 5u);
  EXPECT_EQ(prefix_code_points(utf8, 2), "a\xc3\xa9");
  EXPECT_EQ(prefix_code_points(utf8, 0), "");
  EXPECT_EQ(prefix_code_points(utf8, 9), utf8);
}

// The word-at-a-time count equals the code points written, and the bytes
// that start a code point on any cut, at every alignment and past the
// 255-word lane flush.
TEST(UnicodeUtf8, CodePointLengthCountsEveryLengthAndAlignment) {
  const std::string pieces[] = {"a", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
  std::string text;
  for (std::size_t written = 1; text.size() < 8 * 255 * 2 + 37; ++written) {
    text += pieces[(written * 7 + written / 3) % 4];
    if (written % 97 != 0 && text.size() <= 8 * 255 * 2) continue;
    EXPECT_EQ(code_point_length(text), written);
    for (std::size_t skip = 1; skip < 8; ++skip) {
      std::string_view tail = std::string_view(text).substr(skip);
      std::size_t starts = 0;
      for (char c : tail) starts += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
      EXPECT_EQ(code_point_length(tail), starts) << text.size() << " skip " << skip;
    }
  }
}

TEST(UnicodeUtf8, RejectsMalformedWithOffset) {
  struct Case {
    std::string text;
    std::size_t offset;
  };
  const Case cases[] = {
      {"ab\x80", 2},            // stray continuation byte
      {"a\xc0\xaf", 1},         // overlong
      {"\xe0\x80\xaf", 0},      // overlong three-byte
      {"xy\xed\xa0\x80", 2},    // surrogate
      {"\xf4\x90\x80\x80", 0},  // above U+10FFFF
      {"ok\xe2\x82", 2},        // truncated
      {"\xc3(", 0},             // bad continuation
      {std::string("a\xf5\x80\x80\x80"), 1},
  };
  for (const Case& c : cases) {
    try {
      decode_utf8(c.text);
      ADD_FAILURE() << "accepted " << c.text;
    } catch (const Utf8Error& e) {
      EXPECT_EQ(e.byte_offset, c.offset) << c.text;
    }
    EXPECT_THROW(validate_utf8(c.text), Utf8Error);
  }
}

TEST(UnicodeClasses, MatchPythonStrMethods) {
  EXPECT_TRUE(is_space(U' '));
  EXPECT_TRUE(is_space(0x1C));
  EXPECT_TRUE(is_space(0x85));
  EXPECT_TRUE(is_space(0xA0));
  EXPECT_TRUE(is_space(0x3000));
  EXPECT_FALSE(is_space(0x200B));  // zero width space is not white space
  EXPECT_TRUE(is_word(U'_'));
  EXPECT_TRUE(is_word(0xE9));
  EXPECT_TRUE(is_alnum(0x00B2));  // superscript two is numeric
  EXPECT_FALSE(is_decimal(0x00B2));
  EXPECT_TRUE(is_decimal(0x0663));
  EXPECT_EQ(decimal_value(0x0663), 3);
  EXPECT_EQ(decimal_value(0x1D7FF), 9);  // last mathematical digit run
  EXPECT_EQ(decimal_value(U'x'), -1);
  EXPECT_TRUE(is_printable(0xE9));
  EXPECT_FALSE(is_printable(0xA0));
  EXPECT_FALSE(is_printable(0x7F));
  EXPECT_FALSE(is_printable(0x110000));
  EXPECT_FALSE(is_space(0x110000));
}

TEST(UnicodeFold, ClassesShareOneFold) {
  EXPECT_EQ(simple_fold(U'K'), U'k');
  EXPECT_EQ(simple_fold(0x212A), U'k');  // Kelvin sign
  EXPECT_EQ(simple_fold(0x130), char32_t{0x130});
  EXPECT_EQ(simple_fold(0x3A3), char32_t{0x3C3});
  EXPECT_EQ(simple_fold(0x3C2), char32_t{0x3C3});
  std::set<char32_t> variants;
  for_each_case_variant(U'k', [&](char32_t c) { variants.insert(c); });
  EXPECT_EQ(variants, (std::set<char32_t>{U'K', 0x212A}));
  variants.clear();
  for_each_case_variant(0x3C3, [&](char32_t c) { variants.insert(c); });
  EXPECT_EQ(variants, (std::set<char32_t>{0x3A3, 0x3C2}));
  variants.clear();
  for_each_case_variant(U'1', [&](char32_t c) { variants.insert(c); });
  EXPECT_TRUE(variants.empty());
}

TEST(UnicodeLower, FullMappingAndFinalSigma) {
  const test_support::TextCase cases[] = {
      {"ABC xyz", "abc xyz"},
      {"\xc4\xb0", "i\xcc\x87"},  // İ -> i + combining dot
      {"\xce\x9f\xce\x94\xce\x9f\xce\xa3", "\xce\xbf\xce\xb4\xce\xbf\xcf\x82"},  // ΟΔΟΣ -> οδος
      {"\xce\xa3", "\xcf\x83"},                                                  // lone Σ
      {"A\xce\xa3 B", "a\xcf\x82 b"},                                            // word end
      {"A\xce\xa3"
       "B",
       "a\xcf\x83"
       "b"},                           // inside a word
      {"A'\xce\xa3'", "a'\xcf\x82'"},  // apostrophes are ignorable
      {"A\xce\xa3'b", "a\xcf\x83'b"},  // cased letter after ignorables
      {" \xce\xa3x", " \xcf\x83x"},    // nothing cased before
      {"Caf\xc3\x89", "caf\xc3\xa9"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(to_lower(std::string_view(in)), out) << in;
  EXPECT_EQ(to_lower(std::u32string_view(U"\u0130X")), U"i\u0307x");
}

TEST(UnicodeStrip, RemovesUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(strip(std::string_view(" \t\xc2\xa0 a b\xe3\x80\x80\n")), "a b");
  EXPECT_EQ(strip(std::string_view("\xe2\x80\x8b"
                                   "a")),
            "\xe2\x80\x8b"
            "a");
  EXPECT_EQ(strip(std::string_view(" \x1f ")), "");
  EXPECT_EQ(strip(std::string_view("")), "");
  EXPECT_EQ(strip(std::string_view("\xc3\xa9")), "\xc3\xa9");
  EXPECT_EQ(strip(std::u32string_view(U"\u2003x\u2003")), U"x");
}

}  // namespace
}  // namespace tessarin::unicode
