// Tests of question composition and of the metadata query built from the
// base card and the delta.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tessarin/common/display.h"
#include "tessarin/turnmend/resolver.h"
#include "tessarin/turnmend/vocabulary.h"
#include "turnmend_test_support.h"

namespace tessarin::turnmend {
namespace {

using namespace test_support;

TEST(Composition, SuggestionUsesTheBaseQuestion) {
  Turnmend resolver;
  TurnContextCard card = card_with_id(1);
  EXPECT_EQ(resolver._compose_resolved_question("ideas?", card, IntentDelta(), "suggestion_request",
                                                {}, nullptr),
            "Suggest related analyses or next useful questions based on: the previous request");
  card.user_question = "Orders by month";
  EXPECT_EQ(resolver._compose_resolved_question("ideas?", card, IntentDelta(), "suggestion_request",
                                                {}, nullptr),
            "Suggest related analyses or next useful questions based on: Orders by month");
}

TEST(Composition, CompleteQuestionsPassThrough) {
  Turnmend resolver;
  EXPECT_EQ(resolver._compose_resolved_question("show failed payments by bank", card_with_id(1),
                                                IntentDelta(), "follow_up_latest", {}, nullptr),
            "show failed payments by bank");
}

TEST(Composition, WeeklyReplacesTheMonthlyGrain) {
  Turnmend resolver;
  TurnContextCard card = card_with_id(1);
  card.query_state.set("aggregation", JsonMap{{"function", "sum"}, {"column", "amount"}});
  card.query_state.set("dimensions", strings({"region", "Month"}));
  card.query_state.set("granularity", "month");
  IntentDelta delta = Turnmend::_extract_intent_delta("make it weekly");
  EXPECT_EQ(resolver._compose_resolved_question("make it weekly", card, delta,
                                                "modify_previous_query", {}, nullptr),
            "Show weekly sum amount by region");
}

TEST(Composition, NothingToRenderGivesTheFallback) {
  Turnmend resolver;
  TurnContextCard card = card_with_id(1);
  card.resolved_question = "Orders by month";
  EXPECT_EQ(resolver._compose_resolved_question("hmm", card, IntentDelta(), "follow_up_latest", {},
                                                nullptr),
            "Orders by month. Modification: hmm");
}

TEST(Composition, DeltaFieldsFillTheParts) {
  Turnmend resolver;
  TurnContextCard card = card_with_id(1);
  card.query_state.set("metrics", strings({"revenue", "cost", "margin", "tax"}));
  card.query_state.set(
      "filters",
      JsonList{JsonMap{{"field", "status"}, {"operator", "="}, {"values", strings({"paid"})}}});
  IntentDelta delta;
  delta.top_n = 5;
  delta.bottom_n = 3;
  delta.filter_hint = "region = 'west'";
  delta.compare_hint = "vs last year";
  delta.sort_hint = "ignored";
  EXPECT_EQ(
      resolver._compose_resolved_question("x", card, delta, "modify_previous_query", {}, nullptr),
      "Show revenue cost margin where status = ['paid'], region = 'west' bottom 3 and "
      "compare vs last year");
  delta.bottom_n = 0;  // zero counts as empty
  delta.filter_hint.reset();
  delta.compare_hint.reset();
  EXPECT_EQ(
      resolver._compose_resolved_question("x", card, delta, "modify_previous_query", {}, nullptr),
      "Show revenue cost margin where status = ['paid'] top 5");
}

TEST(Composition, MergeDeduplicatesCaseBlindAndPutsTheBaseFirstOnlyWhenMissing) {
  TurnContextCard a = card_with_id(1), b = card_with_id(2), c = card_with_id(3);
  a.query_state.set("tables", strings({"Sales"}));
  b.query_state.set("tables", strings({"sales", "orders"}));
  b.query_state.set("granularity", "");
  c.query_state.set("tables", "customers");  // a lone value counts as a list of one
  c.query_state.set("granularity", "week");
  std::vector<ContextCandidate> ranked = {candidate(2, 0.9, make_card(b)),
                                          candidate(1, 0.8, make_card(a)), candidate(9, 0.85),
                                          candidate(3, 0.1, make_card(c))};
  JsonMap merged = Turnmend::_merge_top_candidate_states(ranked[3], ranked, 2);
  // Top two by score: turns 2 and 1; the base (turn 3) is put in front.
  EXPECT_EQ(*merged.find("tables"), JsonValue(strings({"customers", "sales", "orders"})));
  EXPECT_EQ(*merged.find("granularity"), JsonValue("week"));
  merged = Turnmend::_merge_top_candidate_states(ranked[1], ranked, 2);
  EXPECT_EQ(*merged.find("tables"), JsonValue(strings({"sales", "orders"})));
  EXPECT_EQ(merged.find("granularity"), nullptr);
  merged = Turnmend::_merge_top_candidate_states(ranked[1], ranked, 0);  // keeps one
  EXPECT_EQ(*merged.find("tables"), JsonValue(strings({"Sales", "orders"})));
}

TEST(Composition, StateToQuestionParts) {
  JsonMap state;
  state.set("aggregation", JsonMap{{"column", "amount"}});
  state.set("group_by", strings({"day", "region", "a", "b", "c", "d", "e"}));
  state.set("granularity", 2.0);
  QuestionParts parts = Turnmend::_state_to_question_parts(state);
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_EQ(parts.items()[0], (std::pair<std::string, std::string>("metric", "amount")));
  EXPECT_EQ(*parts.find("grouping"), "region, a, b, c, d");
  EXPECT_EQ(*parts.find("filter"), "");
  EXPECT_EQ(*parts.find("granularity"), "2.0");
  state.set("aggregation", JsonMap{{"function", "sum"}});
  state.set("metrics", "revenue");
  EXPECT_EQ(*Turnmend::_state_to_question_parts(state).find("metric"), "revenue");
}

TEST(Composition, FiltersToText) {
  EXPECT_EQ(Turnmend::_filters_to_text(JsonValue()), "");
  EXPECT_EQ(Turnmend::_filters_to_text(JsonValue("status is paid")), "status is paid");
  EXPECT_EQ(Turnmend::_filters_to_text(JsonValue(std::string(130, 'x'))),
            std::string(117, 'x') + "...");
  JsonList filters = {
      JsonMap{{"column", "a"}, {"value", 1}},
      JsonMap{{"column", ""}, {"field", "b"}, {"operation", "in"}, {"values", strings({"x", "y"})}},
      JsonMap{{"column", 0}},
      JsonValue(),
      JsonValue(""),
      "raw text",
      JsonMap{{"column", "never"}}};
  EXPECT_EQ(Turnmend::_filters_to_text(JsonValue(filters)),
            "a  1, b in ['x', 'y'], None");  // only the first five items
  EXPECT_EQ(Turnmend::_filters_to_text(JsonValue(JsonMap{{"k", "v"}})), "{\"k\": \"v\"}");
}

struct OverrideCase {
  const char* filter;
  const char* metric;
  double value;
  const char* filter_after;
  const char* metric_after;
};

class NumericOverride : public testing::TestWithParam<OverrideCase> {};

TEST_P(NumericOverride, ReplacesTheLastNumberOfOneEntry) {
  const OverrideCase& c = GetParam();
  QuestionParts parts;
  parts.set("metric", c.metric);
  parts.set("filter", c.filter);
  IntentDelta delta;
  delta.replace_numeric_value = c.value;
  Turnmend::_apply_numeric_override(parts, delta);
  EXPECT_EQ(*parts.find("filter"), c.filter_after);
  EXPECT_EQ(*parts.find("metric"), c.metric_after);
}

INSTANTIATE_TEST_SUITE_P(
    Composition, NumericOverride,
    testing::Values(OverrideCase{"amount > 100 and status = 5", "top 3", 250,
                                 "amount > 100 and status = 250", "top 3"},
                    OverrideCase{"price > $100", "", 250, "price > $250", ""},
                    OverrideCase{"margin 10%", "", 12.5, "margin 12.5%", ""},
                    OverrideCase{"no number", "sum 7 things", 0, "no number", "sum 0 things"},
                    OverrideCase{"", "", 3, "", ""},
                    OverrideCase{"x 1", "", 0.00001, "x 1e-05", ""},
                    OverrideCase{"x 1", "", 1e20, "x 100000000000000000000", ""},
                    OverrideCase{"x 1", "", -0.0, "x 0", ""},
                    OverrideCase{"x 1", "", INFINITY, "x inf", ""}));

TEST(Composition, NoOverrideWithoutAValue) {
  QuestionParts parts;
  parts.set("filter", "a 1");
  Turnmend::_apply_numeric_override(parts, IntentDelta());
  EXPECT_EQ(*parts.find("filter"), "a 1");
}

TEST(Composition, RenderQuestionParts) {
  auto render = [](std::initializer_list<std::pair<std::string, std::string>> entries) {
    QuestionParts parts;
    for (const auto& [k, v] : entries) parts.set(k, v);
    return Turnmend::_render_question_parts(parts, "FALLBACK");
  };
  EXPECT_EQ(render({}), "FALLBACK");
  EXPECT_EQ(render({{"metric", "  "}}), "FALLBACK");  // squeezes to "Show"
  EXPECT_EQ(render({{"granularity", "day"}}), "Show daily the previous metric");
  EXPECT_EQ(render({{"granularity", "daily"}, {"metric", "sales"}}), "Show dailyly sales");
  EXPECT_EQ(render({{"metric", "a\n\tb"}, {"grouping", "g"}, {"limit", "top 2"}}),
            "Show a b by g top 2");
}

// ---- metadata query

TEST(MetadataQuery, LimitQueryTerms) {
  Turnmend three(config_with([](ResolverConfig& c) { c.max_metadata_query_terms = 3; }));
  EXPECT_EQ(three._limit_query_terms("sales sales region month region sales"),
            "sales region month");
  Turnmend two(config_with([](ResolverConfig& c) { c.max_metadata_query_terms = 2; }));
  EXPECT_EQ(two._limit_query_terms("sales sales region month region sales"), "sales region");
  EXPECT_EQ(two._limit_query_terms("x y z y x"), "x y");  // equal counts keep first order
  Turnmend resolver;
  EXPECT_EQ(resolver._limit_query_terms("show it to me"), "show it to me");
  EXPECT_EQ(resolver._limit_query_terms("Show revenue by orderDate"), "revenue order date");
  EXPECT_EQ(resolver._limit_query_terms("?!"), "");
  Turnmend negative(config_with([](ResolverConfig& c) { c.max_metadata_query_terms = -1; }));
  EXPECT_EQ(negative._limit_query_terms("a1 b1 a1 c1"), "a1 b1");  // slice [:-1]
}

TurnContextCard single_table_card() {
  TurnContextCard card = card_with_id(1);
  card.query_state.set("active_tables", strings({"orders"}));
  card.query_state.set("active_columns", strings({"status", "Amount"}));
  card.query_state.set("metrics", strings({"amount", ""}));
  card.query_state.set("date_columns", "created_at");
  card.query_state.set("dimensions", strings({"region"}));
  card.query_state.set("group_by", strings({"region", "Zone"}));
  return card;
}

TEST(MetadataQuery, ConstraintsFromASingleTableBase) {
  Turnmend resolver;
  auto [tables, columns] = resolver._constraints_from_base(single_table_card(), IntentDelta());
  EXPECT_EQ(tables, StringList{"orders"});
  ASSERT_EQ(columns.size(), 1u);
  EXPECT_EQ(*columns.find("orders"),
            (StringList{"Amount", "Zone", "amount", "created_at", "region", "status"}));

  IntentDelta regroup;
  regroup.operation = "replace_group_by";
  auto regrouped = resolver._constraints_from_base(single_table_card(), regroup).second;
  EXPECT_EQ(*regrouped.find("orders"), (StringList{"Amount", "amount", "created_at", "status"}));

  Turnmend no_previous(
      config_with([](ResolverConfig& c) { c.include_previous_required_columns = false; }));
  auto own = no_previous._constraints_from_base(single_table_card(), regroup).second;
  EXPECT_EQ(*own.find("orders"), (StringList{"amount", "created_at"}));
}

TEST(MetadataQuery, TwoTablesKeepTheCardsOwnColumns) {
  Turnmend resolver;
  TurnContextCard card = single_table_card();
  card.query_state.set("active_tables", strings({"orders", "customers"}));
  card.query_state.set("required_columns",
                       JsonMap{{"orders", strings({"z", "a"})}, {"customers", JsonValue()}});
  auto [tables, columns] = resolver._constraints_from_base(card, IntentDelta());
  EXPECT_EQ(tables, (StringList{"orders", "customers"}));
  EXPECT_EQ(*columns.find("orders"), (StringList{"z", "a"}));
  EXPECT_EQ(*columns.find("customers"), StringList{});
}

TEST(MetadataQuery, SearchQueryGathersAllSources) {
  Turnmend resolver;
  TurnContextCard card = card_with_id(1);
  card.query_state.set("tables", strings({"sales_orders"}));
  card.query_state.set("granularity", "month");
  card.query_state.set("filters", strings({"ignored_filter"}));
  card.topic_keywords = {"Revenue"};
  card.entities = {"it's"};
  card.selected_metadata_ids = {"table:sales_orders"};
  IntentDelta delta;
  delta.dimension_hint = "region";
  delta.metric_hint = "profit";
  EXPECT_EQ(resolver._compose_metadata_search_query("and by region?", card, delta,
                                                    "Show profit by region"),
            "profit region sales orders month revenue s table");
}

TEST(MetadataQuery, ListItemsAreReadInTheirLiteralForm) {
  Turnmend resolver;
  TurnContextCard card = card_with_id(1);
  card.topic_keywords = {"line\nbreak", "nb\xc2\xa0sp"};  // escaped as \n and \xa0
  EXPECT_EQ(resolver._compose_metadata_search_query("", card, IntentDelta(), ""),
            "line nbreak nb xa0sp");
}

// Reference for the counted query terms: the plain definition over word lists.
std::string reference_query_terms(const StringList& words, std::int64_t limit) {
  StringList kept;
  for (const std::string& w : words)
    if (!vocabulary().STOPWORDS.contains(w)) kept.push_back(w);
  const StringList& chosen = kept.empty() ? words : kept;
  std::vector<std::pair<std::string, std::size_t>> counted;
  for (const std::string& w : chosen) {
    auto it =
        std::find_if(counted.begin(), counted.end(), [&](const auto& c) { return c.first == w; });
    if (it == counted.end()) {
      counted.emplace_back(w, 1);
    } else {
      ++it->second;
    }
  }
  const auto distinct = static_cast<std::int64_t>(counted.size());
  if (distinct > limit) {
    std::stable_sort(counted.begin(), counted.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    counted.resize(
        static_cast<std::size_t>(limit >= 0 ? limit : std::max<std::int64_t>(0, distinct + limit)));
  }
  std::string out;
  for (const auto& [w, n] : counted) out += (out.empty() ? "" : " ") + w;
  return out;
}

void append_words(const std::string& text, StringList& words) {
  static const WordSet none;
  for (std::string& w : tokenize(std::string_view(text), &none)) words.push_back(std::move(w));
}

TEST(MetadataQuery, CountedTermsEqualThePlainDefinition) {
  std::mt19937 rng(8122026);
  for (int round = 0; round < 1500; ++round) {
    const std::int64_t limit = static_cast<std::int64_t>(rng() % 10) - 2;
    Turnmend resolver(config_with([&](ResolverConfig& c) { c.max_metadata_query_terms = limit; }));
    // Repeats and stop words make the counts and the fallback matter.
    std::string text = random_text(rng, 12) + " " + random_text(rng, 6);
    if (round % 3 == 0) text += " the by it the";
    StringList words;
    append_words(text, words);
    ASSERT_EQ(resolver._limit_query_terms(text), reference_query_terms(words, limit))
        << "round " << round << ": " << text;

    TurnContextCard card = card_with_id(1);
    for (std::size_t i = rng() % 6; i > 0; --i)
      card.query_state.set(random_text(rng, 1), random_value(rng, 0));
    const char* keys[] = {"active_tables", "tables",         "metrics",  "dimensions",
                          "date_columns",  "active_columns", "group_by", "granularity"};
    for (const char* key : keys)
      if (rng() % 2) card.query_state.set(key, random_value(rng, 1));
    for (std::size_t i = rng() % 3; i > 0; --i) card.topic_keywords.push_back(random_text(rng, 2));
    for (std::size_t i = rng() % 3; i > 0; --i) card.entities.push_back(random_text(rng, 2));
    for (std::size_t i = rng() % 3; i > 0; --i)
      card.selected_metadata_ids.push_back("column:" + random_text(rng, 2));
    IntentDelta delta;
    if (rng() % 2) delta.dimension_hint = random_text(rng, 2);
    if (rng() % 2) delta.metric_hint = random_text(rng, 2);
    if (rng() % 3 == 0) delta.filter_hint = random_text(rng, 2);
    if (rng() % 3 == 0) delta.granularity = "month";
    const std::string current = random_text(rng, 5);
    const std::string resolved = random_text(rng, 8);

    StringList all;
    append_words(resolved, all);
    append_words(current, all);
    for (const auto* hint :
         {&delta.dimension_hint, &delta.metric_hint, &delta.filter_hint, &delta.granularity})
      if (*hint) append_words(**hint, all);
    for (const char* key : keys)
      if (const JsonValue* value = card.query_state.find(key); value && !value->is_null())
        append_words(display_text(*value), all);
    for (const StringList* list :
         {&card.topic_keywords, &card.entities, &card.selected_metadata_ids}) {
      JsonList items(list->begin(), list->end());
      append_words(display_text(JsonValue(items)), all);
    }
    ASSERT_EQ(resolver._compose_metadata_search_query(current, card, delta, resolved),
              reference_query_terms(all, limit))
        << "round " << round;
  }
}

}  // namespace
}  // namespace tessarin::turnmend
