// Tests of replacement templates: expansion as re.sub expands, sub and subn
// with a count, and the faults a template can have.
#include "tessarin/common/regex_replace.h"

#include <gtest/gtest.h>

#include <string>

#include "tessarin/common/unicode.h"
#include "test_support.h"

namespace tessarin {
namespace {

using unicode::decode_utf8;
using unicode::encode_utf8;

struct ExpandCase {
  const char* replacement;
  std::string expected;  // of sub over "a1b22c333" with (\d+)
};

class RegexTemplateExpand : public testing::TestWithParam<ExpandCase> {};

TEST_P(RegexTemplateExpand, AsReSub) {
  const Regex digits("(\\d+)");
  EXPECT_EQ(digits.sub(std::string_view(GetParam().replacement), "a1b22c333"), GetParam().expected);
  const RegexTemplate parsed(decode_utf8(GetParam().replacement), digits.group_count());
  EXPECT_EQ(encode_utf8(digits.sub(parsed, U"a1b22c333")), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Templates, RegexTemplateExpand,
                         testing::Values(ExpandCase{"-", "a-b-c-"}, ExpandCase{"", "abc"},
                                         ExpandCase{"<\\1>", "a<1>b<22>c<333>"},
                                         ExpandCase{"\\g<0>\\g<1>", "a11b2222c333333"},
                                         ExpandCase{"x\\g<01>y", "ax1ybx22ycx333y"},
                                         ExpandCase{"[\\1\\1]", "a[11]b[2222]c[333333]"},
                                         ExpandCase{"\\n\\t\\\\", "a\n\t\\b\n\t\\c\n\t\\"},
                                         ExpandCase{"\\-", "a\\-b\\-c\\-"},
                                         ExpandCase{"\\101", "aAbAcA"},
                                         ExpandCase{"\\08", std::string("a\0"
                                                                        "8b\0"
                                                                        "8c\0"
                                                                        "8",
                                                                        9)},
                                         ExpandCase{"\xC3\xA9\\\\\xC3\xA9",
                                                    "a\xC3\xA9\\\xC3\xA9"
                                                    "b\xC3\xA9\\\xC3\xA9"
                                                    "c\xC3\xA9\\\xC3\xA9"}));

TEST(RegexTemplate, CountLimitsTheReplacements) {
  const Regex digit("(\\d)");
  EXPECT_EQ(digit.subn(U"<\\1>", U"a1b22", 2), std::make_pair(std::u32string(U"a<1>b<2>2"), 2ul));
  EXPECT_EQ(digit.subn(U"<\\1>", U"a1b22"), std::make_pair(std::u32string(U"a<1>b<2><2>"), 3ul));
  EXPECT_EQ(digit.sub(U"-", U"a1b22", 1), U"a-b22");
  EXPECT_EQ(Regex("x*").subn(U"-", U"abxd"), std::make_pair(std::u32string(U"-a-b--d-"), 5ul));
  EXPECT_EQ(digit.subn(U"-", U"none"), std::make_pair(std::u32string(U"none"), 0ul));
  // An unset group expands to nothing.
  EXPECT_EQ(Regex("(a)|(b)").sub(U"[\\1\\2]", U"ab"), U"[a][b]");
}

TEST(RegexTemplate, FaultsNameTheirPosition) {
  const test_support::TextCase cases[] = {
      {"\\2", "invalid group reference 2 at position 0"},
      {"\\12", "invalid group reference 12 at position 0"},
      {"\\g<2>", "invalid group reference 2 at position 3"},
      {"\\q", "bad escape \\q at position 0"},
      {"\\", "bad escape (end of pattern) at position 0"},
      {"\\g<x", "missing >, unterminated name at position 3"},
      {"\\g<1a>", "bad character in group name at position 3"},
      {"\\g<>", "missing group name at position 3"},
      {"ab\\g", "missing < at position 4"},
      {"\\400", "octal escape value outside of range 0-0o377 at position 0"},
      {"\\g<1234567890>", "invalid group reference at position 3"},
  };
  for (const auto& [replacement, message] : cases)
    EXPECT_EQ(test_support::error_text<RegexTemplateError>(
                  [&] { RegexTemplate(decode_utf8(replacement), 1); }),
              message)
        << replacement;
  EXPECT_THROW(RegexTemplate(U"\\g<name>", 1), RegexGroupNameError);
  EXPECT_THROW(Regex("(a)").sub(U"\\2", U"a"), RegexTemplateError);
}

}  // namespace
}  // namespace tessarin
