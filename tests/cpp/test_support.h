// Pieces the table-driven tests share: a text with what should come of it,
// a fixture over a list of those, and the message a call throws.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace tessarin::test_support {

// An input text and what is expected from it.
template <class Expected>
struct TextTo {
  const char* input;
  Expected expected;
};

// An input text and the text expected from it (a result or a message).
using TextCase = TextTo<const char*>;

// Parametrized tests of a call on texts: one test per case.
template <class Expected>
class TextTest : public testing::TestWithParam<TextTo<Expected>> {};

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
