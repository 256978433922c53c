// Text primitives and vocabularies of the metadata selector.
#include "schemasift/text.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "common/display.h"
#include "common/json_text.h"
#include "common/sha256.h"
#include "common/unicode.h"

namespace tessarin::schemasift {

const WordSet DEFAULT_STOPWORDS = {
    "a",       "an",     "the",   "and",    "or",      "of",      "for",     "to",
    "by",      "in",     "on",    "at",     "from",    "with",    "without", "show",
    "give",    "get",    "find",  "list",   "display", "me",      "all",     "data",
    "records", "record", "table", "tables", "column",  "columns", "wise",    "based",
    "using",   "as",     "per",   "each",   "every",   "details", "detail"};

const WordSet DATE_TERMS = {"date",      "day",       "daily",     "week",   "weekly",  "month",
                            "monthly",   "quarter",   "quarterly", "year",   "yearly",  "today",
                            "yesterday", "tomorrow",  "last",      "next",   "current", "previous",
                            "trend",     "time",      "timeline",  "period", "created", "updated",
                            "modified",  "timestamp", "datetime"};

const WordSet METRIC_TERMS = {
    "total",  "sum",      "amount",  "revenue", "sales", "income",  "cost",    "price",   "profit",
    "loss",   "count",    "average", "avg",     "mean",  "minimum", "maximum", "min",     "max",
    "volume", "quantity", "qty",     "rate",    "ratio", "score",   "value",   "measure", "metric"};

const WordSet DIMENSION_TERMS = {
    "by",     "group",      "grouped", "wise",    "category", "region",  "zone",    "area",
    "status", "type",       "name",    "city",    "state",    "country", "product", "customer",
    "user",   "department", "branch",  "segment", "source",   "channel"};

const Regex WORD_RE("[a-zA-Z0-9_]+");
const Regex CAMEL_RE("(?<!^)(?=[A-Z])");
const Regex TOP_N_RE("\\btop\\s+(\\d+)\\b", true);
const Regex BOTTOM_N_RE("\\bbottom\\s+(\\d+)\\b", true);

namespace {

bool is_ascii_capital(char32_t c) { return c >= U'A' && c <= U'Z'; }
bool is_separator(char32_t c) { return c == U'_' || c == U'-' || c == U'.'; }

}  // namespace

namespace detail {

std::string split_identifier_general(std::string_view value) {
  std::u32string text = unicode::decode_utf8(value);
  std::u32string split;
  split.reserve(text.size() + text.size() / 4);
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (i > 0 && is_ascii_capital(c)) split.push_back(U' ');
    split.push_back(is_separator(c) ? U' ' : c);
  }
  return unicode::encode_utf8(unicode::to_lower(split));
}

}  // namespace detail

std::string _split_identifier(std::string_view value) {
  if (detail::has_non_ascii(value)) return detail::split_identifier_general(value);
  std::string out;
  out.reserve(value.size() + value.size() / 4);
  for (std::size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    if (c >= 'A' && c <= 'Z') {
      if (i > 0) out.push_back(' ');
      out.push_back(static_cast<char>(c - 'A' + 'a'));
    } else {
      out.push_back(is_separator(static_cast<unsigned char>(c)) ? ' ' : c);
    }
  }
  return out;
}

std::vector<std::string> tokenize(std::string_view text, const WordSet* stopwords) {
  std::vector<std::string> tokens;
  for_each_token(text, stopwords, [&](std::string_view token) { tokens.emplace_back(token); });
  return tokens;
}

namespace {

void append_normalized(std::string& out, const JsonValue& value, int depth);

void append_normalized_list(std::string& out, const JsonList& list, int depth) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i) out.push_back(' ');
    append_normalized(out, list[i], depth + 1);
  }
}

void append_normalized_map(std::string& out, const JsonMap& map, int depth) {
  bool first = true;
  for (const auto& [key, item] : map) {
    if (!first) out.push_back(' ');
    first = false;
    out += key;
    out.push_back(' ');
    append_normalized(out, item, depth + 1);
  }
}

// Values from Python are acyclic but may be deep; refuse depths that would
// exhaust the native stack.
constexpr int kMaxDepth = 10000;

void append_normalized(std::string& out, const JsonValue& value, int depth) {
  if (depth > kMaxDepth) throw std::overflow_error("value nested too deeply");
  switch (value.kind()) {
    case JsonValue::Kind::Null:
      return;
    case JsonValue::Kind::List:
      append_normalized_list(out, value.as_list(), depth);
      return;
    case JsonValue::Kind::Map:
      append_normalized_map(out, value.as_map(), depth);
      return;
    default:
      append_display_text(out, value);
  }
}

}  // namespace

std::string normalize_text(const JsonValue& text) {
  std::string out;
  append_normalized(out, text, 0);
  return out;
}

std::int64_t estimate_tokens(std::string_view text, double chars_per_token) {
  if (text.empty()) return 0;
  if (chars_per_token == 0.0) throw ZeroDivisionError("float division by zero");
  double quotient = static_cast<double>(unicode::code_point_length(text)) / chars_per_token;
  if (std::isnan(quotient)) throw std::invalid_argument("cannot convert float NaN to integer");
  double ceiling = std::ceil(quotient);
  if (ceiling >= 9.2233720368547758e18)
    throw std::overflow_error("cannot convert float infinity to integer");
  return ceiling < 1.0 ? 1 : static_cast<std::int64_t>(ceiling);
}

std::string stable_hash(const JsonValue& value) {
  JsonWriteOptions options;
  options.sort_keys = true;
  options.indent = -1;
  options.ensure_ascii = false;
  return sha256_hex(json_text(value, options)).substr(0, 16);
}

namespace {

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Python first maps non-ASCII white space to " " and non-ASCII decimal
// digits to ASCII ones; any other non-ASCII character makes the text invalid.
bool to_ascii_float_text(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  if (!detail::has_non_ascii(text)) {
    out.assign(text);
    return true;
  }
  for (char32_t c : unicode::decode_utf8(text)) {
    if (c < 127) {
      out.push_back(static_cast<char>(c));
    } else if (unicode::is_space(c)) {
      out.push_back(' ');
    } else if (int digit = unicode::decimal_value(c); digit >= 0) {
      out.push_back(static_cast<char>('0' + digit));
    } else {
      return false;
    }
  }
  return true;
}

// Underscores are allowed only between two digits; they are dropped.
bool drop_underscores(std::string& text) {
  if (text.find('_') == std::string::npos) return true;
  std::string out;
  out.reserve(text.size());
  char prev = '\0';
  for (char c : text) {
    if (c == '_') {
      if (!is_ascii_digit(prev)) return false;
    } else {
      if (prev == '_' && !is_ascii_digit(c)) return false;
      out.push_back(c);
    }
    prev = c;
  }
  if (prev == '_') return false;
  text = std::move(out);
  return true;
}

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
  if (text.size() != lower_word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower_word[i]) return false;
  }
  return true;
}

// digits ["." digits] | "." digits, then optionally [eE] [sign] digits.
bool is_decimal_literal(std::string_view body) {
  std::size_t i = 0, n = body.size();
  std::size_t int_digits = 0, frac_digits = 0;
  while (i < n && is_ascii_digit(body[i])) ++i, ++int_digits;
  if (i < n && body[i] == '.') {
    ++i;
    while (i < n && is_ascii_digit(body[i])) ++i, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return false;
  if (i < n && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < n && (body[i] == '+' || body[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < n && is_ascii_digit(body[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == n;
}

// Sign of the decimal exponent of the first significant digit, to tell an
// overflow from an underflow when the value is out of range.
bool magnitude_above_one(std::string_view body) {
  std::size_t exp_pos = body.find_first_of("eE");
  std::string_view mantissa = body.substr(0, exp_pos);
  long long exponent = 0;
  if (exp_pos != std::string_view::npos) {
    std::string_view e = body.substr(exp_pos + 1);
    bool negative = !e.empty() && e[0] == '-';
    if (!e.empty() && (e[0] == '+' || e[0] == '-')) e.remove_prefix(1);
    for (char c : e) {
      exponent = exponent * 10 + (c - '0');
      if (exponent > 1000000000LL) break;
    }
    if (negative) exponent = -exponent;
  }
  std::size_t point = mantissa.find('.');
  if (point == std::string_view::npos) point = mantissa.size();
  for (std::size_t i = 0; i < mantissa.size(); ++i) {
    if (mantissa[i] == '.' || mantissa[i] == '0') continue;
    long long position =
        i < point ? static_cast<long long>(point - i - 1) : -static_cast<long long>(i - point);
    return position + exponent >= 0;
  }
  return false;
}

}  // namespace

bool parse_python_float(std::string_view text, double& out) {
  std::string ascii;
  if (!to_ascii_float_text(text, ascii)) return false;
  if (ascii.find('\0') != std::string::npos) return false;
  if (!drop_underscores(ascii)) return false;
  std::string_view s = ascii;
  while (!s.empty() && is_c_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_c_space(s.back())) s.remove_suffix(1);
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  double value;
  if (equals_ignoring_case(s, "inf") || equals_ignoring_case(s, "infinity")) {
    value = std::numeric_limits<double>::infinity();
  } else if (equals_ignoring_case(s, "nan")) {
    value = std::numeric_limits<double>::quiet_NaN();
  } else {
    if (!is_decimal_literal(s)) return false;
    auto result = std::from_chars(s.data(), s.data() + s.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
      value = magnitude_above_one(s) ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (result.ec != std::errc() || result.ptr != s.data() + s.size()) {
      return false;
    }
  }
  out = negative ? -value : value;
  return true;
}

double safe_float(const JsonValue& value, double default_value) {
  switch (value.kind()) {
    case JsonValue::Kind::Null:
      return default_value;
    case JsonValue::Kind::Bool:
      return value.as_bool() ? 1.0 : 0.0;
    case JsonValue::Kind::Int:
      return static_cast<double>(value.as_int());
    case JsonValue::Kind::Double:
      return value.as_double();
    case JsonValue::Kind::String: {
      double parsed;
      return parse_python_float(value.as_string(), parsed) ? parsed : default_value;
    }
    default:
      return default_value;
  }
}

}  // namespace tessarin::schemasift
