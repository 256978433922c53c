// Tokenizing text for the native TF-IDF index: lower-casing and listing the
// runs of word characters, eight ASCII bytes at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace tessarin::schemasift::tfidf_detail {

// Tokens are read in whole words, so the buffers holding them go on for
// this many bytes past the text.
inline constexpr std::size_t kPadding = 8;

// A token of a tokenized text: its place in the lower-cased buffer.
struct Span {
  std::size_t begin;
  std::size_t length;
};

inline std::uint64_t load_word(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

// Lower-cases text into buffer as str.lower does (kPadding bytes follow it)
// and lists the tokens there, in the first spans (the number returned;
// spans only ever grows). Throws unicode::Utf8Error on invalid UTF-8.
std::size_t tokenize(std::string_view text, std::string& buffer, std::vector<Span>& spans);

}  // namespace tessarin::schemasift::tfidf_detail
