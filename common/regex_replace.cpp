// Replacement templates: reading them, expanding them, and sub/subn.
#include "tessarin/common/regex_replace.h"

#include <cstdint>

#include "tessarin/common/regex_internal.h"
#include "tessarin/common/unicode.h"

namespace tessarin {

namespace {

[[noreturn]] void template_error(const std::string& what, std::size_t offset) {
  throw RegexTemplateError(what + " at position " + std::to_string(offset));
}

bool is_ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }
bool is_octal_digit(char32_t c) { return c >= '0' && c <= '7'; }

}  // namespace

RegexTemplate::RegexTemplate(std::u32string_view repl, std::size_t group_count) {
  std::u32string literal;
  auto add_group = [&](unsigned long long index, std::size_t at) {
    if (index > group_count) template_error("invalid group reference " + std::to_string(index), at);
    if (!literal.empty()) pieces_.emplace_back(kLiteral, std::move(literal));
    literal.clear();
    pieces_.emplace_back(static_cast<std::size_t>(index), std::u32string());
  };
  for (std::size_t i = 0; i < repl.size();) {
    const std::size_t at = i;
    char32_t c = repl[i++];
    if (c != '\\') {
      literal.push_back(c);
      continue;
    }
    if (i >= repl.size()) template_error("bad escape (end of pattern)", at);
    c = repl[i++];
    if (c == 'g') {
      if (i >= repl.size() || repl[i] != '<') template_error("missing <", i);
      const std::size_t close = repl.find(U'>', i + 1);
      if (close == std::u32string_view::npos) template_error("missing >, unterminated name", i + 1);
      const std::u32string_view name = repl.substr(i + 1, close - i - 1);
      if (name.empty()) template_error("missing group name", i + 1);
      bool digits = true;
      for (char32_t d : name) digits = digits && is_ascii_digit(d);
      if (!digits && is_ascii_digit(name[0])) template_error("bad character in group name", i + 1);
      if (!digits) throw RegexGroupNameError("unknown group name (named groups are not supported)");
      if (name.size() > 9) template_error("invalid group reference", i + 1);
      unsigned long long index = 0;
      for (char32_t d : name) index = index * 10 + (d - '0');
      add_group(index, i + 1);
      i = close + 1;
    } else if (c == '0') {
      std::uint32_t value = 0;
      for (int k = 0; k < 2 && i < repl.size() && is_octal_digit(repl[i]); ++k)
        value = value * 8 + (repl[i++] - '0');
      literal.push_back(value & 0xFF);
    } else if (is_ascii_digit(c)) {
      unsigned long long index = c - '0';
      if (i < repl.size() && is_ascii_digit(repl[i])) {
        const char32_t second = repl[i];
        if (is_octal_digit(c) && is_octal_digit(second) && i + 1 < repl.size() &&
            is_octal_digit(repl[i + 1])) {
          const std::uint32_t value = (c - '0') * 64 + (second - '0') * 8 + (repl[i + 1] - '0');
          if (value > 0377) template_error("octal escape value outside of range 0-0o377", at);
          literal.push_back(value);
          i += 2;
          continue;
        }
        index = index * 10 + (second - '0');
        ++i;
      }
      add_group(index, at);
    } else if (const char32_t control = regex_detail::control_escape(c)) {
      literal.push_back(control);
    } else if (c == 'b' || c == '\\') {
      literal.push_back(c == 'b' ? 8 : '\\');  // a backspace here, not a word boundary
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
      std::string what = "bad escape \\";
      what.push_back(static_cast<char>(c));
      template_error(what, at);
    } else {
      literal.push_back('\\');
      literal.push_back(c);
    }
  }
  if (!literal.empty()) pieces_.emplace_back(kLiteral, std::move(literal));
}

bool RegexTemplate::literal_only() const {
  return pieces_.size() <= 1 && (pieces_.empty() || pieces_[0].first == kLiteral);
}

std::u32string_view RegexTemplate::literal() const {
  return pieces_.empty() ? std::u32string_view() : std::u32string_view(pieces_[0].second);
}

void RegexTemplate::expand(std::u32string_view text, const RegexMatch& m,
                           std::u32string& out) const {
  for (const auto& [group, literal] : pieces_) {
    if (group == kLiteral) {
      out += literal;
    } else {
      out += m.group(text, group);
    }
  }
}

std::pair<std::u32string, std::size_t> Regex::subn(const RegexTemplate& replacement,
                                                   std::u32string_view text,
                                                   std::size_t count) const {
  std::vector<RegexMatch> matches = find_all(text);
  if (count != 0 && matches.size() > count) matches.resize(count);
  std::u32string out;
  std::size_t copied = 0;
  for (const RegexMatch& m : matches) {
    out.append(text, copied, m.start() - copied);
    replacement.expand(text, m, out);
    copied = m.end();
  }
  out.append(text, copied);
  return {std::move(out), matches.size()};
}

std::pair<std::u32string, std::size_t> Regex::subn(std::u32string_view replacement,
                                                   std::u32string_view text,
                                                   std::size_t count) const {
  return subn(RegexTemplate(replacement, group_count()), text, count);
}

std::u32string Regex::sub(const RegexTemplate& replacement, std::u32string_view text,
                          std::size_t count) const {
  // Plain text needs no group spans: the literal replacement runs leaner.
  if (replacement.literal_only() && count == 0) return replace_all(text, replacement.literal());
  return subn(replacement, text, count).first;
}

std::u32string Regex::sub(std::u32string_view replacement, std::u32string_view text,
                          std::size_t count) const {
  return sub(RegexTemplate(replacement, group_count()), text, count);
}

std::string Regex::sub(std::string_view replacement, std::string_view utf8,
                       std::size_t count) const {
  return unicode::encode_utf8(
      sub(unicode::decode_utf8(replacement), unicode::decode_utf8(utf8), count));
}

}  // namespace tessarin
