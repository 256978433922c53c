// Tests of candidate ranking: turn and artifact references, the scores and
// their reasons, the one-pass overlap meter, the base choice and the
// ambiguity question.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>

#include "tessarin/common/display.h"
#include "tessarin/common/unicode.h"
#include "tessarin/turnmend/card_overlap.h"
#include "tessarin/turnmend/ranking.h"
#include "tessarin/turnmend/resolver.h"
#include "tessarin/turnmend/vocabulary.h"
#include "test_support.h"
#include "turnmend_test_support.h"

namespace tessarin::turnmend {
namespace {

using namespace test_support;
using tessarin::test_support::TextTest;
using tessarin::test_support::TextTo;

using TurnReferenceCase = TextTo<std::optional<std::int64_t>>;
class ExplicitTurnReference : public TextTest<std::optional<std::int64_t>> {};

TEST_P(ExplicitTurnReference, FindsTheNamedTurn) {
  EXPECT_EQ(Turnmend::_detect_explicit_turn_reference(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Ranking, ExplicitTurnReference,
    testing::Values(
        TurnReferenceCase{"show turn 3 again", 3}, TurnReferenceCase{"compare #12", 12},
        TurnReferenceCase{"use the 2nd chart", 2}, TurnReferenceCase{"the second answer", 2},
        TurnReferenceCase{"third table", 3}, TurnReferenceCase{"first, show sales", std::nullopt},
        TurnReferenceCase{"turn 0", 0}, TurnReferenceCase{"TURN 4 please", 4},
        TurnReferenceCase{"return 5 rows", 5},  // "turn 5" inside "return"
        TurnReferenceCase{"tenth widget", 10}, TurnReferenceCase{"the tenths widget", std::nullopt},
        TurnReferenceCase{"turn \xd9\xa3", 3},  // Arabic-Indic three
        TurnReferenceCase{"turn 99999999999999999999999", std::numeric_limits<std::int64_t>::max()},
        TurnReferenceCase{"", std::nullopt},
        TurnReferenceCase{"show revenue by region", std::nullopt}));

using ArtifactReferenceCase = TextTo<std::optional<std::string>>;
class ArtifactReference : public TextTest<std::optional<std::string>> {};

TEST_P(ArtifactReference, ReadsNounAndNameOrIdentifier) {
  EXPECT_EQ(Turnmend::_detect_artifact_reference(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Ranking, ArtifactReference,
                         testing::Values(ArtifactReferenceCase{"open chart #3", "chart_3"},
                                         ArtifactReferenceCase{"the table sales", "table_sales"},
                                         ArtifactReferenceCase{"make a table of sales", "table_of"},
                                         ArtifactReferenceCase{"compare Revenue_2023",
                                                               "revenue_2023"},
                                         ArtifactReferenceCase{"Widget   Main", "widget_main"},
                                         ArtifactReferenceCase{"total sales", std::nullopt},
                                         ArtifactReferenceCase{"", std::nullopt}));

TEST(Ranking, ArtifactMatchesIdLabelTypeAndTurn) {
  TurnContextCard card = card_with_id(3);
  card.artifact_type = "chart";
  card.artifact_id = "Revenue_2023";
  EXPECT_TRUE(Turnmend::_artifact_matches("revenue_2023", card));
  EXPECT_TRUE(Turnmend::_artifact_matches("chart_3", card));
  EXPECT_TRUE(Turnmend::_artifact_matches("#turn_3", card));
  EXPECT_FALSE(Turnmend::_artifact_matches("chart_4", card));
  card.artifact_id.reset();
  card.artifact_label = "#revenue_2023";
  EXPECT_TRUE(Turnmend::_artifact_matches("revenue_2023", card));
  EXPECT_FALSE(Turnmend::_artifact_matches("revenue", card));
}

TEST(Ranking, SingleActiveCardWithoutOverlapScoresFiftyFive) {
  Turnmend resolver;
  TurnContextCard card = card_with_id(1);
  card.user_question = "Show total revenue by region";
  auto ranked = resolver._rank_candidates("consider monthly?", {make_card(card)}, std::nullopt,
                                          std::nullopt, std::nullopt, std::nullopt);
  ASSERT_EQ(ranked.size(), 1u);
  EXPECT_DOUBLE_EQ(ranked[0].score, 0.55);
  EXPECT_EQ(ranked[0].reasons, (StringList{"active card", "latest active turn", "recent turn"}));
  EXPECT_EQ(ranked[0].card->turn_id, 1);
}

TEST(Ranking, QualityScoreIsClampedToZeroAndOne) {
  Turnmend resolver;
  auto score_with_quality = [&](double quality) {
    TurnContextCard card = card_with_id(1);
    card.quality_score = quality;
    return resolver
        ._rank_candidates("hello", {make_card(card)}, std::nullopt, std::nullopt, std::nullopt,
                          std::nullopt)
        .front()
        .score;
  };
  EXPECT_DOUBLE_EQ(score_with_quality(0.5), 0.275);
  EXPECT_DOUBLE_EQ(score_with_quality(2.0), 0.55);
  EXPECT_DOUBLE_EQ(score_with_quality(-1.0), 0.0);
  // An unrated (NaN) quality counts as the default 1.0 rather than spoiling the score.
  EXPECT_DOUBLE_EQ(score_with_quality(std::nan("")), 0.55);
}

TEST(Ranking, RecencyFollowsTurnOrderNotInputOrder) {
  Turnmend resolver;
  TurnContextCard older = card_with_id(7), newer = card_with_id(9);
  older.is_active = newer.is_active = false;
  auto ranked = resolver._rank_candidates("x", {make_card(older), make_card(newer)}, std::nullopt,
                                          std::nullopt, std::nullopt, std::nullopt);
  ASSERT_EQ(ranked.size(), 2u);
  EXPECT_EQ(ranked[0].turn_id, 9);
  EXPECT_DOUBLE_EQ(ranked[0].score, 0.25);
  EXPECT_EQ(ranked[0].reasons, StringList{"recent turn"});
  EXPECT_DOUBLE_EQ(ranked[1].score, 0.125);
  EXPECT_TRUE(ranked[1].reasons.empty());
}

TEST(Ranking, FiveOfTenCardsAreRecent) {
  Turnmend resolver;
  CardList cards;
  for (int id = 1; id <= 10; ++id) {
    TurnContextCard card = card_with_id(id);
    card.is_active = false;
    cards.push_back(make_card(card));
  }
  auto ranked =
      resolver._rank_candidates("x", cards, std::nullopt, std::nullopt, std::nullopt, std::nullopt);
  for (const ContextCandidate& c : ranked) {
    bool recent = std::find(c.reasons.begin(), c.reasons.end(), "recent turn") != c.reasons.end();
    EXPECT_EQ(recent, c.turn_id >= 6) << c.turn_id;
  }
  EXPECT_DOUBLE_EQ(ranked[5].score, 0.125);  // turn 5: recency exactly 0.5
}

TEST(Ranking, SharedTurnIdsTakeTheLastPosition) {
  Turnmend resolver;
  TurnContextCard a = card_with_id(5), b = card_with_id(5), c = card_with_id(4);
  a.is_active = b.is_active = c.is_active = false;
  a.user_question = "first copy";
  auto ranked = resolver._rank_candidates("x", {make_card(a), make_card(b), make_card(c)},
                                          std::nullopt, std::nullopt, std::nullopt, std::nullopt);
  // Three cards: positions 0 and 1 share turn 5 and both take rank 1.
  EXPECT_DOUBLE_EQ(ranked[0].score, (1.0 - 1.0 / 3.0) * 0.25);
  EXPECT_DOUBLE_EQ(ranked[1].score, (1.0 - 1.0 / 3.0) * 0.25);
  EXPECT_EQ(ranked[0].card->user_question, "first copy");  // stable among equals
  EXPECT_DOUBLE_EQ(ranked[2].score, (1.0 - 2.0 / 3.0) * 0.25);
}

TEST(Ranking, ReasonsComeInTheirFixedOrderWithTwoDecimals) {
  Turnmend resolver;
  TurnContextCard card = card_with_id(3);
  card.artifact_type = "chart";
  card.task_type = "text_to_sql";
  card.user_question = "revenue by region";
  card.entities = {"region"};
  auto ranked = resolver._rank_candidates("turn 3 chart_3 region month", {make_card(card)}, 3,
                                          "chart_3", 3, "text_to_sql");
  EXPECT_EQ(ranked[0].reasons,
            (StringList{"explicit turn reference: 3", "artifact reference match: chart_3",
                        "active card", "active turn id match", "latest active turn", "recent turn",
                        "keyword overlap 0.40", "entity/metadata overlap 1.00",
                        "task type match: text_to_sql"}));
  EXPECT_DOUBLE_EQ(ranked[0].score, 2.0 + 0.5 + 3 * 0.15 + 0.25 + 0.4 * 0.35 + 0.2 + 0.1);
}

// Reference for the one-pass overlap meter: the plain definition.
detail::CardOverlaps reference_overlaps(const std::string& message, const TurnContextCard& card) {
  StringList entity_text;
  std::string joined;
  for (const StringList* list : {&card.entities, &card.topic_keywords, &card.selected_metadata_ids})
    for (const std::string& item : *list) joined += item + " ";
  StringList q = tokenize(std::string_view(message));
  return {overlap_score(q, card.tokens()), overlap_score(q, tokenize(std::string_view(joined)))};
}
TEST(Ranking, OnePassOverlapsEqualTheTokenSetOverlaps) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 1500; ++round) {
    TurnContextCard card = card_with_id(round);
    card.user_question = random_text(rng, 8);
    card.resolved_question = random_text(rng, 8);
    card.assistant_answer_summary = random_text(rng, 12);
    if (round % 3 == 0) card.resolved_question = card.user_question;  // read once
    if (rng() % 2) card.artifact_id = random_text(rng, 2);
    for (std::size_t i = rng() % 4; i > 0; --i) card.topic_keywords.push_back(random_text(rng, 3));
    for (std::size_t i = rng() % 4; i > 0; --i) card.entities.push_back(random_text(rng, 2));
    for (std::size_t i = rng() % 3; i > 0; --i)
      card.selected_metadata_ids.push_back("column:" + random_text(rng, 2));
    for (std::size_t i = rng() % 6; i > 0; --i)
      card.query_state.set(random_text(rng, 2), random_value(rng, 0));
    if (round % 50 == 0) {
      // Past the 1000-character cut of compact_text.
      JsonList long_list;
      for (int i = 0; i < 200; ++i) long_list.emplace_back("word" + std::to_string(i));
      card.output_state.set("long", JsonValue(std::move(long_list)));
    }
    if (round % 40 == 0)
      card.retrieval_state.set("opaque", JsonValue(JsonOpaque{"Opaque Thing", nullptr}));
    // Short messages take the capped path, long ones (over 64 distinct words) the full sets.
    std::string message = random_text(rng, round % 10 == 0 ? 400 : 6);
    if (round % 10 == 0)
      for (int i = 0; i < 70; ++i) message += " w" + std::to_string(i);

    detail::CardOverlapMeter meter(tokenize(std::string_view(message)));
    detail::CardOverlaps got = meter.measure(card);
    detail::CardOverlaps want = reference_overlaps(message, card);
    ASSERT_EQ(got.keyword, want.keyword) << "round " << round << ": " << message;
    ASSERT_EQ(got.entity, want.entity) << "round " << round << ": " << message;
    // The meter is reused across cards within one ranking.
    TurnContextCard other = card_with_id(1);
    other.user_question = message;
    ASSERT_EQ(meter.measure(other).keyword, reference_overlaps(message, other).keyword);
  }
}

// The meter is given a temporary word list: it must keep its own copy. Words
// of more than 8 bytes are compared byte by byte, so they read that copy.
class OverlapMeterOwnsItsWords : public testing::TestWithParam<std::string> {};

TEST_P(OverlapMeterOwnsItsWords, AfterTheListIsGone) {
  const std::string message = GetParam();
  TurnContextCard card = card_with_id(1);
  card.user_question = "Quarterly Revenue by internationalizationStatus";
  card.entities = {"quarterly_revenue", "INTERNATIONALIZATION"};
  card.query_state.set("metric", JsonValue("quarterly revenue"));
  detail::CardOverlapMeter meter(tokenize(std::string_view(message)));
  const detail::CardOverlaps got = meter.measure(card);
  const detail::CardOverlaps want = reference_overlaps(message, card);
  EXPECT_GT(want.keyword, 0.0);
  EXPECT_EQ(got.keyword, want.keyword);
  EXPECT_EQ(got.entity, want.entity);
}

std::string with_filler_words(std::string message) {
  for (int i = 0; i < 70; ++i) message += " filler" + std::to_string(i);
  return message;
}

// Short messages take the capped counts, those of more than 64 distinct
// words the full word sets.
INSTANTIATE_TEST_SUITE_P(Ranking, OverlapMeterOwnsItsWords,
                         testing::Values("quarterly revenue", "internationalization status",
                                         "quarterly internationalization",
                                         with_filler_words("quarterly revenue"),
                                         with_filler_words("internationalization")));

// The artifact reference with both patterns run as written (the detection
// skips the noun search without a noun and scans for \w+_\d+ by hand).
std::optional<std::string> artifact_reference_by_pattern(std::u32string_view q) {
  static const Regex noun("\\b(chart|table|card|widget|result)\\s*#?\\s*(\\w+)\\b");
  static const Regex identifier("\\b(\\w+_\\d+)\\b");
  auto group = [&](const RegexMatch& match, std::size_t i) {
    return unicode::encode_utf8(match.group(q, i));
  };
  RegexMatch match;
  if (noun.search(q, 0, match)) return group(match, 1) + "_" + group(match, 2);
  if (identifier.search(q, 0, match)) return group(match, 1);
  return std::nullopt;
}

TEST(Ranking, ArtifactReferenceScannerAgreesWithThePatterns) {
  // Word characters of several kinds (other scripts' letters and digits
  // included), underscores, number signs, blanks and the artifact nouns.
  const std::vector<std::u32string> pieces = {
      U"a",      U"z9",     U"_",   U"__", U"1",      U"42",     U"\u0663", U"\u00e9", U"\u4e2d",
      U" ",      U"  ",     U"#",   U"-",  U".",      U"\t",     U"chart",  U"table",  U"card",
      U"widget", U"result", U"x_1", U"_7", U"\u00b2", U"\u2167", U"tab_le"};
  std::mt19937 rng(1208);
  for (int round = 0; round < 20000; ++round) {
    std::u32string q;
    for (std::size_t n = rng() % 10; n > 0; --n) q += pieces[rng() % pieces.size()];
    ASSERT_EQ(detail::artifact_reference(q), artifact_reference_by_pattern(q))
        << "round " << round << ": " << unicode::encode_utf8(q);
  }
  EXPECT_EQ(detail::artifact_reference(U"use sales_2023 again"), "sales_2023");
  EXPECT_EQ(detail::artifact_reference(U"use _2023 or a__1"), "a__1");
  EXPECT_EQ(detail::artifact_reference(U"x_1y z_\u0663"), "z_\u0663");
}

TEST(Ranking, TwoDecimalTextEqualsFixedFormatting) {
  for (int m = 1; m <= 300; ++m)
    for (int c = 0; c <= m; ++c) {
      const double x = static_cast<double>(c) / static_cast<double>(m);
      ASSERT_EQ(detail::two_decimal_text(x), format_fixed(x, 2)) << c << "/" << m;
    }
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < 100000; ++i) {
    const double x = unit(rng);
    ASSERT_EQ(detail::two_decimal_text(x), format_fixed(x, 2)) << x;
  }
  for (double x : {0.125, 0.375, 0.005, 0.015, 0.025, 1.0, -0.0, 1.5, -0.25, 1e-300})
    EXPECT_EQ(detail::two_decimal_text(x), format_fixed(x, 2)) << x;
}

struct BaseChoiceCase {
  double best;
  std::optional<double> second;
  const char* message;
  bool ambiguous;
  bool chosen;
};

class BaseChoice : public testing::TestWithParam<BaseChoiceCase> {};

TEST_P(BaseChoice, AsksBackOnlyWhenUnsafe) {
  const BaseChoiceCase& c = GetParam();
  Turnmend resolver;
  ContextCandidate best = candidate(2, c.best);
  ContextCandidate second = candidate(1, c.second.value_or(0.0));
  const ContextCandidate* chosen = resolver._choose_base_for_contextual_request(
      &best, c.second ? &second : nullptr, c.message, c.ambiguous);
  EXPECT_EQ(chosen == &best, c.chosen);
  EXPECT_TRUE(chosen == nullptr || chosen == &best);
}

INSTANTIATE_TEST_SUITE_P(
    Ranking, BaseChoice,
    testing::Values(BaseChoiceCase{0.70, 0.65, "x", true, false},
                    BaseChoiceCase{0.70, 0.65, "x", false, true},
                    BaseChoiceCase{0.70, 0.60, "x", true, true},
                    BaseChoiceCase{0.70, 0.62, "x", true, false},  // 0.70 - 0.62 < 0.08 in binary
                    BaseChoiceCase{0.70, std::nullopt, "x", true, true},
                    BaseChoiceCase{0.40, std::nullopt, "compare it", false, true},
                    BaseChoiceCase{0.15, std::nullopt, "compare it", false, false},
                    BaseChoiceCase{0.20, std::nullopt, "compare it", false, true},
                    BaseChoiceCase{0.40, std::nullopt, "compare sales", false, false},
                    BaseChoiceCase{0.40, std::nullopt, "sales for the last 6 weeks", false,
                                   false}));

TEST(Ranking, BaseChoiceSwitches) {
  ContextCandidate best = candidate(2, 0.70), second = candidate(1, 0.69);
  Turnmend no_asking(
      config_with([](ResolverConfig& c) { c.ask_clarification_when_ambiguous = false; }));
  EXPECT_EQ(no_asking._choose_base_for_contextual_request(&best, &second, "x", true), &best);
  ContextCandidate weak = candidate(2, 0.40);
  Turnmend no_pronoun(
      config_with([](ResolverConfig& c) { c.prefer_latest_for_pronoun_followup = false; }));
  EXPECT_EQ(no_pronoun._choose_base_for_contextual_request(&weak, nullptr, "compare it", true),
            nullptr);
  EXPECT_EQ(Turnmend()._choose_base_for_contextual_request(nullptr, nullptr, "it", true), nullptr);
}

TEST(Ranking, AmbiguityQuestionOffersUpToThreeTurns) {
  TurnContextCard five = card_with_id(5), four = card_with_id(4), three = card_with_id(3),
                  two = card_with_id(2);
  five.resolved_question = "Revenue by region";
  four.resolved_question = "Orders by month";
  EXPECT_EQ(Turnmend::_build_ambiguity_question(
                {candidate(5, 0.5, make_card(five)), candidate(4, 0.4, make_card(four))}),
            "Which previous result should I use? turn 5: Revenue by region | turn 4: Orders by "
            "month");
  three.user_question = "  only\nthe   user question ";
  EXPECT_EQ(Turnmend::_build_ambiguity_question(
                {candidate(3, 0.3, make_card(three)), candidate(9, 0.2),
                 candidate(2, 0.1, make_card(two)), candidate(5, 0.5, make_card(five))}),
            "Which previous result should I use? turn 3: only the user question | turn 2: turn 2");
  EXPECT_EQ(Turnmend::_build_ambiguity_question({}),
            "Can you clarify what you want me to use as context?");
  EXPECT_EQ(Turnmend::_build_ambiguity_question({candidate(1, 0.3)}),
            "Can you clarify what you want me to use as context?");
  TurnContextCard wordy = card_with_id(1);
  wordy.resolved_question = std::string(100, 'w');
  EXPECT_EQ(Turnmend::_build_ambiguity_question({candidate(1, 0.3, make_card(wordy))}),
            "Which previous result should I use? turn 1: " + std::string(77, 'w') + "...");
}

}  // namespace
}  // namespace tessarin::turnmend
