// Fuzz target: the card reader (a card from a card map read as JSON) and the
// card's derived texts, then a resolve of a fixed message over that card.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "tessarin/common/json_text.h"
#include "tessarin/turnmend/resolver.h"

using namespace tessarin;
using namespace tessarin::turnmend;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::optional<JsonValue> input = fuzz::input_json(data, size);
  if (!input) return 0;
  const JsonValue& value = *input;
  if (!value.is_map()) return 0;
  try {
    auto card = std::make_shared<const TurnContextCard>(TurnContextCard::from_map(value.as_map()));
    (void)card->searchable_text();
    (void)card->tokens();
    (void)card->active_tables();
    (void)card->required_columns_by_table();
    (void)card->to_resolver_summary(200);
    static const Turnmend resolver;
    for (const char* message : {"make it monthly by region", "top 5 of turn 1 instead"})
      (void)resolver.resolve(message, std::vector<CardSource>{card, value});
  } catch (const CardMapError&) {
  }
  return 0;
}
