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

inline JsonValue random_value(std::mt19937& rng, int depth) {
  switch (rng() % (depth > 2 ? 6 : 8)) {
    case 0:
      return JsonValue();
    case 1:
      return JsonValue(rng() % 2 == 0);
    case 2:
      return JsonValue(static_cast<std::int64_t>(rng() % 2000) - 1000);
    case 3: {
      const double doubles[] = {0.5, 1e-05, 2.0, 1e16, std::nan(""), -INFINITY, 123.25};
      return JsonValue(doubles[rng() % 7]);
    }
    case 4:
    case 5:
      return JsonValue(random_text(rng, 4));
    case 6: {
      JsonList list;
      for (std::size_t i = rng() % 4; i > 0; --i) list.push_back(random_value(rng, depth + 1));
      return JsonValue(std::move(list));
    }
    default: {
      JsonMap map;
      for (std::size_t i = rng() % 4; i > 0; --i)
        map.set(random_text(rng, 2), random_value(rng, depth + 1));
      return JsonValue(std::move(map));
    }
  }
}

}  // namespace tessarin::turnmend::test_support
