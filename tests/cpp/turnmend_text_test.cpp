// Text primitives of the resolver: identifier splitting, tokenization (and
// the equivalence of its ASCII scanner with the pattern-based definition),
// compaction, token estimates and overlap.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tessarin/common/unicode.h"
#include "tessarin/turnmend/text.h"
#include "tessarin/turnmend/vocabulary.h"

namespace tessarin::turnmend {
namespace {

struct SplitCase {
  std::string input;
  std::string expected;
};

class SplitIdentifierTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitIdentifierTest, SplitsAsDefined) {
  EXPECT_EQ(split_identifier(std::string_view(GetParam().input)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitIdentifierTest,
                         ::testing::Values(SplitCase{"", ""},
                                           SplitCase{"created_at_ms", "created at ms"},
                                           SplitCase{"A", "a"},
                                           SplitCase{"order_Date", "order  date"},
                                           SplitCase{"ABCTable", "a b c table"},
                                           SplitCase{"sales.orderDate", "sales order date"},
                                           SplitCase{"order-date", "order date"},
                                           // Non-ASCII capitals are lower-cased but never split.
                                           SplitCase{"\xc3\x89"
                                                     "coleName",
                                                     "\xc3\xa9"
                                                     "cole name"},
                                           SplitCase{"x\xc3\x89", "x\xc3\xa9"}));

TEST(SplitIdentifierTest, NullGivesEmptyText) { EXPECT_EQ(split_identifier(JsonValue()), ""); }

struct TokenCase {
  JsonValue input;
  bool empty_stopwords;
  StringList expected;
};

class TokenizeTest : public ::testing::TestWithParam<TokenCase> {};

TEST_P(TokenizeTest, FindsWordRuns) {
  WordSet none;
  const TokenCase& c = GetParam();
  EXPECT_EQ(tokenize(c.input, c.empty_stopwords ? &none : nullptr), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TokenizeTest,
    ::testing::Values(
        TokenCase{"Show revenue by orderDate", false, {"revenue", "order", "date"}},
        TokenCase{"Show revenue by orderDate", true, {"show", "revenue", "by", "order", "date"}},
        TokenCase{"table:sales_orders", false, {"table", "sales", "orders"}},
        TokenCase{"v2_metrics", false, {"v2", "metrics"}},
        TokenCase{"caf\xc3\xa9 au lait", false, {"caf", "au", "lait"}},
        TokenCase{"show me it please", false, {}}, TokenCase{JsonValue(), false, {}},
        TokenCase{JsonList{"sales_orders", 2023}, false, {"sales", "orders", "2023"}},
        TokenCase{JsonList{}, true, {}}, TokenCase{2.0, false, {"2", "0"}},
        TokenCase{true, true, {"true"}},
        TokenCase{JsonMap{{"a_b", JsonValue()}}, false, {"b", "none"}},
        TokenCase{"sales sales", false, {"sales", "sales"}},
        // The Kelvin sign lower-cases to an ASCII k; dotted capital I to i
        // and a combining dot, which separates.
        TokenCase{"\xe2\x84\xaa"
                  "elvin",
                  false,
                  {"kelvin"}},
        TokenCase{"\xc4\xb0stanbul", true, {"i", "stanbul"}},
        TokenCase{"\xc4\xb0stanbul", false, {"stanbul"}}));

// The definition: split identifiers, then every [a-zA-Z0-9_]+ run, lowered.
StringList tokenize_by_patterns(const std::string& text, const WordSet& stop) {
  const Vocabulary& v = vocabulary();
  std::string s = text;
  for (char& c : s)
    if (c == '_' || c == '-' || c == '.') c = ' ';
  s = v.CAMEL_RE.replace_all(std::string_view(s), " ");
  s = unicode::to_lower(std::string_view(s));
  std::u32string cps = unicode::decode_utf8(s);
  StringList out;
  for (const RegexMatch& m : v.WORD_RE.find_all(cps)) {
    std::string word = unicode::encode_utf8(m.group(cps));
    if (!stop.contains(word)) out.push_back(word);
  }
  return out;
}

TEST(TokenizeTest, ScannerMatchesPatternDefinition) {
  std::mt19937 rng(7);
  const std::string alphabet = "aZbY09_-. :xQ\tIt";
  const std::vector<std::string> extras = {"\xc3\x89", "\xe2\x84\xaa", "\xc4\xb0", "\xc3\x9f",
                                           "show",     "Last",         "orderDate"};
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    int length = static_cast<int>(rng() % 24);
    for (int i = 0; i < length; ++i) {
      if (rng() % 8 == 0)
        text += extras[rng() % extras.size()];
      else
        text += alphabet[rng() % alphabet.size()];
    }
    for (bool empty_stop : {false, true}) {
      WordSet none;
      const WordSet& stop = empty_stop ? none : vocabulary().STOPWORDS;
      EXPECT_EQ(tokenize(std::string_view(text), &stop), tokenize_by_patterns(text, stop))
          << "text: " << text;
    }
  }
}

TEST(CompactTextTest, CutsLongTextToTheLimit) {
  std::string long_text(600, 'x');
  std::string cut = compact_text(std::string_view(long_text));
  EXPECT_EQ(cut, std::string(497, 'x') + "...");
  EXPECT_EQ(cut.size(), 500u);

  std::string exact(500, 'y');
  EXPECT_EQ(compact_text(std::string_view(exact)), exact);
  EXPECT_EQ(compact_text(std::string_view(exact + "y")), std::string(497, 'y') + "...");

  // A blank ending the kept prefix is dropped before the dots.
  std::string blank_at_cut = std::string(496, 'z') + " " + std::string(100, 'z');
  EXPECT_EQ(compact_text(std::string_view(blank_at_cut)), std::string(496, 'z') + "...");
}

TEST(CompactTextTest, CountsCodePointsNotBytes) {
  std::string accents;
  for (int i = 0; i < 10; ++i) accents += "\xc3\xa9";
  EXPECT_EQ(compact_text(std::string_view(accents), 10), accents);
  std::string cut = compact_text(std::string_view(accents + "\xc3\xa9"), 10);
  EXPECT_EQ(unicode::code_point_length(cut), 10u);
  EXPECT_EQ(cut.substr(cut.size() - 3), "...");
}

TEST(CompactTextTest, CollapsesWhiteSpaceOfAnyScript) {
  EXPECT_EQ(compact_text(std::string_view("  a\n\nb  \t c\xe3\x80\x80"
                                          "d  ")),
            "a b c d");
}

TEST(CompactTextTest, WritesValuesAsCompactJson) {
  EXPECT_EQ(compact_text(JsonValue()), "");
  EXPECT_EQ(compact_text(JsonValue(JsonMap{})), "{}");
  JsonMap nested{{"k", JsonList{1, "caf\xc3\xa9", JsonValue()}}};
  EXPECT_EQ(compact_text(JsonValue(nested)), "{\"k\": [1, \"caf\xc3\xa9\", null]}");
  EXPECT_EQ(compact_text(JsonValue(2.0)), "2.0");
}

TEST(EstimateTokensTest, RoundsUpAndRejectsZeroDivisor) {
  EXPECT_EQ(estimate_tokens(""), 0);
  EXPECT_EQ(estimate_tokens("", 0.0), 0);
  EXPECT_EQ(estimate_tokens("a"), 1);
  EXPECT_EQ(estimate_tokens("abcdefgh"), 2);
  EXPECT_EQ(estimate_tokens("abcdefghi"), 3);
  EXPECT_EQ(estimate_tokens("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 1.0), 5);
  EXPECT_EQ(estimate_tokens("abc", -2.0), 1);
  EXPECT_THROW(estimate_tokens("abc", 0.0), DivisionByZero);
  EXPECT_THROW(estimate_tokens("abc", -0.0), DivisionByZero);
  EXPECT_THROW(estimate_tokens("abc", std::nan("")), std::domain_error);
  EXPECT_THROW(estimate_tokens("abc", 1e-300), std::overflow_error);
}

TEST(OverlapScoreTest, UsesSetsAndTheSmallerSize) {
  EXPECT_DOUBLE_EQ(overlap_score({"sales", "region", "sales"}, {"region", "month"}), 0.5);
  EXPECT_DOUBLE_EQ(overlap_score({"a", "b"}, {"b", "a", "c"}), 1.0);
  EXPECT_DOUBLE_EQ(overlap_score({}, {"a"}), 0.0);
  EXPECT_DOUBLE_EQ(overlap_score({"a"}, {}), 0.0);
  EXPECT_DOUBLE_EQ(overlap_score({"x", "y", "z"}, {"z", "q"}), 0.5);
}

TEST(NowMsTest, IsMillisecondsSinceEpoch) {
  std::int64_t now = now_ms();
  EXPECT_GT(now, 1700000000000LL);  // after November 2023
  EXPECT_LT(now, 4102444800000LL);  // before 2100
}

}  // namespace
}  // namespace tessarin::turnmend
