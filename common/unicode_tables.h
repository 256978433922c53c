// Declarations of the generated Unicode tables (common/unicode_tables.cpp),
// private to common/unicode.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarin::unicode::tables {

// Per-code-point flag bits, in a two-stage table of 128-code-point blocks.
inline constexpr std::uint8_t kSpace = 1;
inline constexpr std::uint8_t kAlnum = 2;
inline constexpr std::uint8_t kDecimal = 4;
inline constexpr std::uint8_t kPrintable = 8;
inline constexpr std::uint8_t kCased = 16;      // cased and not case-ignorable
inline constexpr std::uint8_t kIgnorable = 32;  // case-ignorable
inline constexpr std::uint8_t kLowers = 64;     // str.lower changes it
inline constexpr std::uint8_t kFolds = 128;     // shares its fold with others
inline constexpr unsigned kBlockShift = 7;
inline constexpr unsigned kBlockMask = (1u << kBlockShift) - 1;

extern const std::uint16_t kFlagIndex[];
extern const std::uint8_t kFlagBlocks[];

struct LowerEntry {
  char32_t cp;
  char32_t lower;
};
struct LowerMultiEntry {
  char32_t cp;
  std::uint8_t length;
  char32_t lower[3];
};
struct FoldEntry {
  char32_t cp;
  char32_t fold;
  std::uint16_t variants_begin;  // into kFoldVariants
  std::uint16_t variants_count;
};

extern const LowerEntry kLower[];
extern const std::size_t kLowerCount;
extern const LowerMultiEntry kLowerMulti[];
extern const std::size_t kLowerMultiCount;
extern const FoldEntry kFold[];
extern const std::size_t kFoldCount;
extern const char32_t kFoldVariants[];
// The code points of digit zero of each run of ten decimal digits.
extern const char32_t kDecimalZeros[];
extern const std::size_t kDecimalZeroCount;

}  // namespace tessarin::unicode::tables
