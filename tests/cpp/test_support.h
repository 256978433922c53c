// Pieces the table-driven tests share: a text with what should come of it,
// and the message a call throws.
#pragma once

#include <string>

namespace tessarin::test_support {

// An input text and the text expected from it (a result or a message).
struct TextCase {
  const char* input;
  const char* expected;
};

// The message of the Error that call() throws, or "<nothing thrown>".
template <class Error, class Call>
std::string error_text(Call&& call) {
  try {
    call();
  } catch (const Error& e) {
    return e.what();
  }
  return "<nothing thrown>";
}

}  // namespace tessarin::test_support
