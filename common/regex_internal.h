// Private pieces of the regex engine shared by its three stages: the syntax
// tree the parser builds, the character sets, and the compiled program the
// matcher runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tessarin/common/regex.h"
#include "tessarin/common/unicode.h"

namespace tessarin::regex_detail {

inline constexpr std::uint32_t kUnbounded = 0xFFFFFFFFu;
inline constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// The control character of an escape letter (\a \f \n \r \t \v), read alike
// in patterns and replacement templates; 0 for any other letter.
constexpr char32_t control_escape(char32_t c) {
  constexpr std::u32string_view kLetters = U"afnrtv";
  constexpr std::u32string_view kControls = U"\a\f\n\r\t\v";
  const std::size_t at = kLetters.find(c);
  return at == std::u32string_view::npos ? 0 : kControls[at];
}

// Unicode categories a set may contain, tested on the character itself.
enum CategoryBit : std::uint8_t {
  kWordBit = 1,
  kNotWordBit = 2,
  kDigitBit = 4,
  kNotDigitBit = 8,
  kSpaceBit = 16,
  kNotSpaceBit = 32,
};

bool category_matches(std::uint8_t categories, char32_t c);

// A bracket expression or class escape. Under ignorecase the explicit ranges
// are closed under simple case folding when that is small enough, otherwise
// the case variants are looked up while matching.
class CharSet {
 public:
  void add_range(char32_t lo, char32_t hi) { ranges_.emplace_back(lo, hi); }
  void add_categories(std::uint8_t bits) { categories_ |= bits; }
  void set_negated(bool negated) { negated_ = negated; }
  // Sorts and merges the ranges, applies ignorecase and fills the ASCII map.
  void finalize(bool ignorecase);

  bool contains(char32_t c) const {
    if (c < 128) return (ascii_[c >> 6] >> (c & 63)) & 1;
    return slow_contains(c);
  }

 private:
  bool in_ranges(char32_t c) const;
  bool raw_contains(char32_t c) const;
  bool slow_contains(char32_t c) const;

  std::vector<std::pair<char32_t, char32_t>> ranges_;
  std::uint8_t categories_ = 0;
  bool negated_ = false;
  bool fold_while_matching_ = false;
  std::uint64_t ascii_[2] = {0, 0};
};

// Tests one code point: a literal, a literal under case folding, a set, or
// "." (anything but a line feed).
struct CharMatcher {
  enum class Kind : std::uint8_t { kLiteral, kFold, kSet, kAny };
  Kind kind = Kind::kLiteral;
  char32_t ch = 0;        // the literal, or its simple folding for kFold
  std::uint32_t set = 0;  // index into the set table for kSet
};

enum class AssertKind : std::uint8_t {
  kBeginText,  // ^ and \A
  kEndLine,    // $: the end, or before a final line feed
  kEndText,    // \Z
  kWordBoundary,
  kNotWordBoundary,
};

// Syntax tree. Non-capturing groups are dissolved by the parser.
struct Node {
  enum class Kind : std::uint8_t {
    kEmpty,
    kChar,
    kConcat,
    kAlternate,
    kGroup,
    kRepeat,
    kAssert,
    kLook
  };
  Kind kind = Kind::kEmpty;
  CharMatcher matcher;         // kChar
  std::vector<Node> children;  // kConcat, kAlternate; the body of kGroup, kRepeat, kLook
  std::uint32_t group = 0;     // kGroup: capture index from 1
  std::uint32_t min = 0;       // kRepeat
  std::uint32_t max = 0;       // kRepeat, kUnbounded for no limit
  bool greedy = true;          // kRepeat
  AssertKind assertion = AssertKind::kBeginText;  // kAssert
  bool behind = false;                            // kLook
  bool negate = false;                            // kLook
  std::size_t offset = 0;                         // where the construct starts in the pattern
};

struct ParsedPattern {
  Node root;
  std::vector<CharSet> sets;
  std::uint32_t group_count = 0;
};

// Throws RegexError naming the fault and its code-point offset.
ParsedPattern parse_pattern(std::u32string_view pattern, bool ignorecase);

[[noreturn]] void fail(const std::string& what, std::size_t offset);

// Width of a node that always matches the same number of characters
// (saturating at kMaxWidth); nullopt when it varies.
inline constexpr std::size_t kMaxWidth = std::size_t{1} << 40;
std::optional<std::size_t> fixed_width(const Node& node);

// Characters one of which must stand at a position for a match to go on from
// there; unconstrained when the pattern may match without reading one.
struct FirstSet {
  bool constrained = false;
  std::vector<CharMatcher> matchers;
  std::uint64_t ascii[2] = {0, 0};
};

enum class Op : std::uint8_t {
  kChar,      // matcher
  kRepeat,    // matcher repeated min..max times; memo, guard; y = repeat index
  kSplit,     // try x, then y; memo
  kJump,      // x
  kSave,      // slot x = position
  kAssert,    // assertion
  kLookChar,  // one-character look-around: matcher, behind, negate
  kLook,      // body at x, width y (look-behind); behind, negate
  kMark,      // register x = position (loop bodies that can match empty)
  kProgress,  // register x == position: jump to y (no empty iterations)
  kFail,
  kMatch,
  kLookEnd,
};

struct Inst {
  Op op = Op::kFail;
  bool greedy = true;
  bool behind = false;
  bool negate = false;
  AssertKind assertion = AssertKind::kBeginText;
  CharMatcher matcher;
  std::uint32_t x = 0;
  std::uint32_t y = 0;
  std::uint32_t min = 0;
  std::uint32_t max = 0;
  std::uint32_t memo = kNone;   // index of this branch point in memo_points
  std::uint32_t guard = kNone;  // kRepeat: first set of what follows the repeat
};

// A branch point whose outcome from a position is remembered. Its future
// depends on the position and on how many of the enclosing empty-checked
// loops have not read a character since their current pass began (always
// the innermost ones), so it owns one memo row per such count.
struct MemoPoint {
  std::uint32_t row = 0;         // first memo row
  std::uint32_t regs_begin = 0;  // enclosing loop registers, in memo_regs
  std::uint32_t regs_count = 0;
  bool in_look = false;       // inside a look-around body
  bool success_memo = false;  // ... that sets no group: success may be remembered too
};

}  // namespace tessarin::regex_detail

namespace tessarin {

struct RegexProgram {
  std::string pattern;
  bool ignorecase = false;
  std::uint32_t group_count = 0;
  std::vector<regex_detail::Inst> insts;
  std::vector<regex_detail::CharSet> sets;
  std::vector<regex_detail::FirstSet> guards;
  regex_detail::FirstSet first;
  bool anchored = false;  // every match starts at offset 0
  std::vector<regex_detail::MemoPoint> memo_points;
  std::vector<std::uint32_t> memo_regs;
  std::vector<std::uint8_t> success_rows;  // per memo row: its point has success_memo
  std::vector<std::uint8_t> look_rows;     // per memo row: its point is in a look-around body
  bool has_success_memo = false;
  std::uint32_t memo_count = 0;    // memo rows
  std::uint32_t repeat_count = 0;  // kRepeat instructions
  std::uint32_t register_count = 0;

  bool matches(const regex_detail::CharMatcher& m, char32_t c) const {
    using Kind = regex_detail::CharMatcher::Kind;
    switch (m.kind) {
      case Kind::kLiteral:
        return c == m.ch;
      case Kind::kFold:
        return c == m.ch || unicode::simple_fold(c) == m.ch;
      case Kind::kSet:
        return sets[m.set].contains(c);
      case Kind::kAny:
        return c != U'\n';
    }
    return false;
  }
  bool admits(const regex_detail::FirstSet& f, char32_t c) const {
    if (c < 128) return (f.ascii[c >> 6] >> (c & 63)) & 1;
    for (const auto& m : f.matchers)
      if (matches(m, c)) return true;
    return false;
  }
};

namespace regex_detail {

std::shared_ptr<const RegexProgram> compile_program(std::string pattern, bool ignorecase);

// Test hook: switch the memo on from the first step of every search, so the
// property tests check the memoized paths on short texts too.
void set_memo_from_start(bool on);

}  // namespace regex_detail
}  // namespace tessarin
