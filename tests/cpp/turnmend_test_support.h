// Records the resolver-step tests build (configs, cards, candidates, string
// lists) and random texts and values of the shapes messages and cards hold.
#pragma once

#include <cmath>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tessarin/common/json_value.h"
#include "tessarin/turnmend/resolver.h"
#include "test_support.h"

namespace tessarin::turnmend::test_support {

template <class F>
inline ResolverConfig config_with(F&& change) {
  ResolverConfig config;
  change(config);
  return config;
}

inline CardRef make_card(TurnContextCard card) {
  return std::make_shared<const TurnContextCard>(card);
}

inline TurnContextCard card_with_id(std::int64_t turn_id) {
  TurnContextCard card;
  card.turn_id = turn_id;
  return card;
}

inline ContextCandidate candidate(std::int64_t turn_id, double score, CardRef card = nullptr) {
  return ContextCandidate{turn_id, score, {}, std::move(card)};
}

inline JsonList strings(std::initializer_list<const char*> items) {
  JsonList out;
  for (const char* item : items) out.emplace_back(item);
  return out;
}

inline std::string random_text(std::mt19937& rng, std::size_t max_words) {
  static const std::vector<std::string> pieces = {"revenue",
                                                  "Region",
                                                  "orderDate",
                                                  "sales_orders",
                                                  "the",
                                                  "by",
                                                  "it",
                                                  "ABCTable",
                                                  "x",
                                                  "v2",
                                                  "2023",
                                                  "a-b",
                                                  "c.d",
                                                  "caf\xc3\xa9",
                                                  "\xe2\x84\xaa"
                                                  "elvin",
                                                  "\xc4\xb0stanbul",
                                                  "tab\tbed",
                                                  "line\nbreak",
                                                  "quo\"te",
                                                  "back\\slash",
                                                  "\x01"
                                                  "ctl",
                                                  "month",
                                                  "Show",
                                                  "consider",
                                                  "NaN",
                                                  "e5",
                                                  "\xc2\xa0nbsp",
                                                  std::string("nul\0byte", 8)};
  std::string out;
  std::size_t n = rng() % (max_words + 1);
  for (std::size_t i = 0; i < n; ++i) {
    if (i) out += (rng() % 4 == 0) ? "_" : " ";
    out += pieces[rng() % pieces.size()];
  }
  return out;
}

// Random JSON values with texts of random_text.
inline JsonValue random_value(std::mt19937& rng, int depth) {
  return tessarin::test_support::random_json(
      rng, depth, [](std::mt19937& r) { return random_text(r, 4); },
      [](std::mt19937& r, std::size_t) { return random_text(r, 2); });
}

}  // namespace tessarin::turnmend::test_support
