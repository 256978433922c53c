// UTF-8 coding, character classes and case mappings over the generated
// tables (see common/unicode_tables.h).
#include "tessarin/common/unicode.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "tessarin/common/unicode_tables.h"

namespace tessarin::unicode {

namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char32_t kCapitalSigma = 0x3A3;
constexpr char32_t kSmallSigma = 0x3C3;
constexpr char32_t kFinalSigma = 0x3C2;

std::uint8_t flags(char32_t cp) {
  if (cp > kMaxCodePoint) return 0;
  std::uint16_t block = tables::kFlagIndex[cp >> tables::kBlockShift];
  return tables::kFlagBlocks[(static_cast<std::size_t>(block) << tables::kBlockShift) |
                             (cp & tables::kBlockMask)];
}

[[noreturn]] void fail(std::size_t offset) {
  throw Utf8Error("invalid UTF-8 at byte " + std::to_string(offset), offset);
}

// Decodes the code point at text[i] (not ASCII) and advances i; throws on
// malformed, overlong, surrogate or out-of-range sequences.
char32_t decode_multibyte(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const std::size_t start = i;
  const unsigned char lead = byte(i);
  std::size_t length;
  char32_t cp;
  char32_t min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    fail(start);
  }
  if (text.size() - start < length) fail(start);
  for (std::size_t k = 1; k < length; ++k) {
    unsigned char next = byte(start + k);
    if ((next & 0xC0) != 0x80) fail(start);
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < min || cp > kMaxCodePoint || (cp >= 0xD800 && cp <= 0xDFFF)) fail(start);
  i = start + length;
  return cp;
}

const tables::FoldEntry* find_fold(char32_t cp) {
  if (!(flags(cp) & tables::kFolds)) return nullptr;
  const tables::FoldEntry* end = tables::kFold + tables::kFoldCount;
  const tables::FoldEntry* it = std::lower_bound(
      tables::kFold, end, cp, [](const tables::FoldEntry& e, char32_t c) { return e.cp < c; });
  return it != end && it->cp == cp ? it : nullptr;
}

// Appends the full lower-case mapping of cp, sigma excepted.
void append_lower(std::u32string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(cp >= 'A' && cp <= 'Z' ? cp + 32 : cp);
    return;
  }
  if (!(flags(cp) & tables::kLowers)) {
    out.push_back(cp);
    return;
  }
  const tables::LowerEntry* end = tables::kLower + tables::kLowerCount;
  const tables::LowerEntry* it = std::lower_bound(
      tables::kLower, end, cp, [](const tables::LowerEntry& e, char32_t c) { return e.cp < c; });
  if (it != end && it->cp == cp) {
    out.push_back(it->lower);
    return;
  }
  for (std::size_t k = 0; k < tables::kLowerMultiCount; ++k) {
    const tables::LowerMultiEntry& e = tables::kLowerMulti[k];
    if (e.cp == cp) {
      out.append(e.lower, e.length);
      return;
    }
  }
  out.push_back(cp);
}

bool is_case_ignorable(char32_t cp) { return flags(cp) & tables::kIgnorable; }
bool is_cased(char32_t cp) { return flags(cp) & tables::kCased; }

// Σ at text[i] becomes ς when a cased letter precedes it and none follows,
// skipping case-ignorable characters in both directions (as str.lower).
bool is_final_sigma(std::u32string_view text, std::size_t i) {
  std::size_t j = i;
  while (j > 0 && is_case_ignorable(text[j - 1])) --j;
  if (j == 0 || !is_cased(text[j - 1])) return false;
  std::size_t k = i + 1;
  while (k < text.size() && is_case_ignorable(text[k])) ++k;
  return k == text.size() || !is_cased(text[k]);
}

}  // namespace

char32_t next_code_point(std::string_view text, std::size_t& i) {
  unsigned char b = static_cast<unsigned char>(text[i]);
  if (b < 0x80) {
    ++i;
    return b;
  }
  return decode_multibyte(text, i);
}

std::u32string decode_utf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) out.push_back(next_code_point(text, i));
  return out;
}

void validate_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) next_code_point(text, i);
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string encode_utf8(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t cp : text) append_utf8(out, cp);
  return out;
}

// The bytes that are not UTF-8 continuation bytes (10xxxxxx), eight at a
// time: continuation bytes are counted in byte lanes of a 64-bit word.
std::size_t code_point_length(std::string_view text) {
  constexpr std::uint64_t kLow = 0x0101010101010101ull;
  std::size_t continuation = 0;
  std::size_t i = 0;
  while (i + 8 <= text.size()) {
    // Each lane counts at most 255 words before the lanes are summed.
    std::uint64_t lanes = 0;
    std::size_t end = std::min(text.size() - (text.size() - i) % 8, i + 8 * 255);
    for (; i < end; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      lanes += ((word >> 7) & ~(word >> 6)) & kLow;
    }
    constexpr std::uint64_t kEvenBytes = 0x00FF00FF00FF00FFull;
    std::uint64_t pairs = (lanes & kEvenBytes) + ((lanes >> 8) & kEvenBytes);
    continuation += static_cast<std::size_t>((pairs * 0x0001000100010001ull) >> 48);
  }
  for (; i < text.size(); ++i) continuation += (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
  return text.size() - continuation;
}

std::string_view prefix_code_points(std::string_view text, std::size_t n) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (seen == n) return text.substr(0, i);
      ++seen;
    }
  }
  return text;
}

bool is_space(char32_t cp) {
  if (cp < 0x80) return cp == ' ' || (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x1F);
  return flags(cp) & tables::kSpace;
}

bool is_alnum(char32_t cp) {
  if (cp < 0x80)
    return (cp >= '0' && cp <= '9') || (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z');
  return flags(cp) & tables::kAlnum;
}

bool is_word(char32_t cp) { return cp == '_' || is_alnum(cp); }

bool is_decimal(char32_t cp) {
  if (cp < 0x80) return cp >= '0' && cp <= '9';
  return flags(cp) & tables::kDecimal;
}

int decimal_value(char32_t cp) {
  if (cp < 0x80) return cp >= '0' && cp <= '9' ? static_cast<int>(cp - '0') : -1;
  if (!(flags(cp) & tables::kDecimal)) return -1;
  const char32_t* end = tables::kDecimalZeros + tables::kDecimalZeroCount;
  const char32_t* it = std::upper_bound(tables::kDecimalZeros, end, cp);
  return static_cast<int>(cp - *(it - 1));
}

bool is_printable(char32_t cp) {
  if (cp < 0x80) return cp >= 0x20 && cp < 0x7F;
  return flags(cp) & tables::kPrintable;
}

char32_t simple_fold(char32_t cp) {
  if (cp < 0x80) return cp >= 'A' && cp <= 'Z' ? cp + 32 : cp;
  const tables::FoldEntry* e = find_fold(cp);
  return e ? e->fold : cp;
}

CaseVariants case_variants(char32_t cp) {
  const tables::FoldEntry* e = find_fold(cp);
  if (!e) return {nullptr, nullptr};
  const char32_t* begin = tables::kFoldVariants + e->variants_begin;
  return {begin, begin + e->variants_count};
}

std::u32string to_lower(std::u32string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp == kCapitalSigma) {
      out.push_back(is_final_sigma(text, i) ? kFinalSigma : kSmallSigma);
    } else {
      append_lower(out, cp);
    }
  }
  return out;
}

std::string to_lower(std::string_view text) {
  if (is_ascii(text)) {
    std::string out(text);
    for (char& c : out)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
  }
  return encode_utf8(to_lower(decode_utf8(text)));
}

std::string_view strip(std::string_view text) {
  // Trailing code points are found by stepping back over continuation bytes.
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    if (!is_space(next_code_point(text, next))) break;
    begin = next;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t probe = start;
    if (!is_space(next_code_point(text, probe))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::u32string_view strip(std::u32string_view text) {
  std::size_t begin = 0;
  while (begin < text.size() && is_space(text[begin])) ++begin;
  std::size_t end = text.size();
  while (end > begin && is_space(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace tessarin::unicode
