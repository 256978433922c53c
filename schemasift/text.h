// Text primitives of the metadata selector on the shared word engine:
// identifier splitting, tokenization with stop words and the token
// estimate. The vocabularies and the value readings the selector's text
// work uses come with it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tessarin/common/unicode.h"
#include "tessarin/common/words.h"
#include "tessarin/schemasift/values.h"
#include "tessarin/schemasift/vocabulary.h"

namespace tessarin::schemasift {

// "_", "-" and "." become blanks, a blank goes before every ASCII capital but
// a leading one, then the whole text is lower-cased.
std::string _split_identifier(std::string_view value);

// Lower-cased ASCII word runs of _split_identifier(text), stop words removed
// (DEFAULT_STOPWORDS when stopwords is null), duplicates kept.
std::vector<std::string> tokenize(std::string_view text, const WordSet* stopwords = nullptr);

// Calls f(std::string_view token) for every token tokenize() would return,
// without building the list. The view is valid only during the call.
template <class F>
void for_each_token(std::string_view text, const WordSet* stopwords, F&& f);

// max(1, ceil(code points / chars_per_token)); 0 for an empty text: the
// token estimate both libraries share (ZeroDivisionError for a zero
// chars_per_token, as Python raises).
using words::estimate_tokens;
using words::estimate_tokens_of_length;
using words::ZeroDivisionError;

// ---- implementation of the template ----

namespace detail {
inline bool has_non_ascii(std::string_view text) { return !unicode::is_ascii(text); }
// Throws unicode::Utf8Error, at the offset of text, for malformed text
// that is not ASCII: splitting shifts the bytes the decoder would name.
inline void check_utf8(std::string_view text) {
  if (has_non_ascii(text)) unicode::validate_utf8(text);
}
}  // namespace detail

template <class F>
void for_each_token(std::string_view text, const WordSet* stopwords, F&& f) {
  detail::check_utf8(text);
  if (!stopwords) {
    words::for_each_word(text, [&](std::string_view word) {
      if (!DEFAULT_STOPWORD_INDEX.contains(word)) f(word);
    });
  } else if (stopwords->empty()) {
    words::for_each_word(text, f);
  } else {
    words::for_each_word(text, [&](std::string_view word) {
      if (!stopwords->contains(word)) f(word);
    });
  }
}

}  // namespace tessarin::schemasift
