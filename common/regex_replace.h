// Replacement templates of the regex engine, as Python's re.sub reads them:
// literal text, group references \1 to \99 and \g<n>, the escapes \a \b \f
// \n \r \t \v \\, and octal escapes \0, \0o, \0oo and \ooo. Other escaped
// ASCII letters are errors; any other escaped character stays as written,
// backslash included.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tessarin/common/regex.h"

namespace tessarin {

// A malformed template; the message names the fault and its position in
// code points ("bad escape \q at position 3"). Python raises ValueError.
class RegexTemplateError : public RegexError {
 public:
  using RegexError::RegexError;
};

// A \g<name> reference: groups have no names in this dialect. Python raises
// IndexError.
class RegexGroupNameError : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

class RegexTemplate {
 public:
  // Reads a template for a pattern with group_count groups; a reference to
  // a group past them is a RegexTemplateError.
  RegexTemplate(std::u32string_view text, std::size_t group_count);

  // Whether the template is plain text (no group reference).
  bool literal_only() const;
  // The text of a literal-only template.
  std::u32string_view literal() const;
  // Appends the replacement for match m of text.
  void expand(std::u32string_view text, const RegexMatch& m, std::u32string& out) const;

 private:
  // Literal pieces and group references; kLiteral marks a literal piece.
  static constexpr std::size_t kLiteral = static_cast<std::size_t>(-1);
  std::vector<std::pair<std::size_t, std::u32string>> pieces_;
};

}  // namespace tessarin
