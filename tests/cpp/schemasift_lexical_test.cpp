// Tests of lexical scoring: token overlap, normalization, column and table
// scores with their reasons, and the in-place scanner against the rules.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "schemasift_test_support.h"
#include "tessarin/common/unicode.h"
#include "tessarin/schemasift/selector.h"

namespace tessarin::schemasift {
namespace {

using namespace test_support;

TEST(SchemasiftLexical, TokenOverlapScore) {
  std::vector<std::string> reasons;
  double score = Schemasift::_token_overlap_score(
      {"revenue", "region", "total"}, {"revenue", "amount"}, 10.0, reasons, "column name");
  EXPECT_DOUBLE_EQ(score, 3.333333333333333);
  EXPECT_EQ(score, 1.0 / 3.0 * 10.0);
  EXPECT_EQ(reasons, std::vector<std::string>{"column name overlap: revenue"});

  WordSet nine = {"i", "h", "g", "f", "e", "d", "c", "b", "a"};
  reasons.clear();
  EXPECT_EQ(Schemasift::_token_overlap_score(nine, nine, 0.0, reasons, "x"), 0.0);
  EXPECT_EQ(reasons, std::vector<std::string>{"x overlap: a, b, c, d, e, f, g, h"});

  reasons.clear();
  EXPECT_EQ(Schemasift::_token_overlap_score({}, {"a"}, 1.0, reasons, "x"), 0.0);
  EXPECT_EQ(Schemasift::_token_overlap_score({"a"}, {"b"}, 1.0, reasons, "x"), 0.0);
  EXPECT_TRUE(reasons.empty());
}

TEST(SchemasiftLexical, NormalizeLexical) {
  EXPECT_EQ(Schemasift::_normalize_lexical(0.0), 0.0);
  EXPECT_EQ(Schemasift::_normalize_lexical(-3.0), 0.0);
  EXPECT_EQ(Schemasift::_normalize_lexical(std::nan("")), 0.0);
  EXPECT_EQ(Schemasift::_normalize_lexical(10.0), 0.5);
  EXPECT_EQ(Schemasift::_normalize_lexical(5.0), 0.3333333333333333);
}

struct ColumnCase {
  const char* name;
  const char* question;
  ColumnMeta col;
  double raw;
  std::vector<std::string> reasons;
};

class SchemasiftLexicalColumn : public ::testing::TestWithParam<ColumnCase> {};

TEST_P(SchemasiftLexicalColumn, ScoresAndReasons) {
  const ColumnCase& c = GetParam();
  Schemasift selector;
  QueryIntent intent = selector.intent_parser.parse(c.question);
  LexicalScore score = selector._lexical_score_column(c.question, TableMeta{}, c.col, intent);
  EXPECT_EQ(score.first, Schemasift::_normalize_lexical(c.raw));
  EXPECT_EQ(score.second, c.reasons);
}

ColumnMeta with_synonyms(ColumnMeta c, std::vector<std::string> synonyms) {
  c.synonyms = std::move(synonyms);
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SchemasiftLexicalColumn,
    ::testing::Values(
        ColumnCase{"two_synonym_phrases",
                   "sales date and created date",
                   with_synonyms(column("qq"), {"Sales Date", "created date", "zzz"}),
                   // tokens: sales, date, created (3); synonym overlap 3/3 * 8
                   8.0 + 5.0 + 5.0,
                   {"column synonym overlap: created, date, sales",
                    "exact synonym phrase: Sales Date", "exact synonym phrase: created date"}},
        ColumnCase{"count_bonus_primary_key",
                   "count orders",
                   column("x", "primary_key"),
                   0.8,
                   {"id column useful for count intent"}},
        ColumnCase{"no_count_no_bonus", "orders", column("x", "id"), 0.0, {}},
        ColumnCase{"any_keyword_in_name",
                   "type of orders",
                   column("order_status", "dimension"),
                   4.0 + 1.2,
                   {"dimension role matches grouping intent", "common dimension keyword match"}},
        ColumnCase{"exact_column_phrase_from_camel_case",
                   "show order date please",
                   column("OrderDate", "unknown"),
                   // tokens: order, date, please; name tokens order, date
                   2.0 / 3.0 * 10.0 + 5.0,
                   {"column name overlap: date, order", "exact column phrase"}},
        ColumnCase{"stop_word_question_tokens_never_overlap",
                   "the data",
                   column("the_data"),
                   // both words are stop words: no tokens, yet the phrase matches
                   5.0,
                   {"exact column phrase"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SchemasiftLexical, DateRoleFiresForTrendWithoutTimeFilter) {
  Schemasift selector;
  QueryIntent intent = bare_intent();
  intent.wants_trend = true;
  LexicalScore score =
      selector._lexical_score_column("q", TableMeta{}, column("d", "datetime"), intent);
  EXPECT_EQ(score.second, std::vector<std::string>{"date role matches time/trend intent"});
  // Tables never get role bonuses.
  EXPECT_EQ(selector._lexical_score_table("q", table("d"), intent).first, 0.0);
}

TEST(SchemasiftLexical, TableScore) {
  Schemasift selector;
  TableMeta t = table("sales_orders");
  t.business_name = "Sales Orders";
  t.tags = {"Revenue", "orders"};
  t.description = "All sales";
  std::string q = "sales orders by region";
  LexicalScore score = selector._lexical_score_table(q, t, selector.intent_parser.parse(q));
  // tokens: sales, orders, region
  double raw = 2.0 / 3 * 8 + 2.0 / 3 * 6 + 1.0 / 3 * 4 + 1.0 / 3 * 2 + 5 + 5;
  EXPECT_EQ(score.first, Schemasift::_normalize_lexical(raw));
  EXPECT_EQ(score.second,
            (std::vector<std::string>{
                "table name overlap: orders, sales", "business name overlap: orders, sales",
                "table tags overlap: orders", "table description overlap: sales",
                "exact table phrase", "exact business phrase"}));
}

// A direct transcription of the scoring rules on top of the text
// primitives, to check the allocation-free scanner against.
LexicalScore reference_column_score(const SelectorConfig& cfg, std::string_view question,
                                    const ColumnMeta& c, const QueryIntent& intent) {
  auto set_of = [](std::string_view text) {
    std::vector<std::string> tokens = tokenize(text);
    return WordSet(tokens.begin(), tokens.end());
  };
  auto joined = [](const std::vector<std::string>& items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? " " : "") + items[i];
    return out;
  };
  WordSet q(intent.tokens.begin(), intent.tokens.end());
  std::string ql = unicode::to_lower(question);
  std::vector<std::string> reasons;
  double raw = 0.0;
  raw += Schemasift::_token_overlap_score(q, set_of(c.name), cfg.column_name_weight, reasons,
                                          "column name");
  raw += Schemasift::_token_overlap_score(q, set_of(joined(c.synonyms)), cfg.column_synonym_weight,
                                          reasons, "column synonym");
  raw += Schemasift::_token_overlap_score(q, set_of(joined(c.tags)), cfg.column_tag_weight, reasons,
                                          "column tags");
  raw += Schemasift::_token_overlap_score(q, set_of(c.description), cfg.column_description_weight,
                                          reasons, "column description");
  std::string phrase = _split_identifier(c.name);
  if (!phrase.empty() && ql.find(phrase) != std::string::npos) {
    raw += cfg.exact_phrase_bonus;
    reasons.push_back("exact column phrase");
  }
  for (const std::string& s : c.synonyms) {
    std::string low = unicode::to_lower(s);
    if (!low.empty() && ql.find(low) != std::string::npos) {
      raw += cfg.exact_phrase_bonus;
      reasons.push_back("exact synonym phrase: " + s);
    }
  }
  const std::string& r = c.role;
  if ((r == "date" || r == "datetime") && (intent.has_time_filter || intent.wants_trend)) {
    raw += cfg.role_intent_weight;
    reasons.push_back("date role matches time/trend intent");
  }
  if (r == "metric" && intent.wants_metric) {
    raw += cfg.role_intent_weight;
    reasons.push_back("metric role matches metric intent");
  }
  if ((r == "dimension" || r == "text") && intent.wants_grouping) {
    raw += cfg.role_intent_weight;
    reasons.push_back("dimension role matches grouping intent");
  }
  if ((q.count("count") || q.count("total")) && (r == "id" || r == "primary_key")) {
    raw += 0.8;
    reasons.push_back("id column useful for count intent");
  }
  std::string name_lower = unicode::to_lower(c.name);
  bool keyword_in_name = false;
  for (const char* k : {"status", "type", "category"})
    keyword_in_name = keyword_in_name || name_lower.find(k) != std::string::npos;
  if ((q.count("status") || q.count("type") || q.count("category")) &&
      (r == "dimension" || r == "text") && keyword_in_name) {
    raw += 1.2;
    reasons.push_back("common dimension keyword match");
  }
  return {Schemasift::_normalize_lexical(raw), reasons};
}

TEST(SchemasiftLexical, ScannerAgreesWithTheRulesOnRandomText) {
  const std::vector<std::string> words = {"Revenue",
                                          "revenue",
                                          "total",
                                          "count",
                                          "by",
                                          "the",
                                          "order_date",
                                          "OrderDate",
                                          "customerID",
                                          "Status",
                                          "type",
                                          "category",
                                          "sales",
                                          "region",
                                          "caf\xc3\xa9",
                                          "\xe2\x84\xaa"
                                          "elvin",
                                          "\xc4\xb0stanbul",
                                          "x-y.z",
                                          "A",
                                          "_",
                                          " ",
                                          "6",
                                          "months",
                                          "TYPE",
                                          "data",
                                          "URLPath",
                                          "na\xc3\xafve",
                                          "daily",
                                          "sales date",
                                          "\xce\xa3\xce\xa3"};
  const std::vector<std::string> roles = {"metric",      "dimension", "date",    "datetime", "id",
                                          "primary_key", "text",      "unknown", "Metric"};
  std::mt19937 rng(7);
  auto pick = [&](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
  auto phrase = [&](int max_words) {
    std::string out;
    int n = static_cast<int>(rng() % (max_words + 1));
    const char* seps[] = {" ", "_", "", "-", "  "};
    for (int i = 0; i < n; ++i) out += (i ? seps[rng() % 5] : "") + pick(words);
    return out;
  };
  Schemasift selector;
  for (int trial = 0; trial < 3000; ++trial) {
    std::string question = phrase(6);
    QueryIntent intent = selector.intent_parser.parse(question);
    if (trial % 5 == 0) intent.tokens.push_back(pick(words));  // tokens the parser never makes
    ColumnMeta c = column(phrase(3), pick(roles));
    for (int i = static_cast<int>(rng() % 3); i > 0; --i) c.synonyms.push_back(phrase(2));
    for (int i = static_cast<int>(rng() % 3); i > 0; --i) c.tags.push_back(phrase(2));
    c.description = phrase(5);
    LexicalScore fast = selector._lexical_score_column(question, TableMeta{}, c, intent);
    LexicalScore slow = reference_column_score(selector.config, question, c, intent);
    ASSERT_EQ(fast.first, slow.first) << question << " | " << c.name;
    ASSERT_EQ(fast.second, slow.second) << question << " | " << c.name;
  }
}

}  // namespace
}  // namespace tessarin::schemasift
