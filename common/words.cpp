// The word engine: identifier splitting, word tables and the token estimate.
#include "tessarin/common/words.h"

#include <cmath>

namespace tessarin::words {

namespace {

bool is_ascii_capital(char c) { return c >= 'A' && c <= 'Z'; }

}  // namespace

// The separators and the blanks before capitals go on the bytes: ASCII
// characters are single bytes in UTF-8, so byte 0 is the first character.
void split_identifier_into(std::string_view text, std::string& out) {
  out.clear();
  if (text.empty()) return;
  out.reserve(text.size() + text.size() / 4);
  const bool ascii = unicode::is_ascii(text);
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '_' || c == '-' || c == '.') c = ' ';
    if (is_ascii_capital(c)) {
      if (i > 0) out.push_back(' ');
      if (ascii) c = static_cast<char>(c - 'A' + 'a');
    }
    out.push_back(c);
  }
  if (!ascii) out = unicode::to_lower(std::string_view(out));
}

std::string split_identifier(std::string_view text) {
  std::string out;
  split_identifier_into(text, out);
  return out;
}

WordIndex::WordIndex(const std::vector<std::string>& words) {
  std::size_t capacity = 16;
  while (capacity < 2 * words.size()) capacity *= 2;
  slots_.assign(capacity, 0);
  words_.reserve(words.size());
  refs_.reserve(words.size());
  for (const std::string& word : words) {
    const std::uint64_t h = word_hash(word);
    if (contains(word.data(), word.size(), h)) continue;
    std::size_t i = h & (capacity - 1);
    while (slots_[i]) i = (i + 1) & (capacity - 1);
    const std::string& kept = words_.emplace_back(word);
    refs_.push_back(WordRef{kept.data(), static_cast<std::uint32_t>(kept.size()), h});
    slots_[i] = static_cast<std::uint32_t>(refs_.size());
  }
}

std::int64_t estimate_tokens(std::string_view text, double chars_per_token) {
  return estimate_tokens_of_length(unicode::code_point_length(text), chars_per_token);
}

std::int64_t estimate_tokens_of_length(std::size_t code_points, double chars_per_token) {
  if (code_points == 0) return 0;
  if (chars_per_token == 0.0) throw ZeroDivisionError("float division by zero");
  const double ratio = static_cast<double>(code_points) / chars_per_token;
  if (std::isnan(ratio)) throw std::domain_error("cannot convert float NaN to integer");
  const double rounded = std::ceil(ratio);
  if (std::isinf(rounded)) throw std::overflow_error("cannot convert float infinity to integer");
  if (rounded < 1.0) return 1;
  if (rounded >= 9223372036854775808.0)
    throw std::overflow_error("token estimate does not fit in 64 bits");
  return static_cast<std::int64_t>(rounded);
}

}  // namespace tessarin::words
