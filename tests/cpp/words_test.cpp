// Tests of the shared word engine against the plain definitions: identifier
// splitting then [a-zA-Z0-9_]+ runs, set membership, and Python's
// max(1, math.ceil(n / chars_per_token)).
#include "tessarin/common/words.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>

#include "tessarin/common/regex.h"
#include "tessarin/common/unicode.h"

namespace tessarin::words {
namespace {

// The plain definition of identifier splitting, on code points.
std::u32string plain_split(std::string_view text) {
  std::u32string out;
  const std::u32string cps = unicode::decode_utf8(text);
  for (std::size_t i = 0; i < cps.size(); ++i) {
    const char32_t c = cps[i];
    if (i > 0 && c >= U'A' && c <= U'Z') out.push_back(U' ');
    out.push_back(c == U'_' || c == U'-' || c == U'.' ? U' ' : c);
  }
  return unicode::to_lower(std::u32string_view(out));
}

// The plain definition of the words: the lower-cased [a-zA-Z0-9_]+ runs of
// the split text.
std::vector<std::string> plain_words(std::string_view text) {
  static const Regex word_re("[a-zA-Z0-9_]+");
  const std::u32string split = plain_split(text);
  std::vector<std::string> out;
  std::size_t pos = 0;
  RegexMatch match;
  while (pos <= split.size() && word_re.search(split, pos, match)) {
    out.push_back(unicode::to_lower(unicode::encode_utf8(match.group(split, 0))));
    pos = match.end(0);
  }
  return out;
}

std::vector<std::string> engine_words(std::string_view text) {
  std::vector<std::string> out;
  for_each_word(text, [&](std::string_view word) { out.emplace_back(word); });
  return out;
}

std::string random_text(std::mt19937& rng) {
  // Capitals, separators, digits, long words and letters whose lower case is
  // ASCII (the Kelvin sign, capital I with dot above).
  static const std::vector<std::string> pieces = [] {
    std::vector<std::string> list;
    std::string_view all =
        "quarterRevenue|Zone|v2|2023|a-b|c.d|x|\u00e9t\u00e9|\u212Am|\u0130zmir|tab\tbed|quo\"te|"
        "back\\slash|QUARTERLY|\u00a0| |__|internationalizationStatus";
    for (std::size_t bar; (bar = all.find('|')) != all.npos; all.remove_prefix(bar + 1))
      list.emplace_back(all.substr(0, bar));
    list.emplace_back(all);
    list.emplace_back("nul\0byte", 8);
    return list;
  }();
  std::string out;
  for (std::size_t n = rng() % 8; n > 0; --n) out += pieces[rng() % pieces.size()];
  return out;
}

TEST(Words, EngineEqualsThePlainDefinition) {
  std::mt19937 rng(1208);
  for (int round = 0; round < 5000; ++round) {
    const std::string text = random_text(rng);
    ASSERT_EQ(engine_words(text), plain_words(text)) << text;
    ASSERT_EQ(split_identifier(text), unicode::encode_utf8(plain_split(text))) << text;
  }
}

struct SplitCase {
  const char* text;
  const char* split;
};

class SplitIdentifier : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitIdentifier, SeparatesAndLowers) {
  EXPECT_EQ(split_identifier(GetParam().text), GetParam().split);
  std::string reused = "left over from an earlier, longer split";
  split_identifier_into(GetParam().text, reused);
  EXPECT_EQ(reused, GetParam().split);
}

INSTANTIATE_TEST_SUITE_P(Words, SplitIdentifier,
                         testing::Values(SplitCase{"", ""}, SplitCase{"A", "a"},
                                         SplitCase{"order_Date", "order  date"},
                                         SplitCase{"ABCTable", "a b c table"},
                                         SplitCase{"sales.orders-v2", "sales orders v2"},
                                         SplitCase{"caf\xc3\xa9"
                                                   "Bar",
                                                   "caf\xc3\xa9 bar"},
                                         SplitCase{"\xe2\x84\xaa"
                                                   "elvin",
                                                   "kelvin"}));

TEST(Words, AsciiScanStopsAtOtherBytesAndCountsEscapes) {
  std::vector<std::string> seen;
  auto collect = [&](const char* data, std::size_t length) { seen.emplace_back(data, length); };
  std::size_t escapes = 0;
  EXPECT_TRUE(scan_ascii_words("Total\"Sales\\by", kJsonStringBytes, collect, escapes));
  EXPECT_EQ(seen, (std::vector<std::string>{"Total", "Sales", "by"}));
  EXPECT_EQ(escapes, 2u);

  seen.clear();
  EXPECT_FALSE(scan_ascii_words("one two\x01three", kJsonStringBytes, collect, escapes));
  EXPECT_EQ(seen, (std::vector<std::string>{"one", "two"}));
  seen.clear();
  EXPECT_FALSE(scan_ascii_words("one caf\xc3\xa9", kTextBytes, collect, escapes));
  EXPECT_EQ(seen, (std::vector<std::string>{"one", "caf"}));
  seen.clear();
  EXPECT_TRUE(scan_ascii_words("caf\xc3\xa9 au", kLoweredSplitBytes, collect, escapes));
  EXPECT_EQ(seen, (std::vector<std::string>{"caf", "au"}));
}

// Words of 1 to 24 bytes, some sharing their first 8 or 16 bytes.
std::vector<std::string> table_words() {
  return {"a",
          "by",
          "the",
          "sales",
          "region",
          "quarterly",
          "quarterlx",
          "internationalization",
          "internationalizatiom",
          "internationalization2",
          "v2",
          "2023",
          "abcdefgh",
          "abcdefghi",
          "abcdefghij"
          "klmnopqrstuvwx"};
}

TEST(Words, IndexFindsEachWordBlindToCase) {
  std::vector<std::string> words = table_words();
  words.push_back("sales");  // repeats keep their first number
  const WordIndex index(words);
  ASSERT_EQ(index.size(), table_words().size());
  std::map<std::string, std::ptrdiff_t> expected;
  for (std::size_t i = 0; i < table_words().size(); ++i) expected[table_words()[i]] = i;
  for (const auto& [word, number] : expected) {
    std::string upper = word;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const std::string& probe : {word, upper}) {
      EXPECT_EQ(index.find(probe.data(), probe.size(), word_hash(probe)), number) << probe;
      EXPECT_TRUE(index.contains(probe));
    }
  }
  for (const char* absent : {"b", "quarterlz", "internationalizatioo", "abcdefghik", "sale"})
    EXPECT_FALSE(index.contains(absent)) << absent;
  EXPECT_FALSE(WordIndex().contains("a"));
}

TEST(Words, ShortWordsHashOneToOne) {
  std::map<std::uint64_t, std::string> seen;
  for (const std::string& word : table_words()) {
    if (word.size() > 8) continue;
    EXPECT_TRUE(seen.emplace(word_hash(word), word).second) << word;
  }
  EXPECT_EQ(word_hash("Quarterly"), word_hash("quarterly"));
  EXPECT_EQ(word_hash("ABCD"), word_hash("abcd"));
}

TEST(Words, FilterKeepsEveryMemberAndRulesOutOthers) {
  FirstByteLengthFilter filter;
  for (const std::string& word : table_words()) filter.add(word);
  for (const std::string& word : table_words()) {
    std::string capitalized = word;
    capitalized[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
    EXPECT_TRUE(filter.may_hold(word.data(), word.size())) << word;
    EXPECT_TRUE(filter.may_hold(capitalized.data(), capitalized.size())) << word;
  }
  EXPECT_FALSE(filter.may_hold("zebra", 5));
  EXPECT_FALSE(filter.may_hold("sale", 4));
}

struct EstimateCase {
  const char* text;
  double chars_per_token;
  std::int64_t expected;
};

class EstimateTokens : public testing::TestWithParam<EstimateCase> {};

TEST_P(EstimateTokens, IsTheRoundedUpQuotientAtLeastOne) {
  EXPECT_EQ(estimate_tokens(GetParam().text, GetParam().chars_per_token), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Words, EstimateTokens,
    testing::Values(EstimateCase{"", 4.0, 0}, EstimateCase{"", 0.0, 0}, EstimateCase{"a", 4.0, 1},
                    EstimateCase{"abcdefgh", 4.0, 2}, EstimateCase{"abcdefghi", 4.0, 3},
                    EstimateCase{"\xc3\xa9\xc3\xa9\xc3\xa9", 1.0, 3}, EstimateCase{"abc", -2.0, 1},
                    EstimateCase{"abc", 0.5, 6}, EstimateCase{"abc", 1e300, 1}));

TEST(Words, EstimateFailsAsPythonDoes) {
  EXPECT_THROW(estimate_tokens("abc", 0.0), ZeroDivisionError);
  EXPECT_THROW(estimate_tokens("abc", -0.0), ZeroDivisionError);
  EXPECT_THROW(estimate_tokens("abc", std::nan("")), std::domain_error);
  // The quotient overflows to an infinity of either sign: math.ceil refuses it.
  EXPECT_THROW(estimate_tokens("abc", 1e-320), std::overflow_error);
  EXPECT_THROW(estimate_tokens("abc", -1e-320), std::overflow_error);
  EXPECT_THROW(estimate_tokens("abc", 1e-300), std::overflow_error);
}

}  // namespace
}  // namespace tessarin::words
