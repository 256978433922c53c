// Pieces the table-driven tests share: a text with what should come of it,
// a fixture over a list of those, the message a call throws, and random JSON
// values.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <iterator>
#include <random>
#include <string>

#include "tessarin/common/json_value.h"

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

// A random JSON value: null, a boolean, a small or a 32-bit int, a double
// (short and long forms, NaN and infinity among them), a text from
// text(rng), or, less than two levels down, a list or a map of up to three
// such values, keyed by key(rng, n).
template <class Text, class Key>
JsonValue random_json(std::mt19937& rng, int depth, const Text& text, const Key& key) {
  switch (rng() % (depth < 2 ? 9 : 7)) {
    case 0:
      return JsonValue();
    case 1:
      return JsonValue(rng() % 2 == 0);
    case 2:
      return JsonValue(static_cast<std::int64_t>(rng() % 2000) - 1000);
    case 3:
      return JsonValue(static_cast<std::int64_t>(rng()) - (std::int64_t{1} << 31));
    case 4: {
      const double doubles[] = {0.5,          1e-05,     2.0,    1e16,
                                std::nan(""), -INFINITY, 123.25, static_cast<double>(rng()) / 7.0};
      return JsonValue(doubles[rng() % std::size(doubles)]);
    }
    case 5:
    case 6:
      return JsonValue(text(rng));
    case 7: {
      JsonList list;
      for (std::size_t n = rng() % 4; n > 0; --n)
        list.push_back(random_json(rng, depth + 1, text, key));
      return JsonValue(std::move(list));
    }
    default: {
      JsonMap map;
      for (std::size_t n = rng() % 4; n > 0; --n) {
        JsonValue item = random_json(rng, depth + 1, text, key);
        map.set(key(rng, n), std::move(item));
      }
      return JsonValue(std::move(map));
    }
  }
}

}  // namespace tessarin::test_support
