// Text primitives of the resolver. tokenize runs on every card on every
// resolve, so ASCII text takes a single-pass scanner that gives the same
// tokens as splitting identifiers and then finding [a-zA-Z0-9_]+ runs.
#include "turnmend/text.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "common/display.h"
#include "common/json_text.h"
#include "common/unicode.h"
#include "turnmend/vocabulary.h"

namespace tessarin::turnmend {

namespace {

bool is_ascii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

bool is_ascii_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_ascii_word(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
char ascii_lower(char c) { return is_ascii_upper(c) ? static_cast<char>(c - 'A' + 'a') : c; }

// Steps 2 and 3 of split_identifier on the given bytes (ASCII characters are
// single bytes in UTF-8, so byte offset 0 is code point offset 0).
std::string separate_words(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '_' || c == '-' || c == '.') c = ' ';
    if (i > 0 && is_ascii_upper(c)) out.push_back(' ');
    out.push_back(c);
  }
  return out;
}

void push_token(std::string& token, const WordSet& stop, StringList& out) {
  if (token.empty()) return;
  if (!stop.contains(token)) out.push_back(token);
  token.clear();
}

// Word runs of already split and lower-cased text.
void scan_word_runs(std::string_view text, const WordSet& stop, StringList& out) {
  std::string token;
  for (char c : text) {
    if (is_ascii_word(c)) {
      token.push_back(ascii_lower(c));
    } else {
      push_token(token, stop, out);
    }
  }
  push_token(token, stop, out);
}

// split_identifier followed by the word-run scan, in one pass, for ASCII text.
void scan_ascii_identifier_words(std::string_view text, const WordSet& stop, StringList& out) {
  std::string token;
  for (char c : text) {
    bool word = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || is_ascii_upper(c);
    if (!word) {
      push_token(token, stop, out);
      continue;
    }
    // A capital after the first character gets a blank before it.
    if (is_ascii_upper(c)) push_token(token, stop, out);
    token.push_back(ascii_lower(c));
  }
  push_token(token, stop, out);
}

// Removes trailing blanks; after collapse_whitespace the blank is the only
// white space left.
void rstrip_blanks(std::string& text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
}

}  // namespace

std::string collapse_whitespace(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  if (is_ascii(text)) {
    bool pending_blank = false;
    for (char c : text) {
      if (unicode::is_space(static_cast<unsigned char>(c))) {
        pending_blank = !out.empty();
        continue;
      }
      if (pending_blank) out.push_back(' ');
      pending_blank = false;
      out.push_back(c);
    }
    return out;
  }
  std::u32string cps = unicode::decode_utf8(text);
  bool pending_blank = false;
  for (char32_t cp : cps) {
    if (unicode::is_space(cp)) {
      pending_blank = !out.empty();
      continue;
    }
    if (pending_blank) out.push_back(' ');
    pending_blank = false;
    unicode::append_utf8(out, cp);
  }
  return out;
}

WordSet::WordSet(std::initializer_list<std::string_view> words) {
  for (std::string_view w : words) insert(w);
}

void WordSet::insert(std::string_view word) {
  if (contains(word)) return;
  words_.emplace_back(word);
  index_.emplace(word);
  length_mask_ |= word.size() < 64 ? std::uint64_t{1} << word.size() : 0;
}

std::string split_identifier(std::string_view value) {
  if (value.empty()) return std::string();
  std::string separated = separate_words(value);
  if (is_ascii(separated)) {
    for (char& c : separated) c = ascii_lower(c);
    return separated;
  }
  return unicode::to_lower(std::string_view(separated));
}

std::string split_identifier(const JsonValue& value) {
  if (value.is_null()) return std::string();
  if (value.is_string()) return split_identifier(std::string_view(value.as_string()));
  return split_identifier(std::string_view(display_text(value)));
}

void tokenize_into(std::string_view text, const WordSet* stopwords, StringList& out) {
  const WordSet& stop = stopwords ? *stopwords : vocabulary().STOPWORDS;
  if (is_ascii(text)) {
    scan_ascii_identifier_words(text, stop, out);
    return;
  }
  scan_word_runs(split_identifier(text), stop, out);
}

StringList tokenize(std::string_view text, const WordSet* stopwords) {
  StringList out;
  tokenize_into(text, stopwords, out);
  return out;
}

StringList tokenize(const JsonValue& text, const WordSet* stopwords) {
  if (text.is_null()) return {};
  if (text.is_string()) return tokenize(std::string_view(text.as_string()), stopwords);
  return tokenize(std::string_view(display_text(text)), stopwords);
}

std::string compact_text(std::string_view value, std::int64_t max_chars) {
  std::string text = collapse_whitespace(value);
  std::int64_t length = static_cast<std::int64_t>(unicode::code_point_length(text));
  if (length <= max_chars) return text;
  // A prefix of max_chars - 3 code points, with the slice semantics of a
  // negative end for limits below 3.
  std::int64_t cut = max_chars - 3;
  if (cut < 0) cut = std::max<std::int64_t>(0, length + cut);
  std::string out(unicode::prefix_code_points(text, static_cast<std::size_t>(cut)));
  rstrip_blanks(out);
  out += "...";
  return out;
}

std::string compact_text(const JsonValue& value, std::int64_t max_chars) {
  if (value.is_null()) return std::string();
  if (value.is_string()) return compact_text(std::string_view(value.as_string()), max_chars);
  JsonWriteOptions options;
  options.ensure_ascii = false;
  return compact_text(std::string_view(json_text(value, options)), max_chars);
}

std::int64_t estimate_tokens(std::string_view text, double chars_per_token) {
  if (text.empty()) return 0;
  if (chars_per_token == 0.0) throw DivisionByZero("float division by zero");
  double ratio = static_cast<double>(unicode::code_point_length(text)) / chars_per_token;
  if (std::isnan(ratio)) throw std::domain_error("cannot convert float NaN to integer");
  double rounded = std::ceil(ratio);
  if (std::isinf(rounded)) throw std::overflow_error("cannot convert float infinity to integer");
  if (rounded < 1.0) return 1;
  if (rounded >= 9223372036854775808.0)
    throw std::overflow_error("token estimate does not fit in 64 bits");
  return static_cast<std::int64_t>(rounded);
}

double overlap_score(const StringList& a, const StringList& b) {
  auto as_set = [](const StringList& items) {
    std::vector<std::string_view> set(items.begin(), items.end());
    std::sort(set.begin(), set.end());
    set.erase(std::unique(set.begin(), set.end()), set.end());
    return set;
  };
  std::vector<std::string_view> sa = as_set(a);
  std::vector<std::string_view> sb = as_set(b);
  if (sa.empty() || sb.empty()) return 0.0;
  std::size_t common = 0;
  auto ia = sa.begin(), ib = sb.begin();
  while (ia != sa.end() && ib != sb.end()) {
    if (*ia < *ib) {
      ++ia;
    } else if (*ib < *ia) {
      ++ib;
    } else {
      ++common;
      ++ia;
      ++ib;
    }
  }
  return static_cast<double>(common) / static_cast<double>(std::min(sa.size(), sb.size()));
}

std::int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace tessarin::turnmend
