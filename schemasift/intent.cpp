// The rule-based intent parser.
#include "tessarin/schemasift/intent.h"

#include <algorithm>
#include <limits>

#include "tessarin/common/unicode.h"

namespace tessarin::schemasift {

const WordSet TREND_WORDS = {"trend", "daily", "weekly", "monthly", "yearly"};

const std::array<std::string_view, 9> ROW_LISTING_PHRASES = {
    "show records",   "show rows",  "list records", "list rows",  "raw data",
    "detailed table", "table view", "show table",   "all records"};

namespace {

// Distinct tokens found in terms, sorted by code point (UTF-8 byte order is
// code point order).
std::vector<std::string> terms_in(const WordSet& distinct, const WordSet& terms) {
  std::vector<std::string> found;
  for (const std::string& token : distinct)
    if (terms.contains(token)) found.push_back(token);
  std::sort(found.begin(), found.end());
  return found;
}

// Value of the pattern's first digit group, saturating at the int64 range: a
// "top N" beyond it asks for everything anyway.
std::optional<std::int64_t> first_count(const Regex& pattern, std::u32string_view question) {
  std::optional<RegexMatch> match = pattern.search(question);
  if (!match) return std::nullopt;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t value = 0;
  for (char32_t c : match->group(question, 1)) {
    int digit = unicode::decimal_value(c);
    if (value > (kMax - digit) / 10) return kMax;
    value = value * 10 + digit;
  }
  return value;
}

// " by " in the question padded with one blank on each side, so a leading
// or trailing "by" counts.
bool has_blank_by(std::string_view lowered) {
  std::string padded;
  padded.reserve(lowered.size() + 2);
  padded.push_back(' ');
  padded += lowered;
  padded.push_back(' ');
  return padded.find(" by ") != std::string::npos;
}

}  // namespace

JsonMap QueryIntent::to_dict() const {
  JsonMap out;
  out.reserve(12);
  out.append_new("raw_question", raw_question);
  out.append_new("tokens", json_list(tokens));
  out.append_new("has_time_filter", has_time_filter);
  out.append_new("wants_trend", wants_trend);
  out.append_new("wants_metric", wants_metric);
  out.append_new("wants_grouping", wants_grouping);
  out.append_new("wants_table_rows", wants_table_rows);
  out.append_new("top_n", json_or_null(top_n));
  out.append_new("bottom_n", json_or_null(bottom_n));
  out.append_new("metric_terms", json_list(metric_terms));
  out.append_new("dimension_terms", json_list(dimension_terms));
  out.append_new("date_terms", json_list(date_terms));
  return out;
}

QueryIntent IntentParser::parse(std::string_view question) const {
  QueryIntent intent;
  intent.raw_question = std::string(question);
  intent.tokens = tokenize(question);
  WordSet distinct(intent.tokens.begin(), intent.tokens.end());
  std::u32string decoded = unicode::decode_utf8(question);
  std::string lowered = unicode::encode_utf8(unicode::to_lower(decoded));

  intent.metric_terms = terms_in(distinct, METRIC_TERMS);
  intent.dimension_terms = terms_in(distinct, DIMENSION_TERMS);
  intent.date_terms = terms_in(distinct, DATE_TERMS);
  intent.wants_table_rows = std::any_of(
      ROW_LISTING_PHRASES.begin(), ROW_LISTING_PHRASES.end(),
      [&](std::string_view phrase) { return lowered.find(phrase) != std::string::npos; });
  intent.has_time_filter = !intent.date_terms.empty();
  intent.wants_trend = std::any_of(distinct.begin(), distinct.end(),
                                   [](const std::string& t) { return TREND_WORDS.contains(t); });
  intent.top_n = first_count(TOP_N_RE, decoded);
  intent.bottom_n = first_count(BOTTOM_N_RE, decoded);
  intent.wants_metric =
      !intent.metric_terms.empty() || intent.top_n.has_value() || intent.bottom_n.has_value();
  intent.wants_grouping = !intent.dimension_terms.empty() || has_blank_by(lowered);
  return intent;
}

}  // namespace tessarin::schemasift
