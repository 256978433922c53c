// Turn cards, records and their map conversions, the module vocabulary.
#include <gtest/gtest.h>

#include "tessarin/common/unicode.h"
#include "tessarin/turnmend/records.h"
#include "tessarin/turnmend/vocabulary.h"

namespace tessarin::turnmend {
namespace {

TurnContextCard example_card() {
  TurnContextCard card;
  card.turn_id = 1;
  card.user_question = "Show total revenue by region for last 6 months";
  card.resolved_question = card.user_question;
  card.task_type = "text_to_sql";
  card.artifact_type = "sql";
  card.query_state = JsonMap{{"active_tables", JsonList{"sales_orders"}},
                             {"active_columns", JsonList{"revenue", "region", "order_date"}}};
  return card;
}

TEST(VocabularyTest, WordSetsHaveTheirMembers) {
  const Vocabulary& v = vocabulary();
  EXPECT_EQ(v.STOPWORDS.size(), 49u);
  EXPECT_EQ(v.FOLLOWUP_TERMS.size(), 22u);
  EXPECT_EQ(v.MODIFY_TERMS.size(), 21u);
  EXPECT_EQ(v.SUGGESTION_PHRASES.size(), 16u);
  EXPECT_EQ(v.CLARIFICATION_RISK_PHRASES.size(), 12u);
  for (const char* w : {"i", "by", "wise"}) EXPECT_TRUE(v.STOPWORDS.contains(w)) << w;
  for (const char* w : {"what", "top"}) EXPECT_FALSE(v.STOPWORDS.contains(w)) << w;
  for (const std::string& w : v.FOLLOWUP_TERMS.words())
    EXPECT_FALSE(v.MODIFY_TERMS.contains(w)) << w;
  EXPECT_TRUE(v.STOPWORDS.contains("show") && v.MODIFY_TERMS.contains("show"));
  EXPECT_EQ(v.DURATION_UNITS_PATTERN, "hour|day|week|month|quarter|year");
  ASSERT_EQ(v.ORDINAL_WORDS.size(), 10u);
  EXPECT_EQ(v.ORDINAL_WORDS[9].word, "tenth");
  EXPECT_EQ(v.ORDINAL_WORDS[9].value, 10);
  for (const AliasTable* table : {&v.GRANULARITY_ALIASES, &v.AGGREGATION_ALIASES})
    for (const AliasEntry& e : *table) EXPECT_EQ(e.spellings.front(), e.key);
}

bool matches(const Regex& re, const char* text) {
  return re.search(unicode::decode_utf8(text)).has_value();
}

TEST(VocabularyTest, PatternsMatchTheirExamples) {
  const Vocabulary& v = vocabulary();
  for (const char* t : {"last 6 months", "Previous Quarter", "last 12 hours", "previous week"})
    EXPECT_TRUE(matches(v.BACKREF_NUMERIC_RE, t)) << t;
  for (const char* t : {"last one", "previous chart", "last 6 monthsx"})
    EXPECT_FALSE(matches(v.BACKREF_NUMERIC_RE, t)) << t;
  for (const char* t : {"turn 3", "Chart #2", "#7", "2nd question", "3 result", "return 5 rows"})
    EXPECT_TRUE(matches(v.TURN_REF_RE, t)) << t;
  std::u32string budget = unicode::decode_utf8("set budget to $1500, margin 12.5% over 30 days");
  std::vector<std::string> numbers;
  for (const RegexMatch& m : v.GENERIC_NUMBER_RE.find_all(budget))
    numbers.push_back(unicode::encode_utf8(m.group(budget)));
  EXPECT_EQ(numbers, (std::vector<std::string>{"$1500", "12.5%", "30"}));
  EXPECT_TRUE(matches(v.TOP_N_RE, "TOP 10 customers"));
  EXPECT_FALSE(matches(v.TOP_N_RE, "top10"));
}

TEST(TurnContextCardTest, DefaultsOfACardWithOnlyItsId) {
  std::int64_t before = now_ms();
  TurnContextCard card = TurnContextCard::from_map(JsonMap{{"turn_id", 4}});
  EXPECT_EQ(card.turn_id, 4);
  EXPECT_EQ(card.task_type, "unknown");
  EXPECT_EQ(card.artifact_type, "unknown");
  EXPECT_DOUBLE_EQ(card.quality_score, 1.0);
  EXPECT_TRUE(card.is_active);
  EXPECT_GE(card.created_at_ms, before);
  EXPECT_LE(card.created_at_ms, now_ms());
  EXPECT_FALSE(card.artifact_id.has_value());
  EXPECT_FALSE(card.config.has_value());
}

TEST(TurnContextCardTest, EmptyStateGivesEmptyResults) {
  TurnContextCard card;
  EXPECT_TRUE(card.active_tables().empty());
  EXPECT_TRUE(card.active_columns().empty());
  EXPECT_TRUE(card.required_columns_by_table().empty());
  EXPECT_EQ(card.searchable_text(), "unknown unknown {} {} {}");
}

TEST(TurnContextCardTest, SearchableTextJoinsNonEmptyPieces) {
  TurnContextCard card = example_card();
  card.artifact_label = "Revenue chart";
  card.topic_keywords = {"sales", "revenue"};
  card.selected_metadata_ids = {"table:sales_orders"};
  card.output_state = JsonMap{{"chart_type", "bar"}};
  EXPECT_EQ(card.searchable_text(),
            "Show total revenue by region for last 6 months Show total revenue by region for "
            "last 6 months text_to_sql sql Revenue chart sales revenue table:sales_orders "
            "{\"active_tables\": [\"sales_orders\"], \"active_columns\": [\"revenue\", "
            "\"region\", \"order_date\"]} {} {\"chart_type\": \"bar\"}");
  EXPECT_EQ(card.tokens().front(), "total");
}

TEST(TurnContextCardTest, ActiveTablesFallBackWhenEmpty) {
  TurnContextCard card;
  card.query_state = JsonMap{{"active_tables", JsonList{}}, {"tables", JsonList{"a", "b"}}};
  EXPECT_EQ(card.active_tables(), (JsonList{"a", "b"}));
  card.query_state = JsonMap{{"columns", "amount"}, {"tables", 0}};
  // A single non-list value counts as one item; an empty one as none.
  EXPECT_EQ(card.active_columns(), (JsonList{"amount"}));
  EXPECT_TRUE(card.active_tables().empty());
}

TEST(TurnContextCardTest, RequiredColumnsByTable) {
  TurnContextCard card = example_card();
  RequiredColumns single = card.required_columns_by_table();
  ASSERT_EQ(single.size(), 1u);
  EXPECT_EQ(*single.find("sales_orders"),
            (std::vector<std::string>{"revenue", "region", "order_date"}));

  card.query_state["active_tables"] = JsonList{"a", "b"};
  EXPECT_TRUE(card.required_columns_by_table().empty());

  card.query_state["required_columns"] =
      JsonMap{{"t1", JsonList{"x", 5}}, {"t2", JsonValue()}, {"t3", "y"}};
  RequiredColumns given = card.required_columns_by_table();
  ASSERT_EQ(given.size(), 3u);
  EXPECT_EQ(*given.find("t1"), (std::vector<std::string>{"x", "5"}));
  EXPECT_TRUE(given.find("t2")->empty());
  EXPECT_EQ(*given.find("t3"), (std::vector<std::string>{"y"}));

  card.query_state["required_columns"] = JsonMap{};
  card.query_state["columns_by_table"] = JsonMap{{"c", JsonList{"z"}}};
  EXPECT_EQ(card.required_columns_by_table().begin()->first, "c");
}

TEST(TurnContextCardTest, ResolverSummaryCutsListsAndTexts) {
  TurnContextCard card = example_card();
  for (int i = 0; i < 25; ++i) card.topic_keywords.push_back(std::to_string(i));
  card.user_question = std::string(300, 'q');
  card.query_state["other"] = 1;
  JsonMap summary = card.to_resolver_summary(5);
  ASSERT_EQ(summary.size(), 13u);
  EXPECT_EQ(summary.items()[0].first, "turn_id");
  EXPECT_EQ(summary.items()[12].first, "output_state");
  EXPECT_EQ(summary.find("topic_keywords")->as_list().size(), 20u);
  const std::string& question = summary.find("user_question")->as_string();
  EXPECT_EQ(question.size(), 180u);
  EXPECT_EQ(question.substr(177), "...");
  EXPECT_TRUE(summary.find("artifact_id")->is_null());
  EXPECT_FALSE(summary.find("query_state")->as_map().contains("other"));
}

TEST(TurnContextCardTest, CompactStateKeepsListedKeysInListOrder) {
  JsonMap state{{"sort", "desc"}, {"tables", JsonList{"t"}}, {"secret", 1}, {"limit", JsonValue()}};
  JsonMap kept = TurnContextCard::_compact_state(state);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept.items()[0].first, "tables");
  EXPECT_EQ(kept.items()[1].first, "sort");
  EXPECT_EQ(kept.items()[2].first, "limit");
  EXPECT_TRUE(kept.items()[2].second.is_null());
}

struct BadCardMap {
  JsonMap map;
  std::string key;
};

class CardMapErrorTest : public ::testing::TestWithParam<BadCardMap> {};

TEST_P(CardMapErrorTest, NamesTheKey) {
  try {
    TurnContextCard::from_map(GetParam().map);
    FAIL() << "no error";
  } catch (const CardMapError& e) {
    EXPECT_EQ(e.key, GetParam().key);
    EXPECT_NE(std::string(e.what()).find("'" + GetParam().key + "'") == std::string::npos &&
                  std::string(e.what()).find("." + GetParam().key + " ") == std::string::npos,
              true)
        << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CardMapErrorTest,
    ::testing::Values(BadCardMap{JsonMap{{"turn_id", 1}, {"colour", "red"}}, "colour"},
                      BadCardMap{JsonMap{{"user_question", "x"}}, "turn_id"},
                      BadCardMap{JsonMap{{"turn_id", "1"}}, "turn_id"},
                      BadCardMap{JsonMap{{"turn_id", true}}, "turn_id"},
                      BadCardMap{JsonMap{{"turn_id", 1}, {"entities", JsonList{1}}}, "entities"},
                      BadCardMap{JsonMap{{"turn_id", 1}, {"query_state", JsonList{}}},
                                 "query_state"},
                      BadCardMap{JsonMap{{"turn_id", 1}, {"is_active", 1}}, "is_active"},
                      BadCardMap{JsonMap{{"turn_id", 1}, {"artifact_id", 3}}, "artifact_id"}));

TEST(TurnContextCardTest, FromMapFillsEveryField) {
  JsonMap map{{"turn_id", 9},        {"artifact_id", JsonValue()},
              {"quality_score", 2},  {"config", JsonMap{{"a", 1}}},
              {"is_active", false},  {"entities", JsonList{"e"}},
              {"created_at_ms", 123}};
  TurnContextCard card = TurnContextCard::from_map(map);
  EXPECT_EQ(card.turn_id, 9);
  EXPECT_DOUBLE_EQ(card.quality_score, 2.0);
  EXPECT_FALSE(card.is_active);
  EXPECT_EQ(card.entities, StringList{"e"});
  EXPECT_EQ(card.created_at_ms, 123);
  ASSERT_TRUE(card.config.has_value());
  EXPECT_EQ(card.config->size(), 1u);
}

TEST(IntentDeltaTest, FromMapSetsNamedFieldsAndRejectsOthers) {
  IntentDelta delta = IntentDelta::from_map(JsonMap{{"operation", "add_filter"}, {"top_n", 3}});
  EXPECT_EQ(delta.operation, "add_filter");
  EXPECT_EQ(delta.top_n, 3);
  EXPECT_FALSE(delta.bottom_n.has_value());
  EXPECT_THROW(IntentDelta::from_map(JsonMap{{"colour", 1}}), DeltaMapError);
  EXPECT_THROW(IntentDelta::from_map(JsonMap{{"top_n", "3"}}), DeltaMapError);
}

TEST(RecordsToDictTest, CandidateScoreIsRoundedToSixPlaces) {
  ContextCandidate c{3, 0.1234565, {"active card"}, nullptr};
  JsonMap d = c.to_dict();
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(d.find("score")->as_double(), 0.123456);
  c.score = 0.5;
  EXPECT_EQ(c.to_dict().find("score")->as_double(), 0.5);
}

TEST(RecordsToDictTest, ResolutionKeysFollowDeclarationOrder) {
  ContextResolution r;
  r.candidates.push_back(ContextCandidate{1, 0.5, {}, nullptr});
  r.required_columns.set("t", {"a"});
  r.reason = std::nullopt;
  JsonMap with = r.to_dict();
  JsonMap without = r.to_dict(false);
  ASSERT_EQ(with.size(), 17u);
  ASSERT_EQ(without.size(), 16u);
  EXPECT_EQ(with.items()[14].first, "candidates");
  EXPECT_FALSE(without.contains("candidates"));
  EXPECT_EQ(without.items()[14].first, "route");
  EXPECT_EQ(with.find("intent_delta")->as_map().size(), 11u);
  EXPECT_TRUE(with.find("reason")->is_null());
  EXPECT_EQ(with.find("candidates")->as_list()[0].as_map().size(), 3u);
  EXPECT_EQ(with.find("required_columns")->as_map().find("t")->as_list()[0].as_string(), "a");
}

}  // namespace
}  // namespace tessarin::turnmend
