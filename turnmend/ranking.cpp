// Candidate ranking and reference detection: explicit turn and artifact
// references in the message, the score of every recent card, the rule that
// decides whether the best card is a safe base, and the question to ask back.
#include "tessarin/turnmend/ranking.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "tessarin/common/display.h"
#include "tessarin/common/unicode.h"
#include "tessarin/turnmend/card_overlap.h"
#include "tessarin/turnmend/message_text.h"
#include "tessarin/turnmend/resolver.h"
#include "tessarin/turnmend/vocabulary.h"

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
constexpr std::size_t kUsualReasons = 4;

// Patterns built once: one per ordinal word of the vocabulary (tried in its
// order) and the artifact reference by noun; the numbered-identifier form
// needs no pattern (first_numbered_identifier).
struct ReferencePatterns {
  std::vector<Regex> ordinals;
  std::vector<std::u32string> ordinal_words;  // each ordinal pattern needs its word
  Regex artifact_noun{"\\b(chart|table|card|widget|result)\\s*#?\\s*(\\w+)\\b"};

  ReferencePatterns() {
    for (const OrdinalWord& ordinal : vocabulary().ORDINAL_WORDS) {
      ordinal_words.push_back(unicode::decode_utf8(ordinal.word));
      ordinals.emplace_back("\\b" + std::string(ordinal.word) +
                            "\\s+(question|query|answer|result|chart|table|card|widget)\\b");
    }
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

namespace detail {

namespace {

constexpr std::array<std::u32string_view, 5> kArtifactNouns = {U"chart", U"table", U"card",
                                                               U"widget", U"result"};

// The first word run of the form \w+_\d+, what \b(\w+_\d+)\b finds: a
// match can only start where a run starts and end where it ends (\d is
// part of \w), and its digits are the run's trailing digits with a "_"
// and at least one character before them.
std::optional<std::u32string_view> first_numbered_identifier(std::u32string_view q) {
  std::size_t i = 0;
  while (i < q.size()) {
    if (!unicode::is_word(q[i])) {
      ++i;
      continue;
    }
    const std::size_t start = i;
    while (i < q.size() && unicode::is_word(q[i])) ++i;
    std::size_t digits = i;
    while (digits > start && unicode::is_decimal(q[digits - 1])) --digits;
    if (digits < i && digits >= start + 2 && q[digits - 1] == U'_')
      return q.substr(start, i - start);
  }
  return std::nullopt;
}

}  // namespace

std::string two_decimal_text(double x) {
  if (!(x > 0.0 && x <= 1.0)) return format_fixed(x, 2);
  // x * 100 is off the exact product by far less than 1e-6, so away from a
  // midpoint both round alike; near one the exact digits decide.
  const double y = x * 100.0;
  const double whole = std::floor(y);
  const double fraction = y - whole;
  if (std::fabs(fraction - 0.5) < 1e-6) return format_fixed(x, 2);
  const int k = static_cast<int>(whole) + (fraction > 0.5 ? 1 : 0);
  const char text[4] = {static_cast<char>('0' + k / 100), '.', static_cast<char>('0' + k / 10 % 10),
                        static_cast<char>('0' + k % 10)};
  return std::string(text, 4);
}

std::optional<std::int64_t> explicit_turn_reference(std::u32string_view q) {
  // Each alternative of TURN_REF_RE holds a digit run.
  std::optional<RegexMatch> match;
  if (has_decimal_digit(q)) match = vocabulary().TURN_REF_RE.search(q);
  if (match) {
    for (std::size_t group = 1; group <= 3; ++group) {
      if (!match->matched(group)) continue;
      if (std::optional<std::int64_t> number = digits_to_int64(match->group(q, group)))
        return number;
    }
  }
  const std::vector<OrdinalWord>& words = vocabulary().ORDINAL_WORDS;
  const std::vector<Regex>& patterns = reference_patterns().ordinals;
  const std::vector<std::u32string>& literals = reference_patterns().ordinal_words;
  for (std::size_t i = 0; i < words.size(); ++i)
    if (q.find(literals[i]) != std::u32string_view::npos && patterns[i].contains(q))
      return words[i].value;
  return std::nullopt;
}

std::optional<std::string> artifact_reference(std::u32string_view q) {
  const ReferencePatterns& patterns = reference_patterns();
  // Every match of the noun pattern holds one of its nouns.
  bool noun = false;
  for (std::u32string_view word : kArtifactNouns) noun = noun || q.find(word) != q.npos;
  RegexMatch match;
  if (noun && patterns.artifact_noun.search(q, 0, match))
    return group_text(match, q, 1) + "_" + group_text(match, q, 2);
  if (std::optional<std::u32string_view> identifier = first_numbered_identifier(q))
    return unicode::encode_utf8(*identifier);
  return std::nullopt;
}

}  // namespace detail

std::optional<std::int64_t> Turnmend::_detect_explicit_turn_reference(const std::string& question) {
  return detail::explicit_turn_reference(detail::lowered_code_points(question));
}

std::optional<std::string> Turnmend::_detect_artifact_reference(const std::string& question) {
  return detail::artifact_reference(detail::lowered_code_points(question));
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
  detail::CardOverlapMeter overlap_meter(tokenize(std::string_view(current_question)));
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
    reasons.reserve(kUsualReasons);
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

    const detail::CardOverlaps overlaps = overlap_meter.measure(card);
    const double keyword_overlap = overlaps.keyword;
    if (keyword_overlap != 0.0) {
      score += keyword_overlap * config.keyword_overlap_weight;
      reasons.push_back(std::string(kKeywordOverlapReason) +
                        detail::two_decimal_text(keyword_overlap));
    }
    const double entity_overlap = overlaps.entity;
    if (entity_overlap != 0.0) {
      score += entity_overlap * config.entity_overlap_weight;
      reasons.push_back(std::string(kEntityOverlapReason) +
                        detail::two_decimal_text(entity_overlap));
    }
    if (task_type_given && *preferred_task_type == card.task_type) {
      score += config.task_type_match_weight;
      reasons.push_back(std::string(kTaskTypeReason) + *preferred_task_type);
    }
    score *= quality_factor(card.quality_score);
    candidates.push_back(std::move(candidate));
  }
  // Recency often leaves them in order already; otherwise the indices are
  // sorted and each candidate moved once.
  if (std::is_sorted(candidates.begin(), candidates.end(), higher_score)) return candidates;
  std::vector<std::size_t> order(candidates.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return higher_score(candidates[a], candidates[b]);
  });
  std::vector<ContextCandidate> sorted;
  sorted.reserve(candidates.size());
  for (std::size_t i : order) sorted.push_back(std::move(candidates[i]));
  return sorted;
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
