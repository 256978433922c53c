// Text primitives of the resolver: identifier splitting, tokenization with
// stop words, one-line compaction of any value, a token-count estimate, a
// set-overlap score and the wall clock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "tessarin/common/json_value.h"
#include "tessarin/common/words.h"

namespace tessarin::turnmend {

using StringList = std::vector<std::string>;

// A set of words with heterogeneous lookup (a string_view needs no copy).
// Keeps the words in the order they were added, for callers that list them.
class WordSet {
 public:
  WordSet() = default;
  WordSet(std::initializer_list<std::string_view> words);
  template <class It>
  WordSet(It first, It last) {
    for (; first != last; ++first) insert(std::string_view(*first));
  }

  void insert(std::string_view word);
  bool contains(std::string_view word) const {
    // Most words of a text have a length no member has: no hashing then.
    if (word.size() < 64 && !((length_mask_ >> word.size()) & 1)) return false;
    return index_.find(word) != index_.end();
  }
  std::size_t size() const { return words_.size(); }
  bool empty() const { return words_.empty(); }
  // Distinct words in insertion order.
  const std::vector<std::string>& words() const { return words_; }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::vector<std::string> words_;
  std::uint64_t length_mask_ = 0;  // bit n: a member has n bytes (n < 64)
  std::unordered_set<std::string, Hash, std::equal_to<>> index_;
};

// Raised by estimate_tokens for a chars_per_token of zero.
using DivisionByZero = words::ZeroDivisionError;

// order_date, order-date, sales.orderDate -> plain lower-case words.
std::string split_identifier(std::string_view value);
std::string split_identifier(const JsonValue& value);  // null -> ""

// Word runs of the identifier-split display text, lower-cased, stop words
// dropped (stopwords == nullptr means the module STOPWORDS).
StringList tokenize(std::string_view text, const WordSet* stopwords = nullptr);
StringList tokenize(const JsonValue& text, const WordSet* stopwords = nullptr);
// Appends to out instead of returning a new list.
void tokenize_into(std::string_view text, const WordSet* stopwords, StringList& out);

// Every run of white space as one blank, none at either end.
std::string collapse_whitespace(std::string_view text);

// One-line text of a value, at most max_chars code points (for max_chars >= 3).
std::string compact_text(std::string_view value, std::int64_t max_chars = 500);
std::string compact_text(const JsonValue& value, std::int64_t max_chars = 500);

// Rough LLM token count: the word engine's estimate.
using words::estimate_tokens;

// Overlap coefficient of the two collections taken as sets.
double overlap_score(const StringList& a, const StringList& b);

// Milliseconds since the Unix epoch.
std::int64_t now_ms();

}  // namespace tessarin::turnmend
