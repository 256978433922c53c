// Value records of the resolver: turn cards, the intent delta, ranked
// candidates, the resolution, the configuration, the fallback callable and
// the string vocabularies.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tessarin/common/json_value.h"
#include "tessarin/turnmend/text.h"

namespace tessarin::turnmend {

// String vocabularies, values in declaration order.
namespace context_types {
inline constexpr std::string_view kFreshQuestion = "fresh_question";
inline constexpr std::string_view kFollowUpLatest = "follow_up_latest";
inline constexpr std::string_view kFollowUpSpecificTurn = "follow_up_specific_turn";
inline constexpr std::string_view kModifyPreviousQuery = "modify_previous_query";
inline constexpr std::string_view kSuggestionRequest = "suggestion_request";
inline constexpr std::string_view kClarificationNeeded = "clarification_needed";
inline constexpr std::string_view kAll[] = {kFreshQuestion,        kFollowUpLatest,
                                            kFollowUpSpecificTurn, kModifyPreviousQuery,
                                            kSuggestionRequest,    kClarificationNeeded};
}  // namespace context_types

namespace task_types {
inline constexpr std::string_view kTextToSql = "text_to_sql";
inline constexpr std::string_view kTextToConfig = "text_to_config";
inline constexpr std::string_view kDocumentQa = "document_qa";
inline constexpr std::string_view kRag = "rag";
inline constexpr std::string_view kChartGeneration = "chart_generation";
inline constexpr std::string_view kReportGeneration = "report_generation";
inline constexpr std::string_view kGeneralAnswer = "general_answer";
inline constexpr std::string_view kUnknown = "unknown";
inline constexpr std::string_view kAll[] = {kTextToSql,     kTextToConfig,    kDocumentQa,
                                            kRag,           kChartGeneration, kReportGeneration,
                                            kGeneralAnswer, kUnknown};
}  // namespace task_types

namespace artifact_types {
inline constexpr std::string_view kSql = "sql";
inline constexpr std::string_view kJsonConfig = "json_config";
inline constexpr std::string_view kTextAnswer = "text_answer";
inline constexpr std::string_view kChart = "chart";
inline constexpr std::string_view kTable = "table";
inline constexpr std::string_view kDocumentSummary = "document_summary";
inline constexpr std::string_view kRetrievalAnswer = "retrieval_answer";
inline constexpr std::string_view kUnknown = task_types::kUnknown;
inline constexpr std::string_view kAll[] = {kSql,   kJsonConfig,      kTextAnswer,      kChart,
                                            kTable, kDocumentSummary, kRetrievalAnswer, kUnknown};
}  // namespace artifact_types

namespace operations {
inline constexpr std::string_view kNone = "none";
inline constexpr std::string_view kAddGranularity = "add_granularity";
inline constexpr std::string_view kReplaceGranularity = "replace_granularity";
inline constexpr std::string_view kReplaceGroupBy = "replace_group_by";
inline constexpr std::string_view kAddGroupBy = "add_group_by";
inline constexpr std::string_view kReplaceMetric = "replace_metric";
inline constexpr std::string_view kAddFilter = "add_filter";
inline constexpr std::string_view kRemoveFilter = "remove_filter";
inline constexpr std::string_view kChangeSort = "change_sort";
inline constexpr std::string_view kSetTopN = "set_top_n";
inline constexpr std::string_view kSetBottomN = "set_bottom_n";
inline constexpr std::string_view kCompare = "compare";
inline constexpr std::string_view kSuggest = "suggest";
inline constexpr std::string_view kReplaceNumericValue = "replace_numeric_value";
inline constexpr std::string_view kUnknownModify = "unknown_modify";
inline constexpr std::string_view kAll[] = {
    kNone,           kAddGranularity,      kReplaceGranularity,
    kReplaceGroupBy, kAddGroupBy,          kReplaceMetric,
    kAddFilter,      kRemoveFilter,        kChangeSort,
    kSetTopN,        kSetBottomN,          kCompare,
    kSuggest,        kReplaceNumericValue, kUnknownModify};
}  // namespace operations

// What the caller should do next with a resolution.
namespace routes {
inline constexpr std::string_view kGenerate = "generate";
inline constexpr std::string_view kClarify = "clarify";
inline constexpr std::string_view kSuggest = operations::kSuggest;
}  // namespace routes

// Columns required per table, in insertion order.
using RequiredColumns = OrderedMap<std::vector<std::string>>;

// A card map that cannot become a card: an unknown key, no "turn_id", or a
// value that does not fit its field. `key` names the key or field.
class CardMapError : public std::invalid_argument {
 public:
  CardMapError(const std::string& message, std::string key)
      : std::invalid_argument(message), key(std::move(key)) {}
  std::string key;
};

// A map that cannot become an IntentDelta (unknown key or unfitting value).
class DeltaMapError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The compact memory of one earlier AI turn.
struct TurnContextCard {
  std::int64_t turn_id = 0;  // required
  std::string session_id;
  std::string tenant_id;
  std::string user_question;
  std::string resolved_question;
  std::string assistant_answer_summary;
  std::string task_type{task_types::kUnknown};
  std::string artifact_type{artifact_types::kUnknown};
  std::optional<std::string> artifact_id;
  std::optional<std::string> artifact_label;
  StringList topic_keywords;
  StringList entities;
  StringList selected_metadata_ids;
  JsonMap query_state;
  JsonMap retrieval_state;
  JsonMap output_state;
  std::optional<std::string> sql;
  std::optional<JsonMap> config;
  std::optional<std::string> answer_excerpt;
  std::int64_t created_at_ms = now_ms();
  double quality_score = 1.0;
  bool is_active = true;
  JsonMap extra;

  // Field names in declaration order.
  static const std::vector<std::string_view>& field_names();

  // Keyword construction from a map; throws CardMapError.
  static TurnContextCard from_map(const JsonMap& map);

  std::string searchable_text() const;
  StringList tokens() const;
  JsonList active_tables() const;
  JsonList active_columns() const;
  RequiredColumns required_columns_by_table() const;
  JsonMap to_resolver_summary(std::int64_t max_chars = 1200) const;
  static JsonMap _compact_state(const JsonMap& state);

  friend bool operator==(const TurnContextCard&, const TurnContextCard&) = default;
};

using CardRef = std::shared_ptr<const TurnContextCard>;
using CardList = std::vector<CardRef>;

// The generic change the current message asks for.
struct IntentDelta {
  std::string operation{operations::kNone};
  std::optional<std::string> granularity;
  std::optional<std::string> dimension_hint;
  std::optional<std::string> metric_hint;
  std::optional<std::string> filter_hint;
  std::optional<std::string> sort_hint;
  std::optional<std::string> compare_hint;
  std::optional<std::int64_t> top_n;
  std::optional<std::int64_t> bottom_n;
  std::optional<double> replace_numeric_value;
  StringList raw_hints;

  static const std::vector<std::string_view>& field_names();
  // Fields set by name from a map (others default); throws DeltaMapError.
  static IntentDelta from_map(const JsonMap& map);
  JsonMap to_dict() const;

  friend bool operator==(const IntentDelta&, const IntentDelta&) = default;
};

// One earlier turn scored as the possible base of the message. The card is
// shared with the caller's list, not copied.
struct ContextCandidate {
  std::int64_t turn_id = 0;  // required
  double score = 0.0;        // required
  StringList reasons;
  CardRef card;

  JsonMap to_dict() const;
};

// The result of resolving one message.
struct ContextResolution {
  std::string context_type;           // required
  std::string current_question;       // required
  std::string resolved_question;      // required
  std::string metadata_search_query;  // required
  std::optional<std::int64_t> base_turn_id;
  bool use_previous_state = false;
  IntentDelta intent_delta;
  StringList required_tables;
  RequiredColumns required_columns;
  StringList anchor_metadata_ids;
  bool allow_related_tables = true;
  double confidence = 0.0;
  // Nullable only because a fallback answer may set it to null explicitly.
  std::optional<std::string> reason = std::string();
  std::optional<std::string> clarification_question;
  std::vector<ContextCandidate> candidates;
  std::string route{routes::kGenerate};
  JsonMap extra;

  JsonMap to_dict(bool include_candidates = true) const;
};

struct ResolverConfig {
  std::int64_t max_recent_cards = 10;
  std::int64_t max_cards_for_llm_fallback = 5;
  double followup_threshold = 0.58;
  double clarification_margin = 0.08;
  std::int64_t fresh_question_min_tokens = 3;
  double recency_weight = 0.25;
  double keyword_overlap_weight = 0.35;
  double entity_overlap_weight = 0.2;
  double artifact_match_weight = 0.5;
  double explicit_reference_weight = 2.0;
  double active_card_bonus = 0.15;
  double task_type_match_weight = 0.1;
  bool prefer_latest_for_pronoun_followup = true;
  bool ask_clarification_when_ambiguous = true;
  bool use_llm_fallback = false;
  std::optional<double> llm_fallback_confidence_ceiling;
  std::int64_t max_metadata_query_terms = 40;
  bool include_previous_required_columns = true;
  bool include_anchor_metadata_ids = true;
  bool include_debug_candidates = true;

  friend bool operator==(const ResolverConfig&, const ResolverConfig&) = default;
};

// (question, card summaries, preliminary analysis) -> answer map or nothing.
// Any exception it throws counts as no answer.
using ResolverLLMFallback = std::function<std::optional<JsonMap>(
    const std::string&, const std::vector<JsonMap>&, const JsonMap&)>;

// Helpers shared by the resolver steps.

// A value read as a list: a list is itself, an empty value no items, any
// other value one item.
JsonList as_list(const JsonValue& value);
// Display text of each item.
StringList display_texts(const JsonList& items);
// Calls f(item) for each item of the value read as a list (see as_list),
// without copying.
template <class F>
void for_each_item(const JsonValue& value, F&& f) {
  if (value.is_list()) {
    for (const JsonValue& item : value.as_list()) f(item);
  } else if (!value.is_empty()) {
    f(value);
  }
}

}  // namespace tessarin::turnmend
