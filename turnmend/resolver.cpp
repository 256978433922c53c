// Turnmend::resolve: the decision list, the result constructors, card
// preparation, resolve_context and the demonstration run.
#include "tessarin/turnmend/resolver.h"

#include <algorithm>

#include "tessarin/common/json_text.h"
#include "tessarin/common/unicode.h"
#include "tessarin/turnmend/message_text.h"
#include "tessarin/turnmend/ranking.h"
#include "tessarin/turnmend/signals.h"

namespace tessarin::turnmend {

namespace {

constexpr std::string_view kEmptyQuestionReason = "Empty question.";
constexpr std::string_view kEmptyQuestionPrompt = "Please enter a question or instruction.";
constexpr std::string_view kSuggestWithoutContextPrefix =
    "Suggest possible analyses or next useful questions for: ";
constexpr std::string_view kSuggestWithoutContextReason =
    "User asked for suggestions with no prior context to anchor on.";
constexpr std::string_view kNoCardsReason = "No previous context cards available.";
constexpr std::string_view kSuggestNoBaseReason =
    "Suggestion request was detected, but no clear base context was found.";
constexpr std::string_view kSuggestNoBaseQuestion =
    "Should I suggest from the latest result, or do you want suggestions for a new topic?";
constexpr std::string_view kSuggestReason =
    "User asked for suggestions or other possible insights.";
constexpr std::string_view kExplicitNotFoundReason =
    "Explicit reference was detected but no matching turn/artifact was found.";
constexpr std::string_view kExplicitNotFoundQuestion =
    "I could not find the referenced previous result. Which result should I use?";
constexpr std::string_view kExplicitReason =
    "User referenced a specific previous turn or artifact.";
constexpr std::string_view kContextualReason =
    "User message appears to modify or continue a previous result.";
constexpr std::string_view kAmbiguousBaseReason =
    "The question looks contextual, but the base turn is ambiguous.";
constexpr std::string_view kCompleteReason = "Question appears complete and independent.";
constexpr std::string_view kTooShortReason =
    "Question is too short or ambiguous to resolve confidently.";
constexpr std::string_view kNoCardReason =
    "Internal error: selected candidate had no context card.";
constexpr std::string_view kNoCardQuestion = "Please rephrase your question.";

constexpr double kFreshConfidence = 0.95;
constexpr double kSuggestWithoutContextConfidence = 0.9;
constexpr double kMaxContextualConfidence = 0.99;
constexpr double kLatestFollowUpBonus = 0.05;

std::string str(std::string_view text) { return std::string(text); }

bool is_blank(const std::string& text) { return unicode::strip(std::string_view(text)).empty(); }

JsonValue candidate_map(const ContextCandidate* candidate) {
  return candidate ? JsonValue(candidate->to_dict()) : JsonValue();
}

// What resolve reads from the message (references, intent delta, signals)
// and the ranked candidates, shared by the decisions that follow.
struct Analysis {
  std::optional<std::int64_t> explicit_turn_id;
  std::optional<std::string> explicit_artifact_ref;
  IntentDelta delta;
  bool suggestion = false;
  bool followup = false;
  bool modification = false;
  bool complete = false;
  bool ambiguous = false;
  std::vector<ContextCandidate> candidates;

  const ContextCandidate* best() const { return candidates.empty() ? nullptr : &candidates[0]; }
  const ContextCandidate* second() const {
    return candidates.size() < 2 ? nullptr : &candidates[1];
  }

  JsonMap preliminary() const {
    JsonMap out;
    out.reserve(11);
    out.append_new("explicit_turn_id",
                   explicit_turn_id ? JsonValue(*explicit_turn_id) : JsonValue());
    out.append_new("explicit_artifact_ref",
                   explicit_artifact_ref ? JsonValue(*explicit_artifact_ref) : JsonValue());
    out.append_new("suggestion", suggestion);
    out.append_new("followup_signal", followup);
    out.append_new("modification_signal", modification);
    out.append_new("complete_question", complete);
    out.append_new("ambiguous_reference", ambiguous);
    out.append_new("intent_delta", delta.to_dict());
    out.append_new("best_candidate", candidate_map(best()));
    out.append_new("second_candidate", candidate_map(second()));
    return out;
  }
};

ContextResolution resolve_prepared(const Turnmend& self, const std::string& message,
                                   const CardList& cards,
                                   std::optional<std::int64_t> active_turn_id,
                                   const std::optional<std::string>& preferred_task_type) {
  const std::string q(unicode::strip(std::string_view(message)));

  if (cards.empty()) {
    if (Turnmend::_is_suggestion_request(q)) {
      ContextResolution out;
      out.context_type = context_types::kSuggestionRequest;
      out.current_question = q;
      out.resolved_question = str(kSuggestWithoutContextPrefix) + q;
      out.metadata_search_query = self._limit_query_terms(q);
      out.confidence = kSuggestWithoutContextConfidence;
      out.reason = str(kSuggestWithoutContextReason);
      out.route = routes::kSuggest;
      return out;
    }
    return self._fresh(q, {}, str(kNoCardsReason));
  }

  Analysis a;
  const std::u32string lowered = detail::lowered_code_points(q);
  a.explicit_turn_id = detail::explicit_turn_reference(lowered);
  a.explicit_artifact_ref = detail::artifact_reference(lowered);
  a.delta = Turnmend::_extract_intent_delta(q);
  const detail::MessageSignals signals = detail::message_signals(self, q, a.delta);
  a.suggestion = signals.suggestion;
  a.followup = signals.followup;
  a.modification = signals.modification;
  a.complete = signals.complete;
  a.ambiguous = signals.ambiguous;
  a.candidates = self._rank_candidates(q, cards, a.explicit_turn_id, a.explicit_artifact_ref,
                                       active_turn_id, preferred_task_type);

  // The preliminary analysis only feeds the fallback, so it is built only
  // when a fallback could read it.
  const bool fallback_possible = self.config.use_llm_fallback && bool(self.llm_fallback);
  auto preliminary = [&a, fallback_possible] {
    return fallback_possible ? a.preliminary() : JsonMap();
  };
  auto fallback_or_clarify = [&](std::string_view reason) {
    if (fallback_possible) {
      if (auto resolved = self._try_llm_fallback(q, cards, preliminary()))
        return std::move(*resolved);
    }
    std::string question = Turnmend::_build_ambiguity_question(a.candidates);
    return self._clarify(q, std::move(a.candidates), str(reason), question);
  };
  auto finalize = [&](ContextResolution resolution) {
    const auto& ceiling = self.config.llm_fallback_confidence_ceiling;
    if (!fallback_possible || !ceiling || resolution.confidence >= *ceiling) return resolution;
    return self._finalize_resolution(std::move(resolution), cards, preliminary());
  };
  // Without a fallback nothing reads the candidates after the resolution is
  // built, so they move into it instead of being copied.
  auto contextual = [&](std::string_view type, const ContextCandidate& base,
                        const IntentDelta& delta, std::string_view route, std::string_view reason) {
    if (fallback_possible)
      return finalize(self._build_contextual_resolution(str(type), q, base, delta, a.candidates,
                                                        str(route), str(reason)));
    const bool has_card = bool(base.card);
    ContextResolution out = self._build_contextual_resolution(str(type), q, base, delta,
                                                              a.candidates, str(route), str(reason),
                                                              /*copy_candidates=*/false);
    if (has_card && self.config.include_debug_candidates) out.candidates = std::move(a.candidates);
    return out;
  };

  if (a.suggestion) {
    const ContextCandidate* base =
        self._choose_base_for_contextual_request(a.best(), a.second(), q, a.ambiguous);
    if (!base)
      return self._clarify(q, std::move(a.candidates), str(kSuggestNoBaseReason),
                           str(kSuggestNoBaseQuestion));
    IntentDelta suggest;
    suggest.operation = operations::kSuggest;
    if (fallback_possible)
      return self._build_contextual_resolution(str(context_types::kSuggestionRequest), q, *base,
                                               suggest, a.candidates, str(routes::kSuggest),
                                               str(kSuggestReason));
    return contextual(context_types::kSuggestionRequest, *base, suggest, routes::kSuggest,
                      kSuggestReason);
  }

  if (a.explicit_turn_id || a.explicit_artifact_ref) {
    const ContextCandidate* best = a.best();
    if (!best || best->score < 1.0)
      return self._clarify(q, std::move(a.candidates), str(kExplicitNotFoundReason),
                           str(kExplicitNotFoundQuestion));
    std::string_view type =
        a.modification ? context_types::kModifyPreviousQuery : context_types::kFollowUpSpecificTurn;
    return contextual(type, *best, a.delta, routes::kGenerate, kExplicitReason);
  }

  if (a.followup || a.modification) {
    const ContextCandidate* base =
        self._choose_base_for_contextual_request(a.best(), a.second(), q, a.ambiguous);
    if (base) {
      std::string_view type =
          a.modification ? context_types::kModifyPreviousQuery : context_types::kFollowUpLatest;
      return contextual(type, *base, a.delta, routes::kGenerate, kContextualReason);
    }
    return fallback_or_clarify(kAmbiguousBaseReason);
  }

  if (a.complete) return self._fresh(q, std::move(a.candidates), str(kCompleteReason));

  return fallback_or_clarify(kTooShortReason);
}

}  // namespace

ContextResolution Turnmend::resolve(const std::string& current_question,
                                    const std::vector<CardSource>& context_cards,
                                    std::optional<std::int64_t> active_turn_id,
                                    const std::optional<std::string>& preferred_task_type) const {
  if (is_blank(current_question)) {
    ContextResolution out;
    out.context_type = context_types::kClarificationNeeded;
    out.current_question = current_question;
    out.confidence = 1.0;
    out.route = routes::kClarify;
    out.reason = str(kEmptyQuestionReason);
    out.clarification_question = str(kEmptyQuestionPrompt);
    return out;
  }
  CardList cards = _recent_cards(_normalize_cards(context_cards));
  return resolve_prepared(*this, current_question, cards, active_turn_id, preferred_task_type);
}

ContextResolution Turnmend::resolve(const std::string& current_question,
                                    const CardList& context_cards,
                                    std::optional<std::int64_t> active_turn_id,
                                    const std::optional<std::string>& preferred_task_type) const {
  if (is_blank(current_question)) return resolve(current_question, std::vector<CardSource>{});
  // _recent_cards skips null cards itself.
  CardList cards = _recent_cards(context_cards);
  return resolve_prepared(*this, current_question, cards, active_turn_id, preferred_task_type);
}

ContextResolution Turnmend::_fresh(const std::string& current_question,
                                   std::vector<ContextCandidate> candidates,
                                   const std::string& reason) const {
  ContextResolution out;
  out.context_type = context_types::kFreshQuestion;
  out.current_question = current_question;
  out.resolved_question = current_question;
  out.metadata_search_query = _limit_query_terms(current_question);
  out.confidence = kFreshConfidence;
  out.reason = reason;
  out.candidates = std::move(candidates);
  out.route = routes::kGenerate;
  return out;
}

ContextResolution Turnmend::_clarify(const std::string& current_question,
                                     std::vector<ContextCandidate> candidates,
                                     const std::string& reason, const std::string& question) const {
  ContextResolution out;
  out.context_type = context_types::kClarificationNeeded;
  out.current_question = current_question;
  out.resolved_question = current_question;
  out.metadata_search_query = _limit_query_terms(current_question);
  out.confidence = 0.0;
  out.reason = reason;
  out.clarification_question = question;
  if (config.include_debug_candidates) out.candidates = std::move(candidates);
  out.route = routes::kClarify;
  return out;
}

ContextResolution Turnmend::_build_contextual_resolution(
    const std::string& context_type, const std::string& current_question,
    const ContextCandidate& base_candidate, const IntentDelta& intent_delta,
    const std::vector<ContextCandidate>& candidates, const std::string& route,
    const std::string& reason, bool copy_candidates) const {
  const CardRef& card = base_candidate.card;
  if (!card)
    return _clarify(current_question, candidates, str(kNoCardReason), str(kNoCardQuestion));

  ContextResolution out;
  out.resolved_question = _compose_resolved_question(current_question, *card, intent_delta,
                                                     context_type, candidates, &base_candidate);
  out.metadata_search_query =
      _compose_metadata_search_query(current_question, *card, intent_delta, out.resolved_question);
  auto [tables, columns] = _constraints_from_base(*card, intent_delta);

  // NaN scores clamp to 0 like negative ones.
  double confidence =
      base_candidate.score > 0.0 ? std::min(base_candidate.score, kMaxContextualConfidence) : 0.0;
  if (context_type == context_types::kFollowUpLatest) {
    CardList candidate_cards;
    candidate_cards.reserve(candidates.size());
    for (const ContextCandidate& c : candidates)
      if (c.card) candidate_cards.push_back(c.card);
    if (_latest_active_turn_id(candidate_cards) == card->turn_id)
      confidence = std::min(kMaxContextualConfidence, confidence + kLatestFollowUpBonus);
  }

  out.context_type = context_type;
  out.current_question = current_question;
  out.base_turn_id = card->turn_id;
  out.use_previous_state = true;
  out.intent_delta = intent_delta;
  out.required_tables = std::move(tables);
  out.required_columns = std::move(columns);
  if (config.include_anchor_metadata_ids) out.anchor_metadata_ids = card->selected_metadata_ids;
  out.allow_related_tables = true;
  out.confidence = confidence;
  out.reason = reason;
  if (config.include_debug_candidates && copy_candidates) out.candidates = candidates;
  out.route = route;
  out.extra.reserve(3);
  out.extra.append_new("base_task_type", card->task_type);
  out.extra.append_new("base_artifact_type", card->artifact_type);
  out.extra.append_new("base_artifact_id",
                       card->artifact_id ? JsonValue(*card->artifact_id) : JsonValue());
  return out;
}

ContextResolution Turnmend::_finalize_resolution(ContextResolution resolution,
                                                 const CardList& cards,
                                                 const JsonMap& preliminary) const {
  const auto& ceiling = config.llm_fallback_confidence_ceiling;
  if (!ceiling || resolution.confidence >= *ceiling) return resolution;
  if (!config.use_llm_fallback || !llm_fallback) return resolution;
  JsonMap payload = preliminary;
  payload.erase("preliminary_resolution");
  payload.append_new("preliminary_resolution", resolution.to_dict(false));
  if (auto replaced = _try_llm_fallback(resolution.current_question, cards, payload))
    return std::move(*replaced);
  return resolution;
}

CardList Turnmend::_normalize_cards(const std::vector<CardSource>& cards) {
  CardList out;
  out.reserve(cards.size());
  for (const CardSource& item : cards) {
    if (const CardRef* card = std::get_if<CardRef>(&item)) {
      if (*card) out.push_back(*card);
    } else if (const JsonValue& value = std::get<JsonValue>(item); value.is_map()) {
      out.push_back(
          std::make_shared<const TurnContextCard>(TurnContextCard::from_map(value.as_map())));
    }
  }
  return out;
}

CardList Turnmend::_recent_cards(const CardList& cards) const {
  CardList active;
  active.reserve(cards.size());
  for (const CardRef& card : cards)
    if (card && card->is_active) active.push_back(card);
  if (active.empty()) {
    for (const CardRef& card : cards)
      if (card) active.push_back(card);
  }
  std::stable_sort(active.begin(), active.end(),
                   [](const CardRef& a, const CardRef& b) { return a->turn_id > b->turn_id; });
  // A negative limit drops that many cards from the end.
  const auto size = static_cast<std::int64_t>(active.size());
  std::int64_t keep = config.max_recent_cards >= 0
                          ? std::min(size, config.max_recent_cards)
                          : std::max<std::int64_t>(0, size + config.max_recent_cards);
  active.resize(static_cast<std::size_t>(keep));
  return active;
}

std::optional<std::int64_t> Turnmend::_latest_active_turn_id(const CardList& cards) {
  std::optional<std::int64_t> latest;
  for (const CardRef& card : cards)
    if (card && card->is_active && (!latest || card->turn_id > *latest)) latest = card->turn_id;
  return latest;
}

ContextResolution resolve_context(const std::string& current_question,
                                  const std::vector<CardSource>& context_cards,
                                  std::optional<std::int64_t> active_turn_id,
                                  const std::optional<std::string>& preferred_task_type,
                                  std::optional<ResolverConfig> config,
                                  ResolverLLMFallback llm_fallback) {
  Turnmend resolver(config.value_or(ResolverConfig{}), std::move(llm_fallback));
  return resolver.resolve(current_question, context_cards, active_turn_id, preferred_task_type);
}

// ---------------------------------------------------------------- demonstration

TurnContextCard demonstration_card() {
  TurnContextCard card;
  card.turn_id = 1;
  card.user_question = "Show total revenue by region for last 6 months";
  card.resolved_question = card.user_question;
  card.assistant_answer_summary =
      "Generated SQL for total revenue grouped by region for the last 6 months.";
  card.task_type = task_types::kTextToSql;
  card.artifact_type = artifact_types::kSql;
  card.topic_keywords = {"sales", "revenue", "region", "last 6 months"};
  card.entities = {"sales_orders", "revenue", "region", "order_date"};
  card.selected_metadata_ids = {"table:sales_orders", "column:sales_orders.revenue",
                                "column:sales_orders.region", "column:sales_orders.order_date"};
  card.query_state = JsonMap{
      {"active_tables", JsonList{"sales_orders"}},
      {"active_columns", JsonList{"revenue", "region", "order_date"}},
      {"metrics", JsonList{"revenue"}},
      {"dimensions", JsonList{"region"}},
      {"date_columns", JsonList{"order_date"}},
      {"group_by", JsonList{"region"}},
      {"filters", JsonList{JsonMap{{"column", "order_date"}, {"operation", "last_6_months"}}}},
      {"aggregation", JsonMap{{"function", "sum"}, {"column", "revenue"}}},
      {"granularity", JsonValue()},
  };
  card.sql =
      "SELECT region, sum(revenue) AS total_revenue FROM client_db.sales_orders WHERE order_date "
      ">= addMonths(today(), -6) GROUP BY region";
  return card;
}

const std::vector<std::string>& demonstration_messages() {
  static const std::vector<std::string> messages = {"consider monthly?", "make it category based",
                                                    "what else we get?",
                                                    "Show failed payment count by bank"};
  return messages;
}

std::string demonstration_text() {
  CardList cards = {std::make_shared<const TurnContextCard>(demonstration_card())};
  Turnmend resolver;
  JsonWriteOptions options;
  options.indent = 2;
  options.ensure_ascii = true;
  std::string out;
  for (const std::string& message : demonstration_messages()) {
    out += "\nQUESTION: ";
    out += message;
    out += '\n';
    append_json_text(out, JsonValue(resolver.resolve(message, cards).to_dict()), options);
    out += '\n';
  }
  return out;
}

}  // namespace tessarin::turnmend
