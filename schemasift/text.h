// Text primitives and fixed vocabularies of the metadata selector:
// identifier splitting, tokenization, value flattening, the token estimate,
// the stable catalog hash, the forgiving float conversion, the term sets,
// the compiled patterns and the ColumnRole / Strategy vocabularies.
//
// Everything here is built once when the library is loaded and only read
// afterwards. Do not use these constants from other static initializers.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "tessarin/common/json_value.h"
#include "tessarin/common/regex.h"
#include "tessarin/common/unicode.h"
#include "tessarin/common/words.h"

namespace tessarin::schemasift {

// Transparent hashing so sets of std::string can be probed with string_view.
struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};
using WordSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;

extern const WordSet DEFAULT_STOPWORDS;
extern const WordSet DATE_TERMS;
extern const WordSet METRIC_TERMS;
extern const WordSet DIMENSION_TERMS;

// Python names: _WORD_RE and _CAMEL_RE (a leading underscore before a capital
// is reserved in C++).
extern const Regex WORD_RE;
extern const Regex CAMEL_RE;
extern const Regex TOP_N_RE;
extern const Regex BOTTOM_N_RE;

// Column roles, in vocabulary order.
namespace ColumnRole {
inline constexpr std::string_view METRIC = "metric";
inline constexpr std::string_view DIMENSION = "dimension";
inline constexpr std::string_view DATE = "date";
inline constexpr std::string_view DATETIME = "datetime";
inline constexpr std::string_view ID = "id";
inline constexpr std::string_view PRIMARY_KEY = "primary_key";
inline constexpr std::string_view FOREIGN_KEY = "foreign_key";
inline constexpr std::string_view TEXT = "text";
inline constexpr std::string_view BOOLEAN = "boolean";
inline constexpr std::string_view UNKNOWN = "unknown";
inline constexpr std::array<std::string_view, 10> ALL = {
    METRIC, DIMENSION, DATE, DATETIME, ID, PRIMARY_KEY, FOREIGN_KEY, TEXT, BOOLEAN, UNKNOWN};
}  // namespace ColumnRole

// Scoring strategies, in vocabulary order.
namespace Strategy {
inline constexpr std::string_view LEXICAL = "lexical";
inline constexpr std::string_view TFIDF = "tfidf";
inline constexpr std::string_view EMBEDDING = "embedding";
inline constexpr std::string_view HYBRID = "hybrid";
inline constexpr std::array<std::string_view, 4> ALL = {LEXICAL, TFIDF, EMBEDDING, HYBRID};
}  // namespace Strategy

// "_", "-" and "." become blanks, a blank goes before every ASCII capital but
// a leading one, then the whole text is lower-cased.
std::string _split_identifier(std::string_view value);

// Lower-cased ASCII word runs of _split_identifier(text), stop words removed
// (DEFAULT_STOPWORDS when stopwords is null), duplicates kept.
std::vector<std::string> tokenize(std::string_view text, const WordSet* stopwords = nullptr);

// Calls f(std::string_view token) for every token tokenize() would return,
// without building the list. The view is valid only during the call.
template <class F>
void for_each_token(std::string_view text, const WordSet* stopwords, F&& f);

// Flattens a value to text: lists joined by blanks, maps as "key value" pairs.
std::string normalize_text(const JsonValue& text);

// max(1, ceil(code points / chars_per_token)); 0 for an empty text: the
// token estimate both libraries share (ZeroDivisionError for a zero
// chars_per_token, as Python raises).
using words::ZeroDivisionError;
using words::estimate_tokens;
using words::estimate_tokens_of_length;

// First 16 hex digits of the SHA-256 of the value's sorted-key JSON text.
std::string stable_hash(const JsonValue& value);

// float(value), or default_value when the value does not convert.
double safe_float(const JsonValue& value, double default_value = 0.0);

// ---- implementation of the template ----

namespace detail {
// Lower-cased, identifier-split text for input holding non-ASCII bytes.
std::string split_identifier_general(std::string_view value);
inline bool is_ascii_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
inline bool has_non_ascii(std::string_view text) { return !unicode::is_ascii(text); }
}  // namespace detail

template <class F>
void for_each_token(std::string_view text, const WordSet* stopwords, F&& f) {
  if (text.empty()) return;
  const WordSet& stop = stopwords ? *stopwords : DEFAULT_STOPWORDS;
  auto emit = [&](std::string_view token) {
    if (!stop.empty() && stop.find(token) != stop.end()) return;
    f(token);
  };
  if (detail::has_non_ascii(text)) {
    // Lower-casing may turn a few non-ASCII letters into ASCII ones, so take
    // the exact route through the split text; it holds no capitals or "_".
    std::string split = detail::split_identifier_general(text);
    std::size_t i = 0;
    while (i < split.size()) {
      if (!detail::is_ascii_alnum(split[i])) {
        ++i;
        continue;
      }
      std::size_t start = i;
      while (i < split.size() && detail::is_ascii_alnum(split[i])) ++i;
      emit(std::string_view(split).substr(start, i - start));
    }
    return;
  }
  // ASCII: a token is a run of letters and digits, and every capital letter
  // after the first character starts a new one.
  std::string token;
  std::size_t i = 0;
  while (i < text.size()) {
    if (!detail::is_ascii_alnum(text[i])) {
      ++i;
      continue;
    }
    token.clear();
    do {
      char c = text[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      token.push_back(c);
      ++i;
    } while (i < text.size() && detail::is_ascii_alnum(text[i]) &&
             !(text[i] >= 'A' && text[i] <= 'Z'));
    emit(token);
  }
}

}  // namespace tessarin::schemasift
