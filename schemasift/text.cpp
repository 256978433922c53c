// Text primitives and vocabularies of the metadata selector.
#include "tessarin/schemasift/text.h"

#include <cmath>

#include "tessarin/common/display.h"
#include "tessarin/common/json_text.h"
#include "tessarin/common/python_float.h"
#include "tessarin/common/sha256.h"
#include "tessarin/common/unicode.h"

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

std::string stable_hash(const JsonValue& value) {
  JsonWriteOptions options;
  options.sort_keys = true;
  options.indent = -1;
  options.ensure_ascii = false;
  return sha256_hex(json_text(value, options)).substr(0, 16);
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
    case JsonValue::Kind::String:
      return parse_python_float(value.as_string()).value_or(default_value);
    default:
      return default_value;
  }
}

}  // namespace tessarin::schemasift
