// Candidate ranking and reference detection: explicit turn and artifact
// references in the message, the score of every recent card, the rule that
// decides whether the best card is a safe base, and the question to ask back.
#include <algorithm>
#include <array>
#include <cmath>

#include "common/display.h"
#include "common/unicode.h"
#include "turnmend/intent_delta.h"
#include "turnmend/resolver.h"
#include "turnmend/vocabulary.h"

namespace tessarin::turnmend {

namespace {

constexpr std::string_view kExplicitTurnReason = "explicit turn reference: ";
constexpr std::string_view kArtifactMatchReason = "artifact reference match: ";
constexpr std::string_view kActiveCardReason = "active card";
constexpr std::string_view kActiveTurnIdReason = "active turn id match";
constexpr std::string_view kLatestActiveReason = "latest active turn";
constexpr std::string_view kRecentTurnReason = "recent turn";
constexpr std::string_view kKeywordOverlapReason = "keyword overlap ";
constexpr std::string_view kEntityOverlapReason = "entity/metadata overlap ";
constexpr std::string_view kTaskTypeReason = "task type match: ";

constexpr std::string_view kTurnLabel = "turn ";
constexpr std::string_view kTurnArtifactPrefix = "turn_";
constexpr std::string_view kGenericClarification =
    "Can you clarify what you want me to use as context?";
constexpr std::string_view kWhichResultPrefix = "Which previous result should I use? ";
constexpr std::string_view kOptionSeparator = " | ";

constexpr std::size_t kAmbiguityOptions = 3;
constexpr std::int64_t kOptionLabelChars = 80;
constexpr double kPronounBaseMinScore = 0.2;

// Patterns built from the vocabulary once: one per ordinal word (tried in
// the vocabulary's order) and the two artifact-reference forms.
struct ReferencePatterns {
  std::vector<Regex> ordinals;
  Regex artifact_noun{"\\b(chart|table|card|widget|result)\\s*#?\\s*(\\w+)\\b"};
  Regex artifact_identifier{"\\b(\\w+_\\d+)\\b"};

  ReferencePatterns() {
    for (const OrdinalWord& ordinal : vocabulary().ORDINAL_WORDS)
      ordinals.emplace_back("\\b" + std::string(ordinal.word) +
                            "\\s+(question|query|answer|result|chart|table|card|widget)\\b");
  }
};

const ReferencePatterns& reference_patterns() {
  static const ReferencePatterns patterns;
  return patterns;
}

// Lower case without number signs.
std::string normalized_reference(std::string_view text) {
  std::string out = unicode::to_lower(text);
  std::erase(out, '#');
  return out;
}

// Distinct words, sorted, for set intersections without hashing.
std::vector<std::string_view> word_set(const StringList& words) {
  std::vector<std::string_view> set(words.begin(), words.end());
  std::sort(set.begin(), set.end());
  set.erase(std::unique(set.begin(), set.end()), set.end());
  return set;
}

// overlap_score of two sets made by word_set.
double set_overlap(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b) {
  if (a.empty() || b.empty()) return 0.0;
  std::size_t common = 0;
  auto ia = a.begin(), ib = b.begin();
  while (ia != a.end() && ib != b.end()) {
    if (*ia < *ib) {
      ++ia;
    } else if (*ib < *ia) {
      ++ib;
    } else {
      ++common, ++ia, ++ib;
    }
  }
  return static_cast<double>(common) / static_cast<double>(std::min(a.size(), b.size()));
}

StringList entity_tokens(const TurnContextCard& card) {
  StringList out;
  for (const StringList* list : {&card.entities, &card.topic_keywords, &card.selected_metadata_ids})
    for (const std::string& item : *list) tokenize_into(item, nullptr, out);
  return out;
}

// The quality factor: clamped to [0, 1]; an unrated (NaN) quality counts as 1.
double quality_factor(double quality) {
  if (std::isnan(quality)) return 1.0;
  return std::clamp(quality, 0.0, 1.0);
}

bool higher_score(const ContextCandidate& a, const ContextCandidate& b) {
  return detail::higher_score(a.score, b.score);
}

std::string with_number(std::string_view prefix, std::int64_t number) {
  std::string out(prefix);
  out += std::to_string(number);
  return out;
}

}  // namespace

std::optional<std::int64_t> Turnmend::_detect_explicit_turn_reference(const std::string& question) {
  const std::u32string q = detail::lowered_code_points(question);
  if (std::optional<RegexMatch> match = vocabulary().TURN_REF_RE.search(q)) {
    for (std::size_t group = 1; group <= 3; ++group) {
      if (!match->matched(group)) continue;
      if (std::optional<std::int64_t> number = detail::digits_to_int64(match->group(q, group)))
        return number;
    }
  }
  const std::vector<OrdinalWord>& words = vocabulary().ORDINAL_WORDS;
  const std::vector<Regex>& patterns = reference_patterns().ordinals;
  for (std::size_t i = 0; i < words.size(); ++i)
    if (patterns[i].contains(std::u32string_view(q))) return words[i].value;
  return std::nullopt;
}

std::optional<std::string> Turnmend::_detect_artifact_reference(const std::string& question) {
  const std::u32string q = detail::lowered_code_points(question);
  const ReferencePatterns& patterns = reference_patterns();
  RegexMatch match;
  if (patterns.artifact_noun.search(q, 0, match))
    return detail::group_text(match, q, 1) + "_" + detail::group_text(match, q, 2);
  if (patterns.artifact_identifier.search(q, 0, match)) return detail::group_text(match, q, 1);
  return std::nullopt;
}

bool Turnmend::_artifact_matches(const std::string& ref, const TurnContextCard& card) {
  const std::string wanted = normalized_reference(ref);
  const std::string turn = std::to_string(card.turn_id);
  const std::array<std::string, 4> values = {
      card.artifact_id.value_or(std::string()), card.artifact_label.value_or(std::string()),
      card.artifact_type + "_" + turn, std::string(kTurnArtifactPrefix) + turn};
  for (const std::string& value : values)
    if (!value.empty() && normalized_reference(value) == wanted) return true;
  return false;
}

std::vector<ContextCandidate> Turnmend::_rank_candidates(
    const std::string& current_question, const CardList& cards,
    std::optional<std::int64_t> explicit_turn_id,
    const std::optional<std::string>& explicit_artifact_ref,
    std::optional<std::int64_t> active_turn_id,
    const std::optional<std::string>& preferred_task_type) const {
  const StringList q_tokens = tokenize(std::string_view(current_question));
  const std::vector<std::string_view> q_token_set = word_set(q_tokens);
  const std::optional<std::int64_t> latest = _latest_active_turn_id(cards);

  std::vector<const CardRef*> ordered;
  ordered.reserve(cards.size());
  for (const CardRef& card : cards)
    if (card) ordered.push_back(&card);
  std::stable_sort(ordered.begin(), ordered.end(), [](const CardRef* a, const CardRef* b) {
    return (*a)->turn_id > (*b)->turn_id;
  });
  const std::size_t n = ordered.size();
  const double rank_divisor = static_cast<double>(std::max<std::size_t>(1, n ? n - 1 : 0) + 1);
  const bool artifact_given = explicit_artifact_ref && !explicit_artifact_ref->empty();
  const bool task_type_given = preferred_task_type && !preferred_task_type->empty();

  std::vector<ContextCandidate> candidates;
  candidates.reserve(n);
  std::size_t run_end = 0;  // one past the last card sharing the current turn_id
  for (std::size_t position = 0; position < n; ++position) {
    const CardRef& ref = *ordered[position];
    const TurnContextCard& card = *ref;
    // Cards sharing a turn_id are adjacent; they all take the last position.
    if (position >= run_end) {
      run_end = position + 1;
      while (run_end < n && (*ordered[run_end])->turn_id == card.turn_id) ++run_end;
    }
    const std::size_t rank = run_end - 1;

    ContextCandidate candidate{card.turn_id, 0.0, {}, ref};
    double& score = candidate.score;
    StringList& reasons = candidate.reasons;
    if (explicit_turn_id && *explicit_turn_id == card.turn_id) {
      score += config.explicit_reference_weight;
      reasons.push_back(with_number(kExplicitTurnReason, card.turn_id));
    }
    if (artifact_given && _artifact_matches(*explicit_artifact_ref, card)) {
      score += config.artifact_match_weight;
      reasons.push_back(std::string(kArtifactMatchReason) + *explicit_artifact_ref);
    }
    if (card.is_active) {
      score += config.active_card_bonus;
      reasons.emplace_back(kActiveCardReason);
    }
    if (active_turn_id && *active_turn_id == card.turn_id) {
      score += config.active_card_bonus;
      reasons.emplace_back(kActiveTurnIdReason);
    }
    if (latest && *latest == card.turn_id) {
      score += config.active_card_bonus;
      reasons.emplace_back(kLatestActiveReason);
    }
    const double recency = 1.0 - static_cast<double>(rank) / rank_divisor;
    score += recency * config.recency_weight;
    if (recency > 0.5) reasons.emplace_back(kRecentTurnReason);

    const double keyword_overlap = set_overlap(q_token_set, word_set(card.tokens()));
    if (keyword_overlap != 0.0) {
      score += keyword_overlap * config.keyword_overlap_weight;
      reasons.push_back(std::string(kKeywordOverlapReason) + format_fixed(keyword_overlap, 2));
    }
    const double entity_overlap = set_overlap(q_token_set, word_set(entity_tokens(card)));
    if (entity_overlap != 0.0) {
      score += entity_overlap * config.entity_overlap_weight;
      reasons.push_back(std::string(kEntityOverlapReason) + format_fixed(entity_overlap, 2));
    }
    if (task_type_given && *preferred_task_type == card.task_type) {
      score += config.task_type_match_weight;
      reasons.push_back(std::string(kTaskTypeReason) + *preferred_task_type);
    }
    score *= quality_factor(card.quality_score);
    candidates.push_back(std::move(candidate));
  }
  std::stable_sort(candidates.begin(), candidates.end(), higher_score);
  return candidates;
}

const ContextCandidate* Turnmend::_choose_base_for_contextual_request(
    const ContextCandidate* best, const ContextCandidate* second,
    const std::string& current_question, bool ambiguous_reference) const {
  if (!best) return nullptr;
  if (best->score >= config.followup_threshold) {
    if (!config.ask_clarification_when_ambiguous) return best;
    if (second && best->score - second->score < config.clarification_margin && ambiguous_reference)
      return nullptr;
    return best;
  }
  if (config.prefer_latest_for_pronoun_followup && _has_pronoun_followup(current_question))
    return best->score >= kPronounBaseMinScore ? best : nullptr;
  return nullptr;
}

std::string Turnmend::_build_ambiguity_question(const std::vector<ContextCandidate>& candidates) {
  std::string options;
  const std::size_t considered = std::min(kAmbiguityOptions, candidates.size());
  for (std::size_t i = 0; i < considered; ++i) {
    const ContextCandidate& candidate = candidates[i];
    if (!candidate.card) continue;
    const TurnContextCard& card = *candidate.card;
    std::string label = !card.resolved_question.empty() ? card.resolved_question
                        : !card.user_question.empty()   ? card.user_question
                                                      : with_number(kTurnLabel, candidate.turn_id);
    if (!options.empty()) options += kOptionSeparator;
    options += with_number(kTurnLabel, candidate.turn_id);
    options += ": ";
    options += compact_text(std::string_view(label), kOptionLabelChars);
  }
  if (options.empty()) return std::string(kGenericClarification);
  return std::string(kWhichResultPrefix) + options;
}

}  // namespace tessarin::turnmend
