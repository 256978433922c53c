// Tests of the resolver steps: ranking and reference detection, message
// signals, intent delta extraction, question composition, and the metadata
// search query with the base constraints.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "tessarin/common/display.h"
#include "tessarin/common/unicode.h"
#include "tessarin/turnmend/card_overlap.h"
#include "tessarin/turnmend/ranking.h"
#include "tessarin/turnmend/resolver.h"
#include "tessarin/turnmend/vocabulary.h"

namespace tessarin::turnmend {
namespace {

template <class F>
ResolverConfig config_with(F&& change) {
  ResolverConfig config;
  change(config);
  return config;
}

CardRef make_card(TurnContextCard card) { return std::make_shared<const TurnContextCard>(card); }

TurnContextCard card_with_id(std::int64_t turn_id) {
  TurnContextCard card;
  card.turn_id = turn_id;
  return card;
}

ContextCandidate candidate(std::int64_t turn_id, double score, CardRef card = nullptr) {
  return ContextCandidate{turn_id, score, {}, std::move(card)};
}

JsonList strings(std::initializer_list<const char*> items) {
  JsonList out;
  for (const char* item : items) out.emplace_back(item);
  return out;
}

// ------------------------------------------------------------ ranking

struct TurnReferenceCase {
  const char* message;
  std::optional<std::int64_t> expected;
};

class ExplicitTurnReference : public testing::TestWithParam<TurnReferenceCase> {};

TEST_P(ExplicitTurnReference, FindsTheNamedTurn) {
  EXPECT_EQ(Turnmend::_detect_explicit_turn_reference(GetParam().message), GetParam().expected);
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

struct ArtifactReferenceCase {
  const char* message;
  std::optional<std::string> expected;
};

class ArtifactReference : public testing::TestWithParam<ArtifactReferenceCase> {};

TEST_P(ArtifactReference, ReadsNounAndNameOrIdentifier) {
  EXPECT_EQ(Turnmend::_detect_artifact_reference(GetParam().message), GetParam().expected);
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

std::string random_text(std::mt19937& rng, std::size_t max_words) {
  static const std::vector<std::string> pieces = {"revenue",
                                                  "Region",
                                                  "orderDate",
                                                  "sales_orders",
                                                  "the",
                                                  "by",
                                                  "it",
                                                  "ABCTable",
                                                  "x",
                                                  "v2",
                                                  "2023",
                                                  "a-b",
                                                  "c.d",
                                                  "caf\xc3\xa9",
                                                  "\xe2\x84\xaa"
                                                  "elvin",
                                                  "\xc4\xb0stanbul",
                                                  "tab\tbed",
                                                  "line\nbreak",
                                                  "quo\"te",
                                                  "back\\slash",
                                                  "\x01"
                                                  "ctl",
                                                  "month",
                                                  "Show",
                                                  "consider",
                                                  "NaN",
                                                  "e5",
                                                  "\xc2\xa0nbsp",
                                                  std::string("nul\0byte", 8)};
  std::string out;
  std::size_t n = rng() % (max_words + 1);
  for (std::size_t i = 0; i < n; ++i) {
    if (i) out += (rng() % 4 == 0) ? "_" : " ";
    out += pieces[rng() % pieces.size()];
  }
  return out;
}

JsonValue random_value(std::mt19937& rng, int depth) {
  switch (rng() % (depth > 2 ? 6 : 8)) {
    case 0:
      return JsonValue();
    case 1:
      return JsonValue(rng() % 2 == 0);
    case 2:
      return JsonValue(static_cast<std::int64_t>(rng() % 2000) - 1000);
    case 3: {
      const double doubles[] = {0.5, 1e-05, 2.0, 1e16, std::nan(""), -INFINITY, 123.25};
      return JsonValue(doubles[rng() % 7]);
    }
    case 4:
    case 5:
      return JsonValue(random_text(rng, 4));
    case 6: {
      JsonList list;
      for (std::size_t i = rng() % 4; i > 0; --i) list.push_back(random_value(rng, depth + 1));
      return JsonValue(std::move(list));
    }
    default: {
      JsonMap map;
      for (std::size_t i = rng() % 4; i > 0; --i)
        map.set(random_text(rng, 2), random_value(rng, depth + 1));
      return JsonValue(std::move(map));
    }
  }
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

// ------------------------------------------------------------ signals

struct SignalCase {
  const char* message;
  bool suggestion, followup, pronoun, modify, ambiguous, complete;
};

class Signals : public testing::TestWithParam<SignalCase> {};

TEST_P(Signals, ReadTheMessage) {
  const SignalCase& c = GetParam();
  Turnmend resolver;
  const IntentDelta none;
  EXPECT_EQ(Turnmend::_is_suggestion_request(c.message), c.suggestion) << "suggestion";
  EXPECT_EQ(Turnmend::_has_followup_signal(c.message), c.followup) << "followup";
  EXPECT_EQ(Turnmend::_has_pronoun_followup(c.message), c.pronoun) << "pronoun";
  EXPECT_EQ(Turnmend::_has_modify_signal(c.message, none), c.modify) << "modify";
  EXPECT_EQ(Turnmend::_has_ambiguous_reference(c.message), c.ambiguous) << "ambiguous";
  EXPECT_EQ(resolver._looks_like_complete_question(c.message), c.complete) << "complete";
}

INSTANTIATE_TEST_SUITE_P(
    Signal, Signals,
    testing::Values(
        // message                       sugg   follow pron   modify ambig  complete
        SignalCase{"", false, false, false, false, false, false},
        SignalCase{"Last 3 months", false, true, false, false, false, true},
        SignalCase{"that last chart", false, true, true, false, true, false},
        SignalCase{"show me the same for last month", false, true, true, true, true, true},
        SignalCase{"compare it", false, true, true, true, true, true},
        SignalCase{"sales for the last 6 weeks", false, true, false, false, false, true},
        SignalCase{"the previous one", false, true, true, false, true, false},
        SignalCase{"last quarter revenue", false, true, false, false, false, true},
        SignalCase{"what else can we get", true, false, false, false, false, false},
        SignalCase{"somewhat elsewhere", true, false, false, false, false, false},
        SignalCase{"do that for region", false, true, true, false, true, false},
        SignalCase{"Show sales", false, false, false, true, false, true},
        SignalCase{"Show", false, false, false, true, false, false},
        SignalCase{"revenue region month", false, false, false, false, false, true},
        SignalCase{"revenue region", false, false, false, false, false, false},
        SignalCase{"revenue region month it", false, true, true, false, true, false},
        SignalCase{"list revenue region month it", false, true, true, false, true, true},
        // Identifier splitting runs on the raw message, so capitals spell letters.
        SignalCase{"SHOW ME IT", false, false, false, false, true, true},
        SignalCase{"show me it", false, true, true, true, true, true},
        SignalCase{"makeIt", false, true, true, true, false, false},
        SignalCase{"caf\xc3\xa9 it", false, true, true, false, true, false}));

TEST(Signal, ModifySignalFollowsTheDelta) {
  IntentDelta delta;
  delta.operation = "change_sort";
  EXPECT_TRUE(Turnmend::_has_modify_signal("highest first", delta));
  EXPECT_TRUE(Turnmend::_has_modify_signal("", delta));
  EXPECT_FALSE(Turnmend::_has_modify_signal("highest first", IntentDelta()));
}

TEST(Signal, CompleteQuestionLengthUsesTheConfiguredMinimum) {
  Turnmend four(config_with([](ResolverConfig& c) { c.fresh_question_min_tokens = 4; }));
  EXPECT_FALSE(four._looks_like_complete_question("revenue region month"));
  EXPECT_TRUE(four._looks_like_complete_question("revenue region month year"));
  EXPECT_TRUE(four._looks_like_complete_question("count orders"));
  Turnmend zero(config_with([](ResolverConfig& c) { c.fresh_question_min_tokens = 0; }));
  EXPECT_TRUE(zero._looks_like_complete_question(""));
}

// ------------------------------------------------------------ intent delta

TEST(IntentDeltaTest, TopNWithDimension) {
  IntentDelta d = Turnmend::_extract_intent_delta("Top 10 customers by revenue");
  EXPECT_EQ(d.operation, "set_top_n");
  EXPECT_EQ(d.top_n, 10);
  EXPECT_EQ(d.dimension_hint, "revenue");
  EXPECT_EQ(d.raw_hints, (StringList{"top 10", "revenue"}));
  EXPECT_FALSE(d.replace_numeric_value);
}

TEST(IntentDeltaTest, GranularityWinsOverTheDimensionButBothAreKept) {
  IntentDelta d = Turnmend::_extract_intent_delta("by region for last month");
  EXPECT_EQ(d.operation, "add_granularity");
  EXPECT_EQ(d.granularity, "month");
  EXPECT_EQ(d.dimension_hint, "region");
  EXPECT_EQ(d.raw_hints, (StringList{"month", "region"}));
  EXPECT_FALSE(d.replace_numeric_value);  // "last month" has no number anyway
}

TEST(IntentDeltaTest, SubstringCuesCountInsideWords) {
  EXPECT_EQ(Turnmend::_extract_intent_delta("three regions").granularity, "hour");  // "hr"
  IntentDelta d = Turnmend::_extract_intent_delta("cascade");                       // "asc"
  EXPECT_EQ(d.operation, "change_sort");
  EXPECT_EQ(d.sort_hint, "cascade");
}

struct DeltaCase {
  const char* message;
  const char* operation;
};

class DeltaOperation : public testing::TestWithParam<DeltaCase> {};

TEST_P(DeltaOperation, FollowsThePriorityOfRules) {
  EXPECT_EQ(Turnmend::_extract_intent_delta(GetParam().message).operation, GetParam().operation);
}

INSTANTIATE_TEST_SUITE_P(IntentDeltaTest, DeltaOperation,
                         testing::Values(DeltaCase{"make it category based", "replace_group_by"},
                                         DeltaCase{"remove filter on status", "remove_filter"},
                                         DeltaCase{"only region = 'west'", "add_filter"},
                                         DeltaCase{"average of amount", "replace_metric"},
                                         DeltaCase{"sort descending", "change_sort"},
                                         DeltaCase{"revenue vs cost", "compare"},
                                         DeltaCase{"what about 2023", "replace_numeric_value"},
                                         DeltaCase{"top 5 and bottom 3", "set_bottom_n"},
                                         DeltaCase{"weekly top 5", "set_top_n"},
                                         DeltaCase{"  ", "none"}, DeltaCase{"", "none"},
                                         DeltaCase{"hello there", "none"}));

TEST(IntentDeltaTest, MakeItCategoryBased) {
  IntentDelta d = Turnmend::_extract_intent_delta("make it category based");
  EXPECT_EQ(d.dimension_hint, "category");
  EXPECT_EQ(d.raw_hints, StringList{"category"});
}

TEST(IntentDeltaTest, RemoveFilterKeepsAnEarlierFilterHint) {
  IntentDelta d = Turnmend::_extract_intent_delta("remove filter where status = 'x'");
  EXPECT_EQ(d.operation, "remove_filter");
  EXPECT_EQ(d.filter_hint, "status = 'x'");
}

TEST(IntentDeltaTest, BothCountsAreStored) {
  IntentDelta d = Turnmend::_extract_intent_delta("top 5 and bottom 3");
  EXPECT_EQ(d.top_n, 5);
  EXPECT_EQ(d.bottom_n, 3);
  EXPECT_EQ(d.raw_hints, (StringList{"top 5", "bottom 3"}));
}

TEST(IntentDeltaTest, ReplacementNumbers) {
  IntentDelta year = Turnmend::_extract_intent_delta("what about 2023");
  EXPECT_EQ(year.replace_numeric_value, 2023.0);
  EXPECT_EQ(year.raw_hints, StringList{"numeric_override:2023"});

  IntentDelta growth = Turnmend::_extract_intent_delta("show 15% growth");
  EXPECT_EQ(growth.operation, "compare");
  EXPECT_EQ(growth.replace_numeric_value, 15.0);
  EXPECT_EQ(growth.compare_hint, "show 15% growth");
  EXPECT_EQ(growth.raw_hints, StringList{"numeric_override:15%"});

  EXPECT_EQ(Turnmend::_extract_intent_delta("set budget to $1500.50").replace_numeric_value,
            1500.5);
  // Counts, turn references, ordinals and relative windows are not values.
  for (const char* message :
       {"top 10 customers", "turn 3", "the 2nd chart", "last 3 months", "#4 again", "bottom 7"})
    EXPECT_FALSE(Turnmend::_extract_intent_delta(message).replace_numeric_value) << message;
  EXPECT_EQ(Turnmend::_extract_intent_delta("last 3 months for 2024").replace_numeric_value,
            2024.0);
}

TEST(IntentDeltaTest, DigitsOfOtherScriptsConvertByValue) {
  IntentDelta top = Turnmend::_extract_intent_delta("top \xd9\xa5");  // Arabic-Indic five
  EXPECT_EQ(top.top_n, 5);
  EXPECT_EQ(top.raw_hints, StringList{"top 5"});
  IntentDelta year = Turnmend::_extract_intent_delta("what about \xe0\xa5\xa8\xe0\xa5\xa6");
  EXPECT_EQ(year.replace_numeric_value, 20.0);  // Devanagari two, zero
  EXPECT_EQ(year.raw_hints, StringList{"numeric_override:\xe0\xa5\xa8\xe0\xa5\xa6"});
}

TEST(IntentDeltaTest, OversizedNumbersDoNotFail) {
  IntentDelta huge = Turnmend::_extract_intent_delta("what about " + std::string(400, '9'));
  ASSERT_TRUE(huge.replace_numeric_value);
  EXPECT_TRUE(std::isinf(*huge.replace_numeric_value));
  IntentDelta tiny = Turnmend::_extract_intent_delta("what about 0." + std::string(400, '0') + "1");
  EXPECT_EQ(tiny.replace_numeric_value, 0.0);
  IntentDelta top = Turnmend::_extract_intent_delta("top 123456789012345678901234567890");
  EXPECT_EQ(top.top_n, std::numeric_limits<std::int64_t>::max());
}

TEST(IntentDeltaTest, MetricHints) {
  EXPECT_EQ(Turnmend::_extract_metric_hint("total revenue for last year"), "revenue");
  EXPECT_EQ(Turnmend::_extract_metric_hint("show the total"), "total");
  EXPECT_EQ(Turnmend::_extract_metric_hint("number of orders"), "orders");
  EXPECT_EQ(Turnmend::_extract_metric_hint("count it"), "count");  // "it" is rejected
  EXPECT_EQ(Turnmend::_extract_metric_hint("summary"), "sum");     // substring, no word after
  EXPECT_EQ(Turnmend::_extract_metric_hint("revenue"), std::nullopt);
}

TEST(IntentDeltaTest, DimensionAndFilterHintsTryTheNextPattern) {
  EXPECT_EQ(Turnmend::_extract_dimension_hint("group by it"), std::nullopt);
  EXPECT_EQ(Turnmend::_extract_dimension_hint("by it, region wise"), "region");
  EXPECT_EQ(Turnmend::_extract_dimension_hint("split by x"), std::nullopt);  // one letter
  EXPECT_EQ(Turnmend::_extract_filter_hint("filter by status = 'paid'"), "status = 'paid'");
  EXPECT_EQ(Turnmend::_extract_filter_hint("only for"), std::nullopt);
}

struct CleanCase {
  const char* hint;
  const char* cleaned;
};

class CleanHint : public testing::TestWithParam<CleanCase> {};

TEST_P(CleanHint, CutsTrimsAndRejects) {
  EXPECT_EQ(Turnmend::_clean_hint(GetParam().hint), GetParam().cleaned);
}

INSTANTIATE_TEST_SUITE_P(IntentDeltaTest, CleanHint,
                         testing::Values(CleanCase{"region for last month", "region"},
                                         CleanCase{"  sales   region ?.,", "sales region"},
                                         CleanCase{"it", ""}, CleanCase{"one ", ""},
                                         CleanCase{"a", ""}, CleanCase{"for everything", ""},
                                         CleanCase{"formula", "formula"},
                                         CleanCase{"x\tby\ny", "x by y"},
                                         CleanCase{"orders topology", "orders topology"},
                                         CleanCase{"orders top", "orders"}));

// ------------------------------------------------------------ composition

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

// ------------------------------------------------------------ metadata query

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
