// Regex parser: pattern text to syntax tree, with the character sets it
// needs. The accepted syntax follows Python's re for str patterns without
// flags; constructs outside the dialect are rejected here, with the offset of
// the fault, so that matching never fails.
#include <algorithm>
#include <optional>
#include <string>

#include "tessarin/common/regex_internal.h"
#include "tessarin/common/unicode.h"

namespace tessarin::regex_detail {

void fail(const std::string& what, std::size_t offset) {
  throw RegexError(what + " at position " + std::to_string(offset));
}

bool category_matches(std::uint8_t categories, char32_t c) {
  if (categories & (kWordBit | kNotWordBit)) {
    bool word = unicode::is_word(c);
    if ((categories & kWordBit) && word) return true;
    if ((categories & kNotWordBit) && !word) return true;
  }
  if (categories & (kDigitBit | kNotDigitBit)) {
    bool digit = unicode::is_decimal(c);
    if ((categories & kDigitBit) && digit) return true;
    if ((categories & kNotDigitBit) && !digit) return true;
  }
  if (categories & (kSpaceBit | kNotSpaceBit)) {
    bool space = unicode::is_space(c);
    if ((categories & kSpaceBit) && space) return true;
    if ((categories & kNotSpaceBit) && !space) return true;
  }
  return false;
}

namespace {

// Ranges bigger than this are not closed under case folding up front.
constexpr std::size_t kMaxFoldClosure = 20000;
constexpr int kMaxNesting = 200;

void merge_ranges(std::vector<std::pair<char32_t, char32_t>>& ranges) {
  std::sort(ranges.begin(), ranges.end());
  std::size_t out = 0;
  for (const auto& r : ranges) {
    if (out > 0 && r.first <= ranges[out - 1].second + 1) {
      ranges[out - 1].second = std::max(ranges[out - 1].second, r.second);
    } else {
      ranges[out++] = r;
    }
  }
  ranges.resize(out);
}

bool has_case_variants(char32_t c) {
  unicode::CaseVariants v = unicode::case_variants(c);
  return unicode::simple_fold(c) != c || v.begin != v.end;
}

}  // namespace

bool CharSet::in_ranges(char32_t c) const {
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), c,
                             [](char32_t v, const auto& r) { return v < r.first; });
  return it != ranges_.begin() && c <= std::prev(it)->second;
}

bool CharSet::raw_contains(char32_t c) const {
  if (category_matches(categories_, c) || in_ranges(c)) return true;
  if (!fold_while_matching_) return false;
  unicode::CaseVariants v = unicode::case_variants(c);
  for (const char32_t* p = v.begin; p != v.end; ++p)
    if (in_ranges(*p)) return true;
  return in_ranges(unicode::simple_fold(c));
}

bool CharSet::slow_contains(char32_t c) const { return raw_contains(c) != negated_; }

void CharSet::finalize(bool ignorecase) {
  merge_ranges(ranges_);
  if (ignorecase) {
    std::size_t total = 0;
    for (const auto& r : ranges_) total += r.second - r.first + 1;
    if (total > kMaxFoldClosure) {
      fold_while_matching_ = true;
    } else {
      std::vector<std::pair<char32_t, char32_t>> closed = ranges_;
      for (const auto& r : ranges_) {
        for (char32_t c = r.first; c <= r.second; ++c) {
          char32_t folded = unicode::simple_fold(c);
          if (folded != c) closed.emplace_back(folded, folded);
          unicode::for_each_case_variant(c, [&](char32_t v) { closed.emplace_back(v, v); });
        }
      }
      ranges_ = std::move(closed);
      merge_ranges(ranges_);
    }
  }
  ascii_[0] = ascii_[1] = 0;
  for (char32_t c = 0; c < 128; ++c)
    if (slow_contains(c)) ascii_[c >> 6] |= std::uint64_t{1} << (c & 63);
}

namespace {

bool is_ascii_letter(char32_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }
bool is_octal_digit(char32_t c) { return c >= '0' && c <= '7'; }

int hex_value(char32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

std::string describe(char32_t c) {
  std::string out;
  unicode::append_utf8(out, c);
  return out;
}

// The result of an escape inside a bracket expression.
struct ClassAtom {
  std::uint8_t categories = 0;  // non-zero for \d \w \s and their negations
  char32_t ch = 0;
};

class Parser {
 public:
  Parser(std::u32string_view pattern, bool ignorecase) : p_(pattern), ignorecase_(ignorecase) {}

  ParsedPattern run() {
    ParsedPattern out;
    out.root = parse_alternation(0);
    if (pos_ < p_.size()) fail("unbalanced parenthesis", pos_);
    out.sets = std::move(sets_);
    out.group_count = group_count_;
    return out;
  }

 private:
  bool at_end() const { return pos_ >= p_.size(); }
  bool peek_is(char32_t c) const { return pos_ < p_.size() && p_[pos_] == c; }

  Node parse_alternation(int depth) {
    if (depth > kMaxNesting) fail("pattern nested too deeply", pos_);
    std::size_t start = pos_;
    std::vector<Node> branches;
    branches.push_back(parse_sequence(depth));
    while (peek_is('|')) {
      ++pos_;
      branches.push_back(parse_sequence(depth));
    }
    if (branches.size() == 1) return std::move(branches[0]);
    Node node;
    node.kind = Node::Kind::kAlternate;
    node.offset = start;
    node.children = std::move(branches);
    return node;
  }

  Node parse_sequence(int depth) {
    std::size_t start = pos_;
    std::vector<Node> items;
    bool last_quantified = false;
    bool last_bare_assert = false;
    while (!at_end() && p_[pos_] != '|' && p_[pos_] != ')') {
      char32_t c = p_[pos_];
      if (c == '(' && p_.substr(pos_, 3) == U"(?#") {
        skip_comment();
        continue;
      }
      if (c == '*' || c == '+' || c == '?' || (c == '{' && repeat_syntax_follows())) {
        apply_quantifier(items, last_quantified, last_bare_assert);
        last_quantified = true;
        continue;
      }
      items.push_back(parse_atom(depth));
      last_quantified = false;
      // An anchor cannot be repeated, though a group holding one can.
      last_bare_assert = c != '(' && items.back().kind == Node::Kind::kAssert;
    }
    return make_concat(std::move(items), start);
  }

  static Node make_concat(std::vector<Node> items, std::size_t offset) {
    std::vector<Node> flat;
    for (Node& item : items) {
      if (item.kind == Node::Kind::kConcat) {
        for (Node& inner : item.children) flat.push_back(std::move(inner));
      } else if (item.kind != Node::Kind::kEmpty) {
        flat.push_back(std::move(item));
      }
    }
    if (flat.size() == 1) return std::move(flat[0]);
    Node node;
    node.offset = offset;
    if (flat.empty()) return node;
    node.kind = Node::Kind::kConcat;
    node.children = std::move(flat);
    return node;
  }

  void skip_comment() {
    std::size_t open = pos_;
    std::size_t close = p_.find(U')', pos_ + 3);
    if (close == std::u32string_view::npos) fail("missing ), unterminated comment", open);
    pos_ = close + 1;
  }

  // True when the "{" at pos_ starts {m}, {m,}, {,n} or {m,n}; otherwise it is
  // a literal brace.
  bool repeat_syntax_follows() const {
    std::size_t q = pos_ + 1;
    std::size_t lo_begin = q;
    while (q < p_.size() && is_ascii_digit(p_[q])) ++q;
    bool comma = q < p_.size() && p_[q] == ',';
    if (comma) {
      ++q;
      while (q < p_.size() && is_ascii_digit(p_[q])) ++q;
    }
    if (q >= p_.size() || p_[q] != '}') return false;
    return comma || q > lo_begin;
  }

  std::uint32_t read_count(std::size_t here) {
    std::uint64_t value = 0;
    while (!at_end() && is_ascii_digit(p_[pos_])) {
      value = value * 10 + (p_[pos_] - '0');
      if (value >= kUnbounded) fail("the repetition number is too large", here);
      ++pos_;
    }
    return static_cast<std::uint32_t>(value);
  }

  void apply_quantifier(std::vector<Node>& items, bool last_quantified, bool last_bare_assert) {
    std::size_t here = pos_;
    char32_t c = p_[pos_++];
    std::uint32_t min = 0;
    std::uint32_t max = kUnbounded;
    if (c == '+') {
      min = 1;
    } else if (c == '?') {
      max = 1;
    } else if (c == '{') {
      bool has_lo = !at_end() && is_ascii_digit(p_[pos_]);
      min = read_count(here);
      if (peek_is(',')) {
        ++pos_;
        bool has_hi = !at_end() && is_ascii_digit(p_[pos_]);
        std::uint32_t hi = read_count(here);
        max = has_hi ? hi : kUnbounded;
      } else {
        max = has_lo ? min : kUnbounded;
      }
      ++pos_;  // the closing brace
      if (max < min) fail("min repeat greater than max repeat", here);
    }
    if (items.empty() || last_bare_assert) fail("nothing to repeat", here);
    if (last_quantified) fail("multiple repeat", here);
    bool greedy = true;
    if (peek_is('?')) {
      greedy = false;
      ++pos_;
    } else if (peek_is('+')) {
      fail("possessive quantifiers are not supported", pos_);
    }
    Node repeat;
    repeat.kind = Node::Kind::kRepeat;
    repeat.offset = items.back().offset;
    repeat.min = min;
    repeat.max = max;
    repeat.greedy = greedy;
    repeat.children.push_back(std::move(items.back()));
    items.back() = std::move(repeat);
  }

  Node parse_atom(int depth) {
    std::size_t start = pos_;
    char32_t c = p_[pos_];
    switch (c) {
      case '(':
        return parse_group(depth);
      case '[':
        return parse_class();
      case '\\':
        return parse_escape();
      case '.': {
        ++pos_;
        Node node = char_node(start);
        node.matcher.kind = CharMatcher::Kind::kAny;
        return node;
      }
      case '^':
        ++pos_;
        return assert_node(AssertKind::kBeginText, start);
      case '$':
        ++pos_;
        return assert_node(AssertKind::kEndLine, start);
      default:
        ++pos_;
        return literal_node(c, start);
    }
  }

  Node char_node(std::size_t offset) const {
    Node node;
    node.kind = Node::Kind::kChar;
    node.offset = offset;
    return node;
  }

  Node literal_node(char32_t c, std::size_t offset) const {
    Node node = char_node(offset);
    if (ignorecase_ && has_case_variants(c)) {
      node.matcher.kind = CharMatcher::Kind::kFold;
      node.matcher.ch = unicode::simple_fold(c);
    } else {
      node.matcher.kind = CharMatcher::Kind::kLiteral;
      node.matcher.ch = c;
    }
    return node;
  }

  Node set_node(CharSet set, std::size_t offset) {
    set.finalize(ignorecase_);
    Node node = char_node(offset);
    node.matcher.kind = CharMatcher::Kind::kSet;
    node.matcher.set = static_cast<std::uint32_t>(sets_.size());
    sets_.push_back(std::move(set));
    return node;
  }

  static Node assert_node(AssertKind kind, std::size_t offset) {
    Node node;
    node.kind = Node::Kind::kAssert;
    node.assertion = kind;
    node.offset = offset;
    return node;
  }

  void expect_close(std::size_t open) {
    if (!peek_is(')')) fail("missing ), unterminated subpattern", open);
    ++pos_;
  }

  Node parse_group(int depth) {
    std::size_t open = pos_++;
    if (!peek_is('?')) {
      std::uint32_t index = ++group_count_;
      Node group;
      group.kind = Node::Kind::kGroup;
      group.group = index;
      group.offset = open;
      group.children.push_back(parse_alternation(depth + 1));
      expect_close(open);
      return group;
    }
    ++pos_;
    if (at_end()) fail("unexpected end of pattern", pos_);
    char32_t c = p_[pos_++];
    if (c == ':') {
      Node body = parse_alternation(depth + 1);
      expect_close(open);
      return body;
    }
    bool behind = false;
    if (c == '<') {
      if (at_end() || (p_[pos_] != '=' && p_[pos_] != '!'))
        fail("unsupported group construct (?<", open);
      behind = true;
      c = p_[pos_++];
    }
    if (c != '=' && c != '!') fail("unsupported group construct (?" + describe(c), open);
    Node look;
    look.kind = Node::Kind::kLook;
    look.behind = behind;
    look.negate = c == '!';
    look.offset = open;
    look.children.push_back(parse_alternation(depth + 1));
    expect_close(open);
    if (behind && !fixed_width(look.children[0]))
      fail("look-behind requires fixed-width pattern", open);
    return look;
  }

  char32_t read_hex(std::size_t digits, std::size_t start) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
      int h = at_end() ? -1 : hex_value(p_[pos_]);
      if (h < 0) fail("incomplete escape", start);
      value = value * 16 + static_cast<std::uint32_t>(h);
      ++pos_;
    }
    if (value > 0x10FFFF) fail("bad escape (code point beyond U+10FFFF)", start);
    return value;
  }

  char32_t read_octal(char32_t first, std::size_t start) {
    std::uint32_t value = first - '0';
    for (int i = 0; i < 2 && !at_end() && is_octal_digit(p_[pos_]); ++i)
      value = value * 8 + (p_[pos_++] - '0');
    if (value > 0377) fail("octal escape value outside of range 0-0o377", start);
    return value;
  }

  // Escapes shared by both contexts; nullopt when c is not one of them.
  std::optional<char32_t> simple_escape(char32_t c, std::size_t start) {
    if (const char32_t control = control_escape(c)) return control;
    switch (c) {
      case 'x':
        return read_hex(2, start);
      case 'u':
        return read_hex(4, start);
      case 'U':
        return read_hex(8, start);
      default:
        return std::nullopt;
    }
  }

  static std::uint8_t category_of(char32_t c) {
    switch (c) {
      case 'd':
        return kDigitBit;
      case 'D':
        return kNotDigitBit;
      case 's':
        return kSpaceBit;
      case 'S':
        return kNotSpaceBit;
      case 'w':
        return kWordBit;
      case 'W':
        return kNotWordBit;
      default:
        return 0;
    }
  }

  Node parse_escape() {
    std::size_t start = pos_++;
    if (at_end()) fail("bad escape (end of pattern)", start);
    char32_t c = p_[pos_++];
    switch (c) {
      case 'A':
        return assert_node(AssertKind::kBeginText, start);
      case 'Z':
        return assert_node(AssertKind::kEndText, start);
      case 'b':
        return assert_node(AssertKind::kWordBoundary, start);
      case 'B':
        return assert_node(AssertKind::kNotWordBoundary, start);
      default:
        break;
    }
    if (std::uint8_t bits = category_of(c)) {
      CharSet set;
      set.add_categories(bits);
      return set_node(std::move(set), start);
    }
    if (auto value = simple_escape(c, start)) return literal_node(*value, start);
    if (c == '0') return literal_node(read_octal(c, start), start);
    if (is_ascii_digit(c)) {
      if (is_octal_digit(c) && pos_ + 1 < p_.size() && is_octal_digit(p_[pos_]) &&
          is_octal_digit(p_[pos_ + 1])) {
        return literal_node(read_octal(c, start), start);
      }
      fail("backreferences are not supported", start);
    }
    if (is_ascii_letter(c)) fail("bad escape \\" + describe(c), start);
    return literal_node(c, start);
  }

  ClassAtom parse_class_atom() {
    ClassAtom atom;
    std::size_t start = pos_;
    char32_t c = p_[pos_++];
    if (c != '\\') {
      atom.ch = c;
      return atom;
    }
    if (at_end()) fail("unterminated character set", start);
    c = p_[pos_++];
    if ((atom.categories = category_of(c))) return atom;
    if (c == 'b') {
      atom.ch = 8;
    } else if (auto value = simple_escape(c, start)) {
      atom.ch = *value;
    } else if (is_octal_digit(c)) {
      atom.ch = read_octal(c, start);
    } else if (is_ascii_letter(c) || is_ascii_digit(c)) {
      fail("bad escape \\" + describe(c), start);
    } else {
      atom.ch = c;
    }
    return atom;
  }

  Node parse_class() {
    std::size_t start = pos_++;
    CharSet set;
    if (peek_is('^')) {
      set.set_negated(true);
      ++pos_;
    }
    bool first = true;
    for (;;) {
      if (at_end()) fail("unterminated character set", start);
      if (p_[pos_] == ']' && !first) {
        ++pos_;
        break;
      }
      first = false;
      std::size_t item_start = pos_;
      ClassAtom lo = parse_class_atom();
      if (!peek_is('-')) {
        add_atom(set, lo);
        continue;
      }
      ++pos_;
      if (at_end()) fail("unterminated character set", start);
      if (p_[pos_] == ']') {
        ++pos_;
        add_atom(set, lo);
        set.add_range('-', '-');
        break;
      }
      ClassAtom hi = parse_class_atom();
      if (lo.categories || hi.categories || hi.ch < lo.ch) fail("bad character range", item_start);
      set.add_range(lo.ch, hi.ch);
    }
    return set_node(std::move(set), start);
  }

  static void add_atom(CharSet& set, const ClassAtom& atom) {
    if (atom.categories) {
      set.add_categories(atom.categories);
    } else {
      set.add_range(atom.ch, atom.ch);
    }
  }

  std::u32string_view p_;
  bool ignorecase_;
  std::size_t pos_ = 0;
  std::uint32_t group_count_ = 0;
  std::vector<CharSet> sets_;
};

}  // namespace

std::optional<std::size_t> fixed_width(const Node& node) {
  switch (node.kind) {
    case Node::Kind::kEmpty:
    case Node::Kind::kAssert:
    case Node::Kind::kLook:
      return 0;
    case Node::Kind::kChar:
      return 1;
    case Node::Kind::kGroup:
      return fixed_width(node.children[0]);
    case Node::Kind::kConcat: {
      std::size_t sum = 0;
      for (const Node& child : node.children) {
        auto w = fixed_width(child);
        if (!w) return std::nullopt;
        sum = std::min(sum + *w, kMaxWidth);
      }
      return sum;
    }
    case Node::Kind::kAlternate: {
      std::optional<std::size_t> width;
      for (const Node& child : node.children) {
        auto w = fixed_width(child);
        if (!w || (width && *width != *w)) return std::nullopt;
        width = w;
      }
      return width;
    }
    case Node::Kind::kRepeat: {
      if (node.min != node.max) return std::nullopt;
      auto w = fixed_width(node.children[0]);
      if (!w) return std::nullopt;
      if (*w != 0 && node.min > kMaxWidth / *w) return kMaxWidth;
      return std::min(*w * node.min, kMaxWidth);
    }
  }
  return std::nullopt;
}

ParsedPattern parse_pattern(std::u32string_view pattern, bool ignorecase) {
  return Parser(pattern, ignorecase).run();
}

}  // namespace tessarin::regex_detail
