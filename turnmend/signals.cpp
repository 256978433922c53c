// Message signal predicates: suggestion requests, follow-up and modification
// signals, pronoun back-references, risky references and complete questions.
#include <array>

#include "common/unicode.h"
#include "turnmend/resolver.h"
#include "turnmend/vocabulary.h"

namespace tessarin::turnmend {

namespace {

constexpr std::array<std::string_view, 7> kBackReferenceWords = {"it",       "this", "that", "same",
                                                                 "previous", "last", "one"};
constexpr std::array<std::string_view, 2> kRecencyWords = {"last", "previous"};
constexpr std::array<std::string_view, 6> kCompleteQuestionPrefixes = {
    "show ", "list ", "count ", "summarize ", "compare ", "find "};

template <class Words>
bool is_one_of(std::string_view word, const Words& words) {
  for (std::string_view w : words)
    if (w == word) return true;
  return false;
}

// Tokens with no stop word dropped.
StringList raw_tokens(const std::string& question) {
  static const WordSet kNoStopwords;
  return tokenize(std::string_view(question), &kNoStopwords);
}

bool any_token_in(const StringList& tokens, const WordSet& words) {
  for (const std::string& token : tokens)
    if (words.contains(token)) return true;
  return false;
}

bool contains_any_phrase(std::string_view lowered, const std::vector<std::string_view>& phrases) {
  for (std::string_view phrase : phrases)
    if (lowered.find(phrase) != std::string_view::npos) return true;
  return false;
}

std::string lowered(const std::string& question) {
  return unicode::to_lower(std::string_view(question));
}

}  // namespace

bool Turnmend::_is_suggestion_request(const std::string& question) {
  return contains_any_phrase(lowered(question), vocabulary().SUGGESTION_PHRASES);
}

bool Turnmend::_has_followup_signal(const std::string& question) {
  const Vocabulary& vocab = vocabulary();
  if (any_token_in(raw_tokens(question), vocab.FOLLOWUP_TERMS)) return true;
  return contains_any_phrase(lowered(question), vocab.CLARIFICATION_RISK_PHRASES);
}

bool Turnmend::_has_pronoun_followup(const std::string& question) {
  bool other_hit = false, recency_hit = false;
  for (const std::string& token : raw_tokens(question)) {
    if (!is_one_of(token, kBackReferenceWords)) continue;
    if (is_one_of(token, kRecencyWords)) {
      recency_hit = true;
    } else {
      other_hit = true;
    }
  }
  if (other_hit) return true;
  if (!recency_hit) return false;
  // "last"/"previous" inside a relative time window do not point back.
  return !vocabulary().BACKREF_NUMERIC_RE.contains(std::string_view(lowered(question)));
}

bool Turnmend::_has_modify_signal(const std::string& question, const IntentDelta& delta) {
  if (any_token_in(raw_tokens(question), vocabulary().MODIFY_TERMS)) return true;
  return delta.operation != operations::kNone;
}

bool Turnmend::_has_ambiguous_reference(const std::string& question) {
  std::string text = lowered(question);
  if (contains_any_phrase(text, vocabulary().CLARIFICATION_RISK_PHRASES)) return true;
  return _has_pronoun_followup(text);
}

bool Turnmend::_looks_like_complete_question(const std::string& question) const {
  StringList tokens = tokenize(std::string_view(question));
  if (static_cast<std::int64_t>(tokens.size()) >= config.fresh_question_min_tokens &&
      !_has_pronoun_followup(question))
    return true;
  std::string text = lowered(question);
  for (std::string_view prefix : kCompleteQuestionPrefixes)
    if (std::string_view(text).starts_with(prefix)) return true;
  return false;
}

}  // namespace tessarin::turnmend
