// Intent delta extraction: the change of a previous analysis that the message
// asks for (granularity, top/bottom N, grouping, metric, filter, sort,
// comparison, replacement number), read with fixed cues and patterns.

#include <array>
#include <cstdint>
#include <vector>

#include "tessarin/common/unicode.h"
#include "tessarin/turnmend/message_text.h"
#include "tessarin/turnmend/resolver.h"
#include "tessarin/turnmend/vocabulary.h"

namespace tessarin::turnmend {

namespace {

constexpr std::string_view kTopHintPrefix = "top ";
constexpr std::string_view kBottomHintPrefix = "bottom ";
constexpr std::string_view kNumericOverrideHintPrefix = "numeric_override:";

constexpr std::array<std::string_view, 4> kFilterCues = {"only ", "include ", "where ", "filter "};
constexpr std::array<std::string_view, 4> kFilterRemovalPhrases = {
    "remove filter", "without filter", "clear filter", "ignore filter"};
constexpr std::array<std::string_view, 7> kSortCues = {
    "sort", "highest", "lowest", "ascending", "descending", "desc", "asc"};
constexpr std::array<std::string_view, 6> kComparisonCues = {"compare",    "vs",     "versus",
                                                             "difference", "growth", "change from"};

constexpr std::array<std::string_view, 5> kRejectedHints = {"it", "this", "that", "same", "one"};
constexpr std::u32string_view kHintStripSet = U" ?.,";
// The words of the hint tail pattern below.
constexpr std::array<std::string_view, 12> kHintTailWords = {
    "for",  "with", "from",   "last", "previous", "current",
    "next", "top",  "bottom", "sort", "order",    "limit"};

// The normalized message with the set of its bytes: the extractors look for
// some sixty cue words in it, and most are ruled out by their first or last
// byte before any search.
class Message {
 public:
  explicit Message(std::string_view text) : text_(text) {
    for (unsigned char c : text) bytes_[c >> 6] |= std::uint64_t{1} << (c & 63);
  }
  bool contains(std::string_view cue) const {
    if (cue.empty()) return true;
    if (!has(cue.front()) || !has(cue.back())) return false;
    return text_.find(cue) != std::string_view::npos;
  }

 private:
  bool has(char c) const {
    const unsigned char b = static_cast<unsigned char>(c);
    return (bytes_[b >> 6] >> (b & 63)) & 1;
  }
  std::string_view text_;
  std::array<std::uint64_t, 4> bytes_{};
};

// A pattern with the words one of which every match contains, so texts
// without any of them skip the search.
struct GuardedPattern {
  Regex regex;
  std::vector<std::string_view> needs_one_of;

  bool search(const Message& q, std::u32string_view q32, RegexMatch& match) const {
    for (std::string_view word : needs_one_of)
      if (q.contains(word)) return regex.search(q32, 0, match);
    return false;
  }
};

// The hint extractors' patterns, compiled once. The metric patterns follow
// AGGREGATION_ALIASES entry by entry, alias by alias.
struct DeltaPatterns {
  std::vector<GuardedPattern> dimension;
  std::vector<GuardedPattern> filter;
  std::vector<std::vector<Regex>> metric;
  Regex hint_tail{
      "\\b(for|with|from|last|previous|current|next|top|bottom|sort|order|limit)\\b.*$"};

  DeltaPatterns() {
    dimension.push_back({Regex("\\bby\\s+([a-zA-Z0-9_\\- ]{2,60})"), {"by"}});
    dimension.push_back({Regex("\\bgroup\\s+by\\s+([a-zA-Z0-9_\\- ]{2,60})"), {"group"}});
    dimension.push_back(
        {Regex("\\bmake\\s+(?:it\\s+)?([a-zA-Z0-9_\\- ]{2,60})\\s+(?:based|wise)"), {"make"}});
    dimension.push_back(
        {Regex("\\b([a-zA-Z0-9_\\- ]{2,60})\\s+(?:based|wise)\\b"), {"based", "wise"}});
    filter.push_back({Regex("\\bonly\\s+([a-zA-Z0-9_\\- =']{2,80})"), {"only"}});
    filter.push_back({Regex("\\binclude\\s+([a-zA-Z0-9_\\- =']{2,80})"), {"include"}});
    filter.push_back({Regex("\\bwhere\\s+([a-zA-Z0-9_\\- =']{2,80})"), {"where"}});
    filter.push_back({Regex("\\bfilter\\s+(?:by\\s+)?([a-zA-Z0-9_\\- =']{2,80})"), {"filter"}});
    for (const AliasEntry& entry : vocabulary().AGGREGATION_ALIASES) {
      std::vector<Regex>& row = metric.emplace_back();
      for (std::string_view alias : entry.spellings)
        row.emplace_back("\\b" + Regex::escape(alias) + "\\s+(?:of\\s+)?([a-zA-Z0-9_\\- ]{2,50})");
    }
  }
};

const DeltaPatterns& delta_patterns() {
  static const DeltaPatterns patterns;
  return patterns;
}

template <class Cues>
bool contains_any(const Message& text, const Cues& cues) {
  for (std::string_view cue : cues)
    if (text.contains(cue)) return true;
  return false;
}

// Lower case, then white space trimmed at both ends.
std::string normalize_message(std::string_view question) {
  std::string lowered = unicode::to_lower(question);
  return std::string(unicode::strip(std::string_view(lowered)));
}

// The first pattern whose group 1 cleans to a non-empty hint.
std::optional<std::string> first_clean_hint(const std::vector<GuardedPattern>& patterns,
                                            const Message& q, std::u32string_view q32) {
  RegexMatch match;
  for (const GuardedPattern& pattern : patterns) {
    if (!pattern.search(q, q32, match)) continue;
    std::string hint = Turnmend::_clean_hint(detail::group_text(match, q32, 1));
    if (!hint.empty()) return hint;
  }
  return std::nullopt;
}

std::optional<std::string> metric_hint(const Message& q, std::u32string_view q32) {
  const AliasTable& aliases = vocabulary().AGGREGATION_ALIASES;
  const DeltaPatterns& patterns = delta_patterns();
  for (std::size_t e = 0; e < aliases.size(); ++e) {
    const std::vector<std::string_view>& spellings = aliases[e].spellings;
    for (std::size_t a = 0; a < spellings.size(); ++a) {
      if (!q.contains(spellings[a])) continue;
      RegexMatch match;
      if (patterns.metric[e][a].search(q32, 0, match)) {
        std::string hint = Turnmend::_clean_hint(detail::group_text(match, q32, 1));
        if (!hint.empty()) return hint;
      }
      return std::string(spellings[a]);
    }
  }
  return std::nullopt;
}

void set_operation_if_none(IntentDelta& delta, std::string_view operation) {
  if (delta.operation == operations::kNone) delta.operation = operation;
}

void read_granularity(const Message& q, IntentDelta& delta) {
  for (const AliasEntry& entry : vocabulary().GRANULARITY_ALIASES) {
    for (std::string_view alias : entry.spellings) {
      if (!q.contains(alias)) continue;
      delta.operation = operations::kAddGranularity;
      delta.granularity = std::string(entry.key);
      delta.raw_hints.emplace_back(entry.key);
      return;
    }
  }
}

void read_top_and_bottom(std::u32string_view q32, IntentDelta& delta) {
  const Vocabulary& vocab = vocabulary();
  std::optional<RegexMatch> top = vocab.TOP_N_RE.search(q32);
  std::optional<RegexMatch> bottom = vocab.BOTTOM_N_RE.search(q32);
  if (top) {
    delta.operation = operations::kSetTopN;
    delta.top_n = detail::digits_to_int64(top->group(q32, 1));
    delta.raw_hints.push_back(std::string(kTopHintPrefix) +
                              std::to_string(delta.top_n.value_or(0)));
  }
  if (bottom) {
    delta.operation = operations::kSetBottomN;
    delta.bottom_n = detail::digits_to_int64(bottom->group(q32, 1));
    delta.raw_hints.push_back(std::string(kBottomHintPrefix) +
                              std::to_string(delta.bottom_n.value_or(0)));
  }
}

// The message without top/bottom counts, turn references, relative windows
// and ordinals, whose numbers are not replacement values.
std::u32string without_non_value_numbers(std::u32string_view q32) {
  const Vocabulary& vocab = vocabulary();
  std::u32string cleaned = vocab.TOP_N_RE.replace_all(q32, U" ");
  for (const Regex* pattern : {&vocab.BOTTOM_N_RE, &vocab.TURN_REF_RE, &vocab.BACKREF_NUMERIC_RE,
                               &vocab.ORDINAL_SUFFIX_RE})
    cleaned = pattern->replace_all(cleaned, U" ");
  return cleaned;
}

void read_replacement_number(std::u32string_view q32, IntentDelta& delta) {
  std::u32string cleaned = without_non_value_numbers(q32);
  std::optional<RegexMatch> match = vocabulary().GENERIC_NUMBER_RE.search(cleaned);
  if (!match) return;
  std::u32string_view text = match->group(cleaned, 0);
  std::u32string number;
  for (char32_t c : text)
    if (c != U'$' && c != U'%') number.push_back(c);
  std::optional<double> value = detail::decimal_to_double(number);
  if (!value) return;  // not convertible: the number is ignored
  delta.replace_numeric_value = *value;
  delta.raw_hints.push_back(std::string(kNumericOverrideHintPrefix) + unicode::encode_utf8(text));
  set_operation_if_none(delta, operations::kReplaceNumericValue);
}

// The text without the given characters at either end.
std::u32string_view strip_chars(std::u32string_view text, std::u32string_view chars) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && chars.find(text[begin]) != std::u32string_view::npos) ++begin;
  while (end > begin && chars.find(text[end - 1]) != std::u32string_view::npos) --end;
  return text.substr(begin, end - begin);
}

std::u32string collapse_white_space(std::u32string_view text) {
  std::u32string out;
  out.reserve(text.size());
  bool in_space = false;
  for (char32_t c : text) {
    if (unicode::is_space(c)) {
      if (!in_space) out.push_back(U' ');
      in_space = true;
    } else {
      out.push_back(c);
      in_space = false;
    }
  }
  return out;
}

}  // namespace

IntentDelta Turnmend::_extract_intent_delta(const std::string& question) {
  const std::string q = normalize_message(question);
  const std::u32string q32 = unicode::decode_utf8(q);
  const Message m(q);
  IntentDelta delta;

  // The count, reference and number patterns all need a digit.
  const bool has_digit = detail::has_decimal_digit(q32);
  read_granularity(m, delta);
  if (has_digit) read_top_and_bottom(q32, delta);

  if (std::optional<std::string> hint = first_clean_hint(delta_patterns().dimension, m, q32)) {
    set_operation_if_none(delta, operations::kReplaceGroupBy);
    delta.raw_hints.push_back(*hint);
    delta.dimension_hint = std::move(hint);
  }
  if (std::optional<std::string> hint = metric_hint(m, q32)) {
    set_operation_if_none(delta, operations::kReplaceMetric);
    delta.raw_hints.push_back(*hint);
    delta.metric_hint = std::move(hint);
  }
  if (contains_any(m, kFilterCues)) {
    if (std::optional<std::string> hint = first_clean_hint(delta_patterns().filter, m, q32)) {
      set_operation_if_none(delta, operations::kAddFilter);
      delta.raw_hints.push_back(*hint);
      delta.filter_hint = std::move(hint);
    }
  }
  if (contains_any(m, kFilterRemovalPhrases)) delta.operation = operations::kRemoveFilter;
  if (contains_any(m, kSortCues)) {
    set_operation_if_none(delta, operations::kChangeSort);
    delta.sort_hint = q;
  }
  if (contains_any(m, kComparisonCues)) {
    set_operation_if_none(delta, operations::kCompare);
    delta.compare_hint = q;
  }
  if (has_digit) read_replacement_number(q32, delta);
  return delta;
}

std::optional<std::string> Turnmend::_extract_dimension_hint(const std::string& q) {
  return first_clean_hint(delta_patterns().dimension, Message(q), unicode::decode_utf8(q));
}

std::optional<std::string> Turnmend::_extract_filter_hint(const std::string& q) {
  return first_clean_hint(delta_patterns().filter, Message(q), unicode::decode_utf8(q));
}

std::optional<std::string> Turnmend::_extract_metric_hint(const std::string& q) {
  return metric_hint(Message(q), unicode::decode_utf8(q));
}

std::string Turnmend::_clean_hint(const std::string& hint) {
  // Every match of the tail pattern holds one of its words.
  bool tail_word = false;
  for (std::string_view word : kHintTailWords)
    tail_word = tail_word || hint.find(word) != std::string::npos;
  std::u32string text = unicode::decode_utf8(hint);
  if (tail_word) text = delta_patterns().hint_tail.replace_all(text, U"");
  text = collapse_white_space(text);
  std::u32string_view stripped = strip_chars(text, kHintStripSet);
  if (stripped.size() < 2) return std::string();
  std::string out = unicode::encode_utf8(stripped);
  for (std::string_view rejected : kRejectedHints)
    if (out == rejected) return std::string();
  return out;
}

}  // namespace tessarin::turnmend
