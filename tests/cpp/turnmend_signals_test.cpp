// Tests of what the resolver reads in a message: the follow-up signals and
// the intent delta (operations, counts, hints).
#include <gtest/gtest.h>

#include <limits>

#include "tessarin/turnmend/resolver.h"
#include "test_support.h"
#include "turnmend_test_support.h"

namespace tessarin::turnmend {
namespace {

using namespace test_support;
using tessarin::test_support::TextTest;
using tessarin::test_support::TextTo;

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

// ---- intent delta

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

using CleanCase = TextTo<const char*>;
class CleanHint : public TextTest<const char*> {};

TEST_P(CleanHint, CutsTrimsAndRejects) {
  EXPECT_EQ(Turnmend::_clean_hint(GetParam().input), GetParam().expected);
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

}  // namespace
}  // namespace tessarin::turnmend
