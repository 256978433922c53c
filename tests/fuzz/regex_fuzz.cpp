// Fuzz target: the regex compiler on any pattern and the matcher on any text.
// Input: one flag byte (ignorecase, memo from the first step), the pattern up
// to the first NUL byte, then the text. Matches must lie inside the text, in
// order, and searching with the memo on from the start must agree with the
// default search.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tessarin/common/regex.h"
#include "tessarin/common/regex_internal.h"
#include "tessarin/common/unicode.h"

namespace {

// Text bytes as code points; bytes from 0xF0 up stand for some non-ASCII
// characters that case folding and \w treat specially.
std::u32string text_of(std::string_view bytes) {
  static constexpr char32_t kWide[] = {
      U'\u00e9', U'\u0130', U'\u0131', U'\u212a',     U'\u017f', U'\u03c3', U'\u03c2', U'\u0663',
      U'\u3000', U'\u00df', U'\u1e9e', U'\U0001F600', U'\u00a0', U'\u2028', U'K',      U's'};
  std::u32string out;
  for (unsigned char b : bytes) out.push_back(b >= 0xF0 ? kWide[b - 0xF0] : char32_t{b});
  return out;
}

bool same(const tessarin::Regex& re, std::u32string_view text) {
  auto plain = re.find_all(text);
  tessarin::regex_detail::set_memo_from_start(true);
  auto memo = re.find_all(text);
  tessarin::regex_detail::set_memo_from_start(false);
  if (plain.size() != memo.size()) return false;
  for (std::size_t i = 0; i < plain.size(); ++i)
    if (plain[i].spans != memo[i].spans) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool ignorecase = data[0] & 1;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::size_t cut = rest.find('\0');
  std::string_view pattern = rest.substr(0, cut);
  std::string_view text_bytes = cut == std::string_view::npos ? "" : rest.substr(cut + 1);
  std::u32string text = text_of(text_bytes.substr(0, 512));
  try {
    tessarin::Regex re(pattern, ignorecase);
    std::size_t last_end = 0;
    for (const tessarin::RegexMatch& m : re.find_all(text)) {
      if (m.start() < last_end || m.end() < m.start() || m.end() > text.size()) std::abort();
      for (std::size_t g = 1; g <= re.group_count(); ++g)
        if (m.matched(g) && (m.end(g) < m.start(g) || m.end(g) > text.size())) std::abort();
      last_end = m.end();
    }
    tessarin::RegexMatch m;
    if (re.match_at(text, 0, m) && m.start() != 0) std::abort();
    if (re.full_match(text, 0, m) && m.end() != text.size()) std::abort();
    (void)re.replace_all(text, U"-");
    if (data[0] & 2 && !same(re, text)) std::abort();
    (void)tessarin::Regex(tessarin::Regex::escape(pattern), ignorecase);
  } catch (const tessarin::RegexError&) {
  }
  return 0;
}
