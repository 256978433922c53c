// A compact backtracking regular-expression engine over code points.
//
// Dialect: alternation, non-capturing and numbered groups, greedy ?, *, +,
// {m}, {m,}, {m,n}, character classes with ranges and negation, escapes
// (\b \B \w \W \d \D \s \S \A \Z and escaped punctuation), anchors ^ and $ and
// "." as in Python's re without flags, look-ahead (?=...) (?!...) and
// look-behind (?<=...) (?<!...). \b \w \d \s are Unicode-aware; explicit
// ranges cover just the listed code points. Case-insensitive patterns match
// under Unicode simple case folding. Anything else fails at compile time.
//
// A compiled Regex is immutable; copies share the compiled program and may be
// used from any number of threads at once.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessarin {

class RegexError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

struct RegexProgram;  // compiled form, defined by the engine
class RegexTemplate;  // a replacement template, common/regex_replace.h

// One match: code-point offsets into the searched text. Group 0 is the whole
// match; an unset group has start == npos.
struct RegexMatch {
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  std::vector<std::size_t> spans;  // 2 * (group_count + 1) offsets

  std::size_t start(std::size_t group = 0) const { return spans[2 * group]; }
  std::size_t end(std::size_t group = 0) const { return spans[2 * group + 1]; }
  bool matched(std::size_t group) const { return spans[2 * group] != npos; }
  std::u32string_view group(std::u32string_view text, std::size_t g = 0) const {
    return matched(g) ? text.substr(start(g), end(g) - start(g)) : std::u32string_view();
  }
};

class Regex {
 public:
  // Throws RegexError with a message naming the fault and its offset.
  explicit Regex(std::string_view pattern, bool ignorecase = false);

  const std::string& pattern() const;
  bool ignorecase() const;
  std::size_t group_count() const;

  // Leftmost match starting at or after pos (offsets in code points).
  bool search(std::u32string_view text, std::size_t pos, RegexMatch& out) const;
  std::optional<RegexMatch> search(std::u32string_view text, std::size_t pos = 0) const;
  bool contains(std::u32string_view text) const;
  // A match that starts exactly at pos (re.match), and one that also ends at
  // the end of the text (re.fullmatch).
  bool match_at(std::u32string_view text, std::size_t pos, RegexMatch& out) const;
  bool full_match(std::u32string_view text, std::size_t pos, RegexMatch& out) const;
  // Every non-overlapping match, left to right, zero-width ones included, as
  // Python's re.finditer.
  std::vector<RegexMatch> find_all(std::u32string_view text) const;
  // re.sub(pattern, replacement, text) with a literal replacement.
  std::u32string replace_all(std::u32string_view text, std::u32string_view replacement) const;
  // re.subn(pattern, replacement, text, count): the text with the first
  // `count` matches (every match for 0) replaced by the expanded template
  // (see common/regex_replace.h, which also has the errors it throws), and
  // the number of replacements. sub() is the text alone.
  std::pair<std::u32string, std::size_t> subn(std::u32string_view replacement,
                                              std::u32string_view text,
                                              std::size_t count = 0) const;
  std::pair<std::u32string, std::size_t> subn(const RegexTemplate& replacement,
                                              std::u32string_view text,
                                              std::size_t count = 0) const;
  std::u32string sub(std::u32string_view replacement, std::u32string_view text,
                     std::size_t count = 0) const;
  std::u32string sub(const RegexTemplate& replacement, std::u32string_view text,
                     std::size_t count = 0) const;

  // UTF-8 conveniences (text must be valid UTF-8).
  bool contains(std::string_view utf8) const;
  std::string replace_all(std::string_view utf8, std::string_view replacement) const;
  std::string sub(std::string_view replacement, std::string_view utf8, std::size_t count = 0) const;

  // re.escape: a pattern matching exactly the literal text.
  static std::string escape(std::string_view literal);

 private:
  std::shared_ptr<const RegexProgram> program_;
};

}  // namespace tessarin
