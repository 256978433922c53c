// Text primitives of the metadata selector on the shared word engine.
#include "tessarin/schemasift/text.h"

namespace tessarin::schemasift {

std::string _split_identifier(std::string_view value) {
  detail::check_utf8(value);
  return words::split_identifier(value);
}

std::vector<std::string> tokenize(std::string_view text, const WordSet* stopwords) {
  std::vector<std::string> tokens;
  for_each_token(text, stopwords, [&](std::string_view token) { tokens.emplace_back(token); });
  return tokens;
}

}  // namespace tessarin::schemasift
