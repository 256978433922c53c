// Message signal predicates: suggestion requests, follow-up and modification
// signals, pronoun back-references, risky references and complete questions.
#include "tessarin/turnmend/signals.h"

#include <array>
#include <cstring>

#include "tessarin/common/unicode.h"
#include "tessarin/turnmend/resolver.h"
#include "tessarin/turnmend/vocabulary.h"

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

// Calls f(word) for the tokens of tokenize(question) with no stop word
// dropped, in order, until f returns true; returns whether one did. ASCII
// messages are scanned in place: a token is a run of letters and digits, a
// capital starts a new one. Tokens longer than the buffer are passed as they
// stand (not lower-cased): no vocabulary word is that long.
template <class F>
bool any_raw_token(const std::string& question, F&& f) {
  if (!unicode::is_ascii(question)) {
    static const WordSet kNoStopwords;
    for (const std::string& token : tokenize(std::string_view(question), &kNoStopwords))
      if (f(std::string_view(token))) return true;
    return false;
  }
  auto is_lower_or_digit = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
  auto is_capital = [](char c) { return c >= 'A' && c <= 'Z'; };
  char buffer[32];
  const char* p = question.data();
  const char* end = p + question.size();
  while (p < end) {
    if (!is_lower_or_digit(*p) && !is_capital(*p)) {
      ++p;
      continue;
    }
    const char* start = p++;
    while (p < end && is_lower_or_digit(*p)) ++p;
    const std::size_t length = static_cast<std::size_t>(p - start);
    std::string_view word(start, length);
    if (length <= sizeof buffer) {
      std::memcpy(buffer, start, length);
      if (is_capital(buffer[0])) buffer[0] = static_cast<char>(buffer[0] - 'A' + 'a');
      word = std::string_view(buffer, length);
    }
    if (f(word)) return true;
  }
  return false;
}

bool any_token_in(const std::string& question, const WordSet& words) {
  return any_raw_token(question, [&](std::string_view token) { return words.contains(token); });
}

bool contains_any_phrase(std::string_view lowered, const std::vector<std::string_view>& phrases) {
  for (std::string_view phrase : phrases)
    if (lowered.find(phrase) != std::string_view::npos) return true;
  return false;
}

std::string lowered(const std::string& question) {
  return unicode::to_lower(std::string_view(question));
}

// The parts of the predicates below that read the lowered message.
bool is_suggestion(std::string_view lowered_text) {
  return contains_any_phrase(lowered_text, vocabulary().SUGGESTION_PHRASES);
}

bool has_followup_signal(const std::string& question, std::string_view lowered_text) {
  const Vocabulary& vocab = vocabulary();
  if (any_token_in(question, vocab.FOLLOWUP_TERMS)) return true;
  return contains_any_phrase(lowered_text, vocab.CLARIFICATION_RISK_PHRASES);
}

bool has_ambiguous_reference(const std::string& lowered_text) {
  if (contains_any_phrase(lowered_text, vocabulary().CLARIFICATION_RISK_PHRASES)) return true;
  return Turnmend::_has_pronoun_followup(lowered_text);
}

// lowered_text, when given, is the question lower-cased; read only when the
// token count falls short.
bool looks_like_complete_question(const Turnmend& resolver, const std::string& question,
                                  const std::string* lowered_text) {
  // Enough tokens once stop words are dropped (counting stops at the minimum).
  const WordSet& stopwords = vocabulary().STOPWORDS;
  const std::int64_t minimum = resolver.config.fresh_question_min_tokens;
  std::int64_t count = 0;
  const bool long_enough = minimum <= 0 || any_raw_token(question, [&](std::string_view token) {
                             if (!stopwords.contains(token)) ++count;
                             return count >= minimum;
                           });
  if (long_enough && !Turnmend::_has_pronoun_followup(question)) return true;
  std::string own;
  if (!lowered_text) {
    own = lowered(question);
    lowered_text = &own;
  }
  for (std::string_view prefix : kCompleteQuestionPrefixes)
    if (std::string_view(*lowered_text).starts_with(prefix)) return true;
  return false;
}

}  // namespace

namespace detail {

MessageSignals message_signals(const Turnmend& resolver, const std::string& question,
                               const IntentDelta& delta) {
  const std::string lowered_text = lowered(question);
  // The follow-up and the ambiguity signals share the risk phrases: searched once.
  const bool risk_phrase =
      contains_any_phrase(lowered_text, vocabulary().CLARIFICATION_RISK_PHRASES);
  MessageSignals out;
  out.suggestion = is_suggestion(lowered_text);
  out.followup = risk_phrase || any_token_in(question, vocabulary().FOLLOWUP_TERMS);
  out.modification = Turnmend::_has_modify_signal(question, delta);
  out.complete = looks_like_complete_question(resolver, question, &lowered_text);
  out.ambiguous = risk_phrase || Turnmend::_has_pronoun_followup(lowered_text);
  return out;
}

}  // namespace detail

bool Turnmend::_is_suggestion_request(const std::string& question) {
  return is_suggestion(lowered(question));
}

bool Turnmend::_has_followup_signal(const std::string& question) {
  return has_followup_signal(question, lowered(question));
}

bool Turnmend::_has_pronoun_followup(const std::string& question) {
  bool recency_hit = false;
  const bool other_hit = any_raw_token(question, [&](std::string_view token) {
    if (!is_one_of(token, kBackReferenceWords)) return false;
    if (!is_one_of(token, kRecencyWords)) return true;
    recency_hit = true;
    return false;
  });
  if (other_hit) return true;
  if (!recency_hit) return false;
  // "last"/"previous" inside a relative time window do not point back.
  return !vocabulary().BACKREF_NUMERIC_RE.contains(std::string_view(lowered(question)));
}

bool Turnmend::_has_modify_signal(const std::string& question, const IntentDelta& delta) {
  if (any_token_in(question, vocabulary().MODIFY_TERMS)) return true;
  return delta.operation != operations::kNone;
}

bool Turnmend::_has_ambiguous_reference(const std::string& question) {
  return has_ambiguous_reference(lowered(question));
}

bool Turnmend::_looks_like_complete_question(const std::string& question) const {
  return looks_like_complete_question(*this, question, nullptr);
}

}  // namespace tessarin::turnmend
