// The fixed vocabularies of the metadata selector: stop words, the date,
// metric and dimension term sets, the compiled patterns, and the ColumnRole
// and Strategy names.
//
// Everything here is built once when the library is loaded and only read
// afterwards. Do not use these constants from other static initializers.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "tessarin/common/regex.h"
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
// DEFAULT_STOPWORDS as the word engine's table, for the scanners.
extern const words::WordIndex DEFAULT_STOPWORD_INDEX;
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

}  // namespace tessarin::schemasift
