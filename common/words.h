// The word engine of both libraries. A word is a maximal run of ASCII letters
// and digits of split_identifier(text), lower-cased: "_", "-" and "." separate
// words and every ASCII capital but the first character starts one. ASCII
// text is scanned in one pass; other text goes through the Unicode lower-case
// mapping first (it can turn a few other letters into ASCII ones). Also here:
// a case-blind 64-bit word hash, word tables found by it, a first-byte and
// length filter, and the character-based token estimate.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tessarin/common/unicode.h"

namespace tessarin::words {

// "_", "-" and "." become blanks, a blank goes before every ASCII capital but
// the first character, and the whole text is lower-cased.
std::string split_identifier(std::string_view text);
// The same into out, whose storage is reused.
void split_identifier_into(std::string_view text, std::string& out);

// ---- the one-pass scan of ASCII text

// What a byte does in a scan: lower-case letters and digits continue a word,
// a capital starts one, a separator ends one, an escaped byte separates and
// is counted, and a stop byte ends the scan.
enum ByteClass : std::uint8_t { kSeparator, kWordByte, kCapital, kEscaped, kStop };
using ByteClasses = std::array<std::uint8_t, 256>;

enum class ScanKind {
  kText,          // bytes from 0x80 up stop the scan (they need the Unicode route)
  kJsonString,    // also control bytes stop it (JSON writes them with letters);
                  // '"' and '\\' are escaped
  kLoweredSplit,  // split_identifier output: other bytes are separators
};

constexpr ByteClasses make_byte_classes(ScanKind kind) {
  ByteClasses classes{};
  for (int b = 0; b < 256; ++b) {
    std::uint8_t c = kSeparator;
    if ((b >= 'a' && b <= 'z') || (b >= '0' && b <= '9')) c = kWordByte;
    if (b >= 'A' && b <= 'Z') c = kCapital;
    if (kind != ScanKind::kLoweredSplit && b >= 0x80) c = kStop;
    if (kind == ScanKind::kJsonString && b < 0x20) c = kStop;
    if (kind == ScanKind::kJsonString && (b == '"' || b == '\\')) c = kEscaped;
    classes[static_cast<std::size_t>(b)] = c;
  }
  return classes;
}
inline constexpr ByteClasses kTextBytes = make_byte_classes(ScanKind::kText);
inline constexpr ByteClasses kJsonStringBytes = make_byte_classes(ScanKind::kJsonString);
inline constexpr ByteClasses kLoweredSplitBytes = make_byte_classes(ScanKind::kLoweredSplit);

namespace detail {

// The scan below; with kNulTerminated a word ends at the terminating NUL (no
// word byte) without a bounds check, four bytes a step.
template <bool kNulTerminated, class Word>
[[gnu::always_inline]] inline bool scan_ascii_words(const char* data, std::size_t size,
                                                    const ByteClasses& classes, Word&& word,
                                                    std::size_t& escapes) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* const end = p + size;
  while (p < end) {
    const std::uint8_t c = classes[*p];
    if (c == kSeparator) {
      ++p;
    } else if (c <= kCapital) {
      const unsigned char* start = p++;
      if constexpr (kNulTerminated) {
        // p[k + 1] is readable once p[k] is a word byte.
        for (;;) {
          if (classes[p[0]] != kWordByte) break;
          if (classes[p[1]] != kWordByte) {
            p += 1;
            break;
          }
          if (classes[p[2]] != kWordByte) {
            p += 2;
            break;
          }
          if (classes[p[3]] != kWordByte) {
            p += 3;
            break;
          }
          p += 4;
        }
      } else {
        while (p < end && classes[*p] == kWordByte) ++p;
      }
      word(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start));
    } else if (c == kEscaped) {
      ++escapes;
      ++p;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace detail

// Calls word(data, length) for every word of the text as it stands there (its
// first byte may be a capital). Returns false at the first stop byte, having
// reported the words before it; `escapes` counts the escaped bytes.
template <class Word>
[[gnu::always_inline]] inline bool scan_ascii_words(std::string_view text,
                                                    const ByteClasses& classes, Word&& word,
                                                    std::size_t& escapes) {
  return detail::scan_ascii_words<false>(text.data(), text.size(), classes, word, escapes);
}
// The same for a whole string, whose terminating NUL saves the bounds checks.
template <class Word>
[[gnu::always_inline]] inline bool scan_ascii_string_words(const std::string& text,
                                                           const ByteClasses& classes, Word&& word,
                                                           std::size_t& escapes) {
  return detail::scan_ascii_words<true>(text.c_str(), text.size(), classes, word, escapes);
}

// Calls word(std::string_view) with every word of the text, lower-cased, in
// order. A view lasts until its call returns.
template <class Word>
void for_each_word(std::string_view text, Word&& word) {
  std::size_t escapes = 0;
  if (unicode::is_ascii(text)) {
    std::string lowered;
    scan_ascii_words(
        text, kTextBytes,
        [&](const char* data, std::size_t length) {
          if (kTextBytes[static_cast<unsigned char>(*data)] != kCapital) {
            word(std::string_view(data, length));
            return;
          }
          lowered.assign(data, length);
          lowered[0] = static_cast<char>(lowered[0] | 0x20);
          word(std::string_view(lowered));
        },
        escapes);
    return;
  }
  const std::string split = split_identifier(text);
  scan_ascii_words(
      split, kLoweredSplitBytes,
      [&](const char* data, std::size_t length) { word(std::string_view(data, length)); }, escapes);
}

// ---- case-blind word hashing

namespace detail {

constexpr std::uint64_t kLowerBits = 0x2020202020202020ull;

// A one-to-one mix of 64 bits (the murmur3 finalizer).
inline std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  x ^= x >> 33;
  return x;
}

}  // namespace detail

// Up to 8 bytes of a word, lower-cased (a letter or digit lower-cases by
// setting bit 0x20), little-endian, zero-padded.
inline std::uint64_t load_lower(const char* data, std::size_t length) {
  std::uint64_t v = 0;
  if (length >= 8) {
    std::memcpy(&v, data, 8);
    return v | detail::kLowerBits;
  }
  if (std::endian::native == std::endian::little && length >= 4) {
    // Two loads that overlap in the middle: shared bytes OR onto themselves.
    std::uint32_t head, tail;
    std::memcpy(&head, data, 4);
    std::memcpy(&tail, data + length - 4, 4);
    v = head | static_cast<std::uint64_t>(tail) << (8 * (length - 4));
  } else {
    for (std::size_t i = 0; i < length; ++i)
      v |= static_cast<std::uint64_t>(static_cast<unsigned char>(data[i])) << (8 * i);
  }
  return v | (detail::kLowerBits & ((std::uint64_t{1} << (8 * length)) - 1));
}

// Hash of a word of ASCII letters and digits, blind to the case of its
// letters. Words of up to 8 bytes hash one-to-one, so for them equal hashes
// and lengths mean equal words.
inline std::uint64_t word_hash(const char* data, std::size_t length) {
  if (length <= 8) return detail::mix(load_lower(data, length));
  std::uint64_t h = detail::mix(length);
  for (std::size_t i = 0; i < length; i += 8)
    h = detail::mix(h ^ load_lower(data + i, std::min<std::size_t>(8, length - i)));
  return h;
}
inline std::uint64_t word_hash(std::string_view word) {
  return word_hash(word.data(), word.size());
}

// A word by its bytes (owned elsewhere) and hash.
struct WordRef {
  const char* data;
  std::uint32_t length;
  std::uint64_t hash;

  // Equality blind to case; the hash settles words of up to 8 bytes.
  bool same(const char* other, std::size_t other_length, std::uint64_t other_hash) const {
    if (hash != other_hash || length != other_length) return false;
    for (std::size_t i = 8; i < length; i += 8) {
      std::size_t chunk = std::min<std::size_t>(8, length - i);
      if (load_lower(data + i, chunk) != load_lower(other + i, chunk)) return false;
    }
    return length <= 8 || load_lower(data, 8) == load_lower(other, 8);
  }
};

// ---- word tables

// Distinct words of ASCII letters and digits, found by their case-blind hash
// (stop words, the words of a message). Keeps its own copies; words are
// numbered in the order they were first given.
class WordIndex {
 public:
  WordIndex() : WordIndex(std::vector<std::string>{}) {}
  explicit WordIndex(const std::vector<std::string>& words);
  WordIndex(const WordIndex&) = delete;  // refs_ point into words_
  WordIndex& operator=(const WordIndex&) = delete;

  std::size_t size() const { return refs_.size(); }
  const WordRef& operator[](std::size_t i) const { return refs_[i]; }
  // Index of the word, or -1.
  std::ptrdiff_t find(const char* data, std::size_t length, std::uint64_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask; slots_[i]; i = (i + 1) & mask)
      if (refs_[slots_[i] - 1].same(data, length, hash))
        return static_cast<std::ptrdiff_t>(slots_[i] - 1);
    return -1;
  }
  bool contains(const char* data, std::size_t length, std::uint64_t hash) const {
    return find(data, length, hash) >= 0;
  }
  bool contains(std::string_view word) const {
    return contains(word.data(), word.size(), word_hash(word));
  }

 private:
  std::vector<std::string> words_;    // reserved once: views stay put
  std::vector<WordRef> refs_;         // distinct words, views of words_
  std::vector<std::uint32_t> slots_;  // word index + 1; 0 is empty
};

// Rules out most words that no member of a set equals, by their (case-blind)
// first byte and their length, before any hashing.
class FirstByteLengthFilter {
 public:
  void add(std::string_view word) {
    if (word.empty()) return;  // no scanned word is empty
    const auto first = static_cast<unsigned char>(word[0]);
    const auto bit = static_cast<std::uint16_t>(1u << length_key(word.size()));
    // A byte equal to the first byte but for bit 0x20 hashes alike.
    first_lengths_[first | 0x20] |= bit;
    first_lengths_[first & ~0x20] |= bit;
  }
  bool may_hold(const char* data, std::size_t length) const {
    return (first_lengths_[static_cast<unsigned char>(data[0])] >> length_key(length)) & 1;
  }

 private:
  // Lengths from 15 up share a key.
  static std::size_t length_key(std::size_t length) { return std::min<std::size_t>(length, 15); }
  std::array<std::uint16_t, 256> first_lengths_{};
};

// ---- token estimate

// Raised where Python raises ZeroDivisionError.
class ZeroDivisionError : public std::domain_error {
 public:
  using std::domain_error::domain_error;
};

// max(1, ceil(code points / chars_per_token)) with the division in floating
// point, as Python computes it; 0 for an empty text. A zero chars_per_token
// raises ZeroDivisionError, a NaN quotient std::domain_error, an infinite
// quotient (of either sign) or a ceiling past int64 std::overflow_error.
std::int64_t estimate_tokens(std::string_view text, double chars_per_token = 4.0);
// The same for a text of this many code points.
std::int64_t estimate_tokens_of_length(std::size_t code_points, double chars_per_token = 4.0);

}  // namespace tessarin::words
