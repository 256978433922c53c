// Text primitives of the resolver; identifier splitting and the word scan
// are the shared word engine's.
#include "tessarin/turnmend/text.h"

#include <algorithm>
#include <chrono>

#include "tessarin/common/display.h"
#include "tessarin/common/json_text.h"
#include "tessarin/common/unicode.h"
#include "tessarin/common/words.h"
#include "tessarin/turnmend/vocabulary.h"

namespace tessarin::turnmend {

namespace {

// Removes trailing blanks; after collapse_whitespace the blank is the only
// white space left.
void rstrip_blanks(std::string& text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
}

}  // namespace

std::string collapse_whitespace(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  if (unicode::is_ascii(text)) {
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

std::string split_identifier(std::string_view value) { return words::split_identifier(value); }

std::string split_identifier(const JsonValue& value) {
  if (value.is_null()) return std::string();
  if (value.is_string()) return split_identifier(std::string_view(value.as_string()));
  return split_identifier(std::string_view(display_text(value)));
}

void tokenize_into(std::string_view text, const WordSet* stopwords, StringList& out) {
  const WordSet& stop = stopwords ? *stopwords : vocabulary().STOPWORDS;
  words::for_each_word(text, [&](std::string_view word) {
    if (!stop.contains(word)) out.emplace_back(word);
  });
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
  // A prefix of max_chars - 3 code points; for limits below 3 the negative
  // cut drops that many from the end.
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
