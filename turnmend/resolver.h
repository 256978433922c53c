// Turnmend: the rule-based context resolver. Given the current message and
// the caller's recent turn cards it decides the kind of message, picks the
// base turn and writes a standalone question, a metadata search query and
// the tables and columns carried over from the base turn.
//
// Where the steps are defined:
//   resolver.cpp        resolve, the result constructors, card preparation,
//                       resolve_context
//   ranking.cpp         candidate ranking and reference detection
//   card_overlap.cpp    the word overlaps of the message with each card
//   signals.cpp         message signal predicates
//   intent_delta.cpp    intent delta extraction and hint cleaning
//   message_text.cpp    code points, group text and digit values of the message
//   composition.cpp     resolved-question composition
//   metadata_query.cpp  metadata search query and base constraints
//   llm_fallback.cpp    the optional LLM fallback exchange
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tessarin/common/json_value.h"
#include "tessarin/turnmend/records.h"

namespace tessarin::turnmend {

// Thrown by a fallback callable to abort the whole resolve instead of
// counting as no answer (the Python bindings use it for KeyboardInterrupt
// and SystemExit); `cause` is the original error.
class FallbackInterrupted : public std::exception {
 public:
  // Keeps the cause; nothing is thrown here.
  // NOLINTNEXTLINE(bugprone-throw-keyword-missing)
  explicit FallbackInterrupted(std::exception_ptr cause) : cause(std::move(cause)) {}
  const char* what() const noexcept override { return "fallback interrupted"; }
  std::exception_ptr cause;
};

// An item of the caller's card list: a card, or a card map. A null card,
// and a value that is not a map, are skipped.
using CardSource = std::variant<CardRef, JsonValue>;

// Question parts: "metric", "grouping", "filter", "granularity", and later
// "limit" and "compare".
using QuestionParts = OrderedMap<std::string>;

class Turnmend {
 public:
  explicit Turnmend(ResolverConfig config = {}, ResolverLLMFallback llm_fallback = nullptr)
      : config(std::move(config)), llm_fallback(std::move(llm_fallback)) {}

  ResolverConfig config;
  ResolverLLMFallback llm_fallback;

  // Throws CardMapError for a card map that cannot become a card.
  ContextResolution resolve(
      const std::string& current_question, const std::vector<CardSource>& context_cards = {},
      std::optional<std::int64_t> active_turn_id = std::nullopt,
      const std::optional<std::string>& preferred_task_type = std::nullopt) const;
  ContextResolution resolve(
      const std::string& current_question, const CardList& context_cards,
      std::optional<std::int64_t> active_turn_id = std::nullopt,
      const std::optional<std::string>& preferred_task_type = std::nullopt) const;

  // --- result constructors and card preparation (resolver.cpp)
  ContextResolution _fresh(const std::string& current_question,
                           std::vector<ContextCandidate> candidates = {},
                           const std::string& reason = "") const;
  ContextResolution _clarify(const std::string& current_question,
                             std::vector<ContextCandidate> candidates, const std::string& reason,
                             const std::string& question) const;
  // copy_candidates false leaves the candidates out even when the config
  // includes them (for a caller that moves them in afterwards).
  ContextResolution _build_contextual_resolution(
      const std::string& context_type, const std::string& current_question,
      const ContextCandidate& base_candidate, const IntentDelta& intent_delta,
      const std::vector<ContextCandidate>& candidates, const std::string& route,
      const std::string& reason, bool copy_candidates = true) const;
  ContextResolution _finalize_resolution(ContextResolution resolution, const CardList& cards,
                                         const JsonMap& preliminary) const;
  static CardList _normalize_cards(const std::vector<CardSource>& cards);
  CardList _recent_cards(const CardList& cards) const;
  static std::optional<std::int64_t> _latest_active_turn_id(const CardList& cards);

  // --- ranking and reference detection (ranking.cpp)
  std::vector<ContextCandidate> _rank_candidates(
      const std::string& current_question, const CardList& cards,
      std::optional<std::int64_t> explicit_turn_id,
      const std::optional<std::string>& explicit_artifact_ref,
      std::optional<std::int64_t> active_turn_id,
      const std::optional<std::string>& preferred_task_type) const;
  // Returns best, or nullptr when no safe base exists.
  const ContextCandidate* _choose_base_for_contextual_request(const ContextCandidate* best,
                                                              const ContextCandidate* second,
                                                              const std::string& current_question,
                                                              bool ambiguous_reference) const;
  static std::optional<std::int64_t> _detect_explicit_turn_reference(const std::string& question);
  static std::optional<std::string> _detect_artifact_reference(const std::string& question);
  static bool _artifact_matches(const std::string& ref, const TurnContextCard& card);
  static std::string _build_ambiguity_question(const std::vector<ContextCandidate>& candidates);

  // --- message signals (signals.cpp)
  static bool _is_suggestion_request(const std::string& question);
  static bool _has_followup_signal(const std::string& question);
  static bool _has_modify_signal(const std::string& question, const IntentDelta& delta);
  static bool _has_pronoun_followup(const std::string& question);
  static bool _has_ambiguous_reference(const std::string& question);
  bool _looks_like_complete_question(const std::string& question) const;

  // --- intent delta (intent_delta.cpp)
  static IntentDelta _extract_intent_delta(const std::string& question);
  static std::optional<std::string> _extract_metric_hint(const std::string& q);
  static std::optional<std::string> _extract_dimension_hint(const std::string& q);
  static std::optional<std::string> _extract_filter_hint(const std::string& q);
  static std::string _clean_hint(const std::string& hint);

  // --- composition (composition.cpp)
  std::string _compose_resolved_question(const std::string& current_question,
                                         const TurnContextCard& base, const IntentDelta& delta,
                                         const std::string& context_type,
                                         const std::vector<ContextCandidate>& candidates,
                                         const ContextCandidate* base_candidate) const;
  static JsonMap _merge_top_candidate_states(const ContextCandidate& base_candidate,
                                             const std::vector<ContextCandidate>& candidates,
                                             std::int64_t top_n = 3);
  static QuestionParts _state_to_question_parts(const JsonMap& state);
  static std::string _filters_to_text(const JsonValue& filters);
  static std::string _render_question_parts(const QuestionParts& parts,
                                            const std::string& fallback);
  static void _apply_numeric_override(QuestionParts& parts, const IntentDelta& delta);

  // --- metadata search query and constraints (metadata_query.cpp)
  std::string _compose_metadata_search_query(const std::string& current_question,
                                             const TurnContextCard& base, const IntentDelta& delta,
                                             const std::string& resolved_question) const;
  std::pair<StringList, RequiredColumns> _constraints_from_base(const TurnContextCard& base,
                                                                const IntentDelta& delta) const;
  std::string _limit_query_terms(const std::string& text) const;

  // --- LLM fallback (llm_fallback.cpp)
  std::optional<ContextResolution> _try_llm_fallback(const std::string& current_question,
                                                     const CardList& cards,
                                                     const JsonMap& preliminary) const;
  // Throws when the answer cannot be turned into a resolution.
  ContextResolution _resolution_from_llm_dict(const std::string& current_question,
                                              const JsonValue& data, const CardList& cards) const;
};

// Constructs a Turnmend with config and llm_fallback and resolves one message.
ContextResolution resolve_context(
    const std::string& current_question, const std::vector<CardSource>& context_cards = {},
    std::optional<std::int64_t> active_turn_id = std::nullopt,
    const std::optional<std::string>& preferred_task_type = std::nullopt,
    std::optional<ResolverConfig> config = std::nullopt,
    ResolverLLMFallback llm_fallback = nullptr);

// The demonstration run: its example card, its four messages, and the text
// it prints (each message after a line break and "QUESTION: ", then the
// resolution as JSON indented by 2).
TurnContextCard demonstration_card();
const std::vector<std::string>& demonstration_messages();
std::string demonstration_text();

}  // namespace tessarin::turnmend
