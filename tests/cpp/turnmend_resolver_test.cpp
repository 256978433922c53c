// The resolve pipeline: its decision list, result constructors, card
// preparation, the LLM fallback exchange and the two roads of a message.
#include <gtest/gtest.h>

#include <cmath>

#include "tessarin/turnmend/resolver.h"

namespace tessarin::turnmend {
namespace {

CardRef make_card(std::int64_t turn_id, std::string question = "", bool active = true) {
  auto card = std::make_shared<TurnContextCard>();
  card->turn_id = turn_id;
  card->user_question = std::move(question);
  card->is_active = active;
  return card;
}

CardList demo_cards() { return {std::make_shared<const TurnContextCard>(demonstration_card())}; }

std::vector<std::int64_t> turn_ids(const CardList& cards) {
  std::vector<std::int64_t> out;
  for (const CardRef& c : cards) out.push_back(c->turn_id);
  return out;
}

TEST(ResolveRoadsTest, MakeItCategoryBased) {
  ContextResolution r = Turnmend().resolve("make it category based", demo_cards());
  EXPECT_EQ(r.context_type, "modify_previous_query");
  EXPECT_EQ(r.route, "generate");
  EXPECT_DOUBLE_EQ(r.confidence, 0.55);
  EXPECT_EQ(r.reason, "User message appears to modify or continue a previous result.");
  EXPECT_EQ(r.resolved_question, "Show sum revenue by category where order_date last_6_months");
  EXPECT_EQ(r.required_tables, StringList{"sales_orders"});
  EXPECT_EQ(r.base_turn_id, 1);
  EXPECT_TRUE(r.use_previous_state);
  EXPECT_EQ(r.intent_delta.operation, "replace_group_by");
  EXPECT_EQ(r.intent_delta.dimension_hint, "category");
  // Regrouping drops the old dimension from the required columns.
  EXPECT_EQ(*r.required_columns.find("sales_orders"),
            (std::vector<std::string>{"order_date", "region", "revenue"}));
  EXPECT_EQ(r.anchor_metadata_ids.size(), 4u);
  EXPECT_EQ(r.extra.find("base_task_type")->as_string(), "text_to_sql");
  EXPECT_TRUE(r.extra.find("base_artifact_id")->is_null());
}

TEST(ResolveRoadsTest, ConsiderMonthlyAsksBack) {
  ContextResolution r = Turnmend().resolve("consider monthly?", demo_cards());
  EXPECT_EQ(r.context_type, "clarification_needed");
  EXPECT_EQ(r.route, "clarify");
  EXPECT_EQ(r.reason, "The question looks contextual, but the base turn is ambiguous.");
  ASSERT_TRUE(r.clarification_question.has_value());
  EXPECT_EQ(*r.clarification_question,
            "Which previous result should I use? turn 1: Show total revenue by region for last 6 "
            "months");
  ASSERT_EQ(r.candidates.size(), 1u);
  EXPECT_NEAR(r.candidates[0].score, 0.55, 1e-12);
  // The delta behind it: a modification with the month grain.
  IntentDelta d = Turnmend::_extract_intent_delta("consider monthly?");
  EXPECT_EQ(d.operation, "add_granularity");
  EXPECT_EQ(d.granularity, "month");
}

TEST(ResolveTest, BlankMessageNeedsNoCards) {
  // A bad card map is not even read for a blank message.
  std::vector<CardSource> bad = {JsonValue(JsonMap{{"colour", 1}})};
  ContextResolution r = Turnmend().resolve("   ", bad);
  EXPECT_EQ(r.context_type, "clarification_needed");
  EXPECT_EQ(r.current_question, "   ");
  EXPECT_EQ(r.resolved_question, "");
  EXPECT_EQ(r.metadata_search_query, "");
  EXPECT_DOUBLE_EQ(r.confidence, 1.0);
  EXPECT_EQ(r.route, "clarify");
  EXPECT_EQ(r.reason, "Empty question.");
  EXPECT_EQ(r.clarification_question, "Please enter a question or instruction.");
}

TEST(ResolveTest, WithoutCards) {
  Turnmend resolver;
  ContextResolution s = resolver.resolve("  what else can we get ");
  EXPECT_EQ(s.context_type, "suggestion_request");
  EXPECT_EQ(s.route, "suggest");
  EXPECT_DOUBLE_EQ(s.confidence, 0.9);
  EXPECT_EQ(s.current_question, "what else can we get");
  EXPECT_EQ(s.resolved_question,
            "Suggest possible analyses or next useful questions for: what else can we get");

  ContextResolution f = resolver.resolve("\tRevenue by region\n");
  EXPECT_EQ(f.context_type, "fresh_question");
  EXPECT_DOUBLE_EQ(f.confidence, 0.95);
  EXPECT_EQ(f.resolved_question, "Revenue by region");
  EXPECT_EQ(f.reason, "No previous context cards available.");
  EXPECT_EQ(f.metadata_search_query, "revenue region");
  EXPECT_TRUE(f.candidates.empty());
}

TEST(ResolveTest, CardMapErrorsPropagate) {
  std::vector<CardSource> bad = {JsonValue(JsonMap{{"turn_id", 1}, {"colour", 1}})};
  EXPECT_THROW(Turnmend().resolve("show it", bad), CardMapError);
}

TEST(NormalizeCardsTest, KeepsRecordsBuildsMapsSkipsOthers) {
  CardRef record = make_card(3);
  std::vector<CardSource> items = {
      record,    JsonValue(), JsonValue(JsonMap{{"turn_id", 5}}), JsonValue("turn 2"),
      CardRef(), JsonValue(7)};
  CardList cards = Turnmend::_normalize_cards(items);
  ASSERT_EQ(cards.size(), 2u);
  EXPECT_EQ(cards[0], record);  // the same card, not a copy
  EXPECT_EQ(cards[1]->turn_id, 5);
}

TEST(RecentCardsTest, CapsSortsAndPrefersActive) {
  Turnmend resolver;
  CardList eleven;
  for (int id = 1; id <= 11; ++id) eleven.push_back(make_card(id));
  EXPECT_EQ(turn_ids(resolver._recent_cards(eleven)),
            (std::vector<std::int64_t>{11, 10, 9, 8, 7, 6, 5, 4, 3, 2}));

  CardList mixed = {make_card(1, "", false), make_card(3), make_card(2, "", false), make_card(4)};
  EXPECT_EQ(turn_ids(resolver._recent_cards(mixed)), (std::vector<std::int64_t>{4, 3}));

  CardList inactive = {make_card(1, "", false), make_card(3, "", false)};
  EXPECT_EQ(turn_ids(resolver._recent_cards(inactive)), (std::vector<std::int64_t>{3, 1}));

  // Equal ids keep their input order.
  CardRef a = make_card(2, "a"), b = make_card(2, "b");
  CardList ties = resolver._recent_cards({a, make_card(1), b});
  EXPECT_EQ(ties[0], a);
  EXPECT_EQ(ties[1], b);

  resolver.config.max_recent_cards = 0;
  EXPECT_TRUE(resolver._recent_cards(eleven).empty());
  EXPECT_EQ(resolver.resolve("show it", eleven).context_type, "fresh_question");
  resolver.config.max_recent_cards = -9;
  EXPECT_EQ(turn_ids(resolver._recent_cards(eleven)), (std::vector<std::int64_t>{11, 10}));
}

TEST(LatestActiveTurnIdTest, IgnoresInactiveAndNull) {
  EXPECT_EQ(Turnmend::_latest_active_turn_id({make_card(9, "", false), nullptr, make_card(4)}), 4);
  EXPECT_FALSE(Turnmend::_latest_active_turn_id({make_card(9, "", false)}).has_value());
  EXPECT_FALSE(Turnmend::_latest_active_turn_id({}).has_value());
}

TEST(ResolveTest, UnmatchedExplicitReferenceAsksBack) {
  CardList cards = {make_card(1, "alpha", false), make_card(2, "beta", false)};
  ContextResolution r = Turnmend().resolve("show turn 7 again", cards);
  EXPECT_EQ(r.context_type, "clarification_needed");
  EXPECT_EQ(r.reason, "Explicit reference was detected but no matching turn/artifact was found.");
  EXPECT_EQ(r.clarification_question,
            "I could not find the referenced previous result. Which result should I use?");
}

TEST(ResolveTest, MatchedExplicitReference) {
  CardList cards = {make_card(1, "Revenue by region"), make_card(2, "Orders by month")};
  ContextResolution r = Turnmend().resolve("show turn 1 again", cards);
  EXPECT_EQ(r.context_type, "modify_previous_query");  // "show" is a modify term
  EXPECT_EQ(r.base_turn_id, 1);
  EXPECT_EQ(r.reason, "User referenced a specific previous turn or artifact.");
  EXPECT_DOUBLE_EQ(r.confidence, 0.99);
  ContextResolution again = Turnmend().resolve("turn 1 again", cards);
  EXPECT_EQ(again.context_type, "follow_up_specific_turn");
}

ContextCandidate candidate_for(const CardRef& card, double score) {
  return ContextCandidate{card->turn_id, score, {}, card};
}

TEST(BuildContextualResolutionTest, ClampsConfidenceAndRewardsLatestFollowUp) {
  Turnmend resolver;
  CardRef latest = make_card(5, "Revenue by region"), older = make_card(4, "Orders");
  std::vector<ContextCandidate> candidates = {candidate_for(latest, 0.7),
                                              candidate_for(older, 0.6)};
  IntentDelta delta;
  auto confidence = [&](const std::string& type, const ContextCandidate& base) {
    return resolver
        ._build_contextual_resolution(type, "again", base, delta, candidates, "generate", "r")
        .confidence;
  };
  EXPECT_DOUBLE_EQ(confidence("follow_up_latest", candidates[0]), 0.75);
  EXPECT_DOUBLE_EQ(confidence("modify_previous_query", candidates[0]), 0.7);
  EXPECT_DOUBLE_EQ(confidence("follow_up_latest", candidates[1]), 0.6);
  EXPECT_DOUBLE_EQ(confidence("follow_up_latest", candidate_for(latest, 1.7)), 0.99);
  EXPECT_DOUBLE_EQ(confidence("follow_up_latest", candidate_for(latest, 0.97)), 0.99);
  EXPECT_DOUBLE_EQ(confidence("modify_previous_query", candidate_for(latest, -0.3)), 0.0);
  EXPECT_DOUBLE_EQ(confidence("modify_previous_query", candidate_for(latest, std::nan(""))), 0.0);
}

TEST(BuildContextualResolutionTest, CandidateWithoutCardAsksToRephrase) {
  ContextResolution r = Turnmend()._build_contextual_resolution(
      "follow_up_latest", "again", ContextCandidate{1, 0.9, {}, nullptr}, IntentDelta(), {},
      "generate", "r");
  EXPECT_EQ(r.context_type, "clarification_needed");
  EXPECT_EQ(r.reason, "Internal error: selected candidate had no context card.");
  EXPECT_EQ(r.clarification_question, "Please rephrase your question.");
}

TEST(ResolveTest, DebugCandidatesSwitch) {
  ResolverConfig config;
  config.include_debug_candidates = false;
  Turnmend resolver(config);
  CardList cards = demo_cards();
  EXPECT_TRUE(resolver.resolve("consider monthly?", cards).candidates.empty());
  EXPECT_TRUE(resolver.resolve("make it category based", cards).candidates.empty());
  ContextResolution fresh = resolver.resolve("Show failed payment count by bank per day", cards);
  (void)fresh;
  ContextResolution complete = resolver.resolve("revenue of sales orders per region", cards);
  EXPECT_EQ(complete.context_type, "fresh_question");
  EXPECT_EQ(complete.reason, "Question appears complete and independent.");
  EXPECT_EQ(complete.candidates.size(), 1u);
}

// A fallback that records its calls and answers with a fixed map.
struct RecordingFallback {
  std::optional<JsonMap> answer;
  int calls = 0;
  std::vector<JsonMap> summaries;
  JsonMap preliminary;

  ResolverLLMFallback function() {
    return [this](const std::string&, const std::vector<JsonMap>& s, const JsonMap& p) {
      ++calls;
      summaries = s;
      preliminary = p;
      return answer;
    };
  }
};

ResolverConfig fallback_config() {
  ResolverConfig config;
  config.use_llm_fallback = true;
  return config;
}

TEST(FinalizeResolutionTest, ConsultsTheFallbackOnlyBelowTheCeiling) {
  RecordingFallback fallback;
  fallback.answer = JsonMap{{"context_type", "follow_up_latest"}, {"confidence", 0.8}};
  CardList cards = demo_cards();

  Turnmend no_ceiling(fallback_config(), fallback.function());
  EXPECT_EQ(no_ceiling.resolve("make it category based", cards).context_type,
            "modify_previous_query");
  EXPECT_EQ(fallback.calls, 0);

  ResolverConfig config = fallback_config();
  config.llm_fallback_confidence_ceiling = 0.9;
  Turnmend gated(config, fallback.function());
  ContextResolution r = gated.resolve("make it category based", cards);
  EXPECT_EQ(fallback.calls, 1);
  EXPECT_EQ(r.context_type, "follow_up_latest");
  EXPECT_DOUBLE_EQ(r.confidence, 0.8);
  ASSERT_EQ(fallback.preliminary.size(), 11u);
  EXPECT_EQ(fallback.preliminary.items()[10].first, "preliminary_resolution");
  EXPECT_EQ(fallback.preliminary.find("preliminary_resolution")->as_map().size(), 16u);
  EXPECT_EQ(fallback.preliminary.items()[0].first, "explicit_turn_id");
  EXPECT_TRUE(fallback.preliminary.find("second_candidate")->is_null());

  // A suggestion with a clear base is returned as built.
  CardRef card = make_card(3, "Revenue by region");
  fallback.calls = 0;
  ContextResolution s = gated.resolve("what else for it", CardList{card});
  EXPECT_EQ(s.context_type, "suggestion_request");
  EXPECT_EQ(s.intent_delta.operation, "suggest");
  EXPECT_EQ(fallback.calls, 0);

  // Above the ceiling the rule-based result stands.
  config.llm_fallback_confidence_ceiling = 0.5;
  Turnmend above(config, fallback.function());
  EXPECT_EQ(above.resolve("make it category based", cards).context_type, "modify_previous_query");
  EXPECT_EQ(fallback.calls, 0);
}

TEST(TryLlmFallbackTest, OffOrAbsentGivesNothing) {
  RecordingFallback fallback;
  fallback.answer = JsonMap{{"context_type", "fresh_question"}};
  Turnmend off(ResolverConfig{}, fallback.function());
  EXPECT_FALSE(off._try_llm_fallback("q", demo_cards(), {}).has_value());
  EXPECT_EQ(fallback.calls, 0);
  Turnmend absent(fallback_config());
  EXPECT_FALSE(absent._try_llm_fallback("q", demo_cards(), {}).has_value());
}

TEST(TryLlmFallbackTest, SendsAtMostTheConfiguredSummaries) {
  RecordingFallback fallback;
  ResolverConfig config = fallback_config();
  config.max_cards_for_llm_fallback = 2;
  Turnmend resolver(config, fallback.function());
  CardList cards = {make_card(9), make_card(8), make_card(7)};
  EXPECT_FALSE(resolver._try_llm_fallback("q", cards, {}).has_value());
  ASSERT_EQ(fallback.summaries.size(), 2u);
  EXPECT_EQ(fallback.summaries[0].find("turn_id")->as_int(), 9);
  EXPECT_EQ(fallback.summaries[1].find("turn_id")->as_int(), 8);
}

TEST(TryLlmFallbackTest, FailuresCountAsNoAnswer) {
  CardList cards = demo_cards();
  auto throwing = [](const std::string&, const std::vector<JsonMap>&,
                     const JsonMap&) -> std::optional<JsonMap> { throw 42; };
  EXPECT_FALSE(Turnmend(fallback_config(), throwing)._try_llm_fallback("q", cards, {}));
  EXPECT_EQ(Turnmend(fallback_config(), throwing).resolve("consider monthly?", cards).context_type,
            "clarification_needed");

  RecordingFallback empty;
  empty.answer = JsonMap{};
  EXPECT_FALSE(Turnmend(fallback_config(), empty.function())._try_llm_fallback("q", cards, {}));

  for (JsonMap junk : {JsonMap{{"confidence", "high"}}, JsonMap{{"confidence", JsonValue()}},
                       JsonMap{{"intent_delta", JsonMap{{"colour", 1}}}},
                       JsonMap{{"context_type", 5}}, JsonMap{{"base_turn_id", "1"}},
                       JsonMap{{"extra", JsonList{1}}}, JsonMap{{"required_columns", "x"}}}) {
    RecordingFallback bad;
    bad.answer = junk;
    EXPECT_FALSE(Turnmend(fallback_config(), bad.function())._try_llm_fallback("q", cards, {}));
  }
}

TEST(TryLlmFallbackTest, InterruptionReachesTheCaller) {
  auto interrupting = [](const std::string&, const std::vector<JsonMap>&,
                         const JsonMap&) -> std::optional<JsonMap> {
    throw FallbackInterrupted(std::make_exception_ptr(std::runtime_error("stop")));
  };
  EXPECT_THROW(Turnmend(fallback_config(), interrupting).resolve("consider monthly?", demo_cards()),
               FallbackInterrupted);
}

TEST(ResolutionFromLlmDictTest, DefaultsOfAMinimalAnswer) {
  ContextResolution r = Turnmend()._resolution_from_llm_dict(
      "msg", JsonValue(JsonMap{{"context_type", "fresh_question"}}), demo_cards());
  EXPECT_EQ(r.context_type, "fresh_question");
  EXPECT_EQ(r.resolved_question, "msg");
  EXPECT_EQ(r.metadata_search_query, "msg");
  EXPECT_FALSE(r.base_turn_id.has_value());
  EXPECT_FALSE(r.use_previous_state);
  EXPECT_TRUE(r.required_tables.empty());
  EXPECT_DOUBLE_EQ(r.confidence, 0.5);
  EXPECT_EQ(r.reason, "LLM fallback resolution.");
  EXPECT_EQ(r.route, "generate");
  EXPECT_TRUE(r.allow_related_tables);

  ContextResolution empty_type =
      Turnmend()._resolution_from_llm_dict("msg", JsonValue(JsonMap{{"context_type", ""}}), {});
  EXPECT_EQ(empty_type.context_type, "clarification_needed");
  EXPECT_THROW(Turnmend()._resolution_from_llm_dict("msg", JsonValue(JsonList{}), {}),
               std::invalid_argument);
}

TEST(ResolutionFromLlmDictTest, BaseCardSuppliesConstraintsAndAnchors) {
  JsonMap answer{{"base_turn_id", 1},
                 {"context_type", "follow_up_latest"},
                 {"resolved_question", "Show revenue by region monthly"},
                 {"reason", JsonValue()},
                 {"confidence", 2}};
  ContextResolution r = Turnmend()._resolution_from_llm_dict("q", JsonValue(answer), demo_cards());
  EXPECT_EQ(r.base_turn_id, 1);
  EXPECT_TRUE(r.use_previous_state);
  EXPECT_EQ(r.required_tables, StringList{"sales_orders"});
  EXPECT_EQ(r.required_columns.find("sales_orders")->size(), 3u);
  EXPECT_EQ(r.anchor_metadata_ids.size(), 4u);
  EXPECT_EQ(r.metadata_search_query, "Show revenue by region monthly");
  EXPECT_FALSE(r.reason.has_value());
  EXPECT_DOUBLE_EQ(r.confidence, 2.0);  // not clamped

  answer.set("base_turn_id", 42);
  answer.set("required_tables", "orders");
  answer.set("use_previous_state", 0);
  ContextResolution unmatched =
      Turnmend()._resolution_from_llm_dict("q", JsonValue(answer), demo_cards());
  EXPECT_EQ(unmatched.base_turn_id, 42);
  EXPECT_FALSE(unmatched.use_previous_state);
  EXPECT_EQ(unmatched.required_tables, StringList{"orders"});
  EXPECT_TRUE(unmatched.anchor_metadata_ids.empty());

  // No required tables but a fresh question: nothing is taken from the card.
  ContextResolution fresh = Turnmend()._resolution_from_llm_dict(
      "q", JsonValue(JsonMap{{"base_turn_id", 1}, {"context_type", "fresh_question"}}),
      demo_cards());
  EXPECT_TRUE(fresh.required_tables.empty());
  EXPECT_EQ(fresh.anchor_metadata_ids.size(), 4u);
}

struct ConfidenceCase {
  JsonValue value;
  double expected;
};

class FallbackConfidenceTest : public ::testing::TestWithParam<ConfidenceCase> {};

TEST_P(FallbackConfidenceTest, ReadsAsPythonFloat) {
  ContextResolution r = Turnmend()._resolution_from_llm_dict(
      "q", JsonValue(JsonMap{{"confidence", GetParam().value}}), {});
  if (std::isnan(GetParam().expected))
    EXPECT_TRUE(std::isnan(r.confidence));
  else
    EXPECT_DOUBLE_EQ(r.confidence, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FallbackConfidenceTest,
    ::testing::Values(ConfidenceCase{" 0.7 ", 0.7}, ConfidenceCase{"1_0", 10.0},
                      ConfidenceCase{true, 1.0}, ConfidenceCase{3, 3.0},
                      ConfidenceCase{"\xd9\xa3.5", 3.5}, ConfidenceCase{"-Infinity", -INFINITY},
                      ConfidenceCase{"1e999", INFINITY}, ConfidenceCase{"1e-999", 0.0},
                      ConfidenceCase{".5", 0.5}, ConfidenceCase{"5.", 5.0},
                      ConfidenceCase{"+2E3", 2000.0}, ConfidenceCase{"nan", NAN},
                      ConfidenceCase{"\t0.25\n", 0.25}));

class BadFallbackConfidenceTest : public ::testing::TestWithParam<JsonValue> {};

TEST_P(BadFallbackConfidenceTest, DiscardsTheAnswer) {
  EXPECT_THROW(
      Turnmend()._resolution_from_llm_dict("q", JsonValue(JsonMap{{"confidence", GetParam()}}), {}),
      std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Cases, BadFallbackConfidenceTest,
                         ::testing::Values(JsonValue(), JsonValue("high"), JsonValue("1__0"),
                                           JsonValue("_1"), JsonValue("1_"), JsonValue("0x10"),
                                           JsonValue(""), JsonValue("1 0"), JsonValue("e5"),
                                           JsonValue("1e"), JsonValue(JsonList{0.5}),
                                           JsonValue("infinit")));

TEST(ResolveContextTest, BuildsAResolverFromItsArguments) {
  ResolverConfig config;
  config.max_recent_cards = 0;
  std::vector<CardSource> cards = {JsonValue(JsonMap{{"turn_id", 1}})};
  EXPECT_EQ(resolve_context("make it weekly", cards).context_type, "modify_previous_query");
  EXPECT_EQ(
      resolve_context("make it weekly", cards, std::nullopt, std::nullopt, config).context_type,
      "fresh_question");
}

TEST(DemonstrationTest, PrintsFourResolutions) {
  std::string text = demonstration_text();
  EXPECT_EQ(text.rfind("\nQUESTION: consider monthly?\n{\n  \"context_type\": ", 0), 0u);
  std::size_t count = 0;
  for (std::size_t at = text.find("\nQUESTION: "); at != std::string::npos;
       at = text.find("\nQUESTION: ", at + 1))
    ++count;
  EXPECT_EQ(count, 4u);
  EXPECT_NE(text.find("\nQUESTION: Show failed payment count by bank\n"), std::string::npos);
  EXPECT_EQ(text.back(), '\n');
  for (char c : text) EXPECT_LT(static_cast<unsigned char>(c), 0x80);
}

}  // namespace
}  // namespace tessarin::turnmend
