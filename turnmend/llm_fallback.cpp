// The resolver's side of the optional LLM fallback: card summaries, the
// call, and reading the answer map into a resolution. Every failure of the
// exchange means "no answer", so the rule-based result stands.
#include <cmath>
#include <stdexcept>

#include "tessarin/common/display.h"
#include "tessarin/common/python_float.h"
#include "tessarin/common/unicode.h"
#include "tessarin/turnmend/resolver.h"

namespace tessarin::turnmend {

namespace {

constexpr std::string_view kFallbackReason = "LLM fallback resolution.";
constexpr double kDefaultFallbackConfidence = 0.5;

[[noreturn]] void bad_answer(const std::string& what) {
  throw std::invalid_argument("unusable fallback answer: " + what);
}

// float(value) of Python for the values an answer can hold.
double python_float(const JsonValue& value) {
  switch (value.kind()) {
    case JsonValue::Kind::Bool:
    case JsonValue::Kind::Int:
    case JsonValue::Kind::Double:
      return value.to_double();
    case JsonValue::Kind::String:
      if (auto parsed = parse_python_float(value.as_string())) return *parsed;
      break;
    case JsonValue::Kind::Opaque:
      // Objects such as Decimal show their number as text.
      if (auto parsed = parse_python_float(value.as_opaque().display)) return *parsed;
      break;
    default:
      break;
  }
  bad_answer("\"confidence\" is not a number");
}

// Whether a value counts as true: it is not empty (objects without a JSON
// form are never empty).
bool truth(const JsonValue& value) { return !value.is_empty(); }

const JsonValue* present_non_empty(const JsonMap& data, std::string_view key) {
  const JsonValue* value = data.find(key);
  return value && !value->is_empty() ? value : nullptr;
}

std::string required_text(const JsonValue& value, std::string_view key) {
  if (!value.is_string()) bad_answer("\"" + std::string(key) + "\" is not a string");
  return value.as_string();
}

std::optional<std::string> nullable_text(const JsonValue& value, std::string_view key) {
  if (value.is_null()) return std::nullopt;
  return required_text(value, key);
}

StringList text_items(const JsonValue& value) {
  StringList out;
  for_each_item(value, [&out](const JsonValue& item) { out.push_back(display_text(item)); });
  return out;
}

std::optional<std::int64_t> read_base_turn_id(const JsonMap& data) {
  const JsonValue* value = data.find("base_turn_id");
  if (!value || value->is_null()) return std::nullopt;
  if (value->is_int()) return value->as_int();
  if (value->is_double()) {
    double d = value->as_double();
    if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9.2e18)
      return static_cast<std::int64_t>(d);
  }
  bad_answer("\"base_turn_id\" is not an integer");
}

// The length of the first n items; a negative n drops that many from the end.
std::size_t prefix_length(std::size_t size, std::int64_t n) {
  const auto s = static_cast<std::int64_t>(size);
  return static_cast<std::size_t>(n >= 0 ? std::min(s, n) : std::max<std::int64_t>(0, s + n));
}

}  // namespace

std::optional<ContextResolution> Turnmend::_try_llm_fallback(const std::string& current_question,
                                                             const CardList& cards,
                                                             const JsonMap& preliminary) const {
  if (!config.use_llm_fallback || !llm_fallback) return std::nullopt;
  std::vector<JsonMap> summaries;
  const std::size_t n = prefix_length(cards.size(), config.max_cards_for_llm_fallback);
  summaries.reserve(n);
  for (std::size_t i = 0; i < n; ++i)
    if (cards[i]) summaries.push_back(cards[i]->to_resolver_summary());

  std::optional<JsonMap> answer;
  try {
    answer = llm_fallback(current_question, summaries, preliminary);
  } catch (const FallbackInterrupted&) {
    throw;
  } catch (...) {
    return std::nullopt;
  }
  if (!answer || answer->empty()) return std::nullopt;
  try {
    return _resolution_from_llm_dict(current_question, JsonValue(std::move(*answer)), cards);
  } catch (...) {
    return std::nullopt;
  }
}

ContextResolution Turnmend::_resolution_from_llm_dict(const std::string& current_question,
                                                      const JsonValue& answer,
                                                      const CardList& cards) const {
  if (!answer.is_map()) bad_answer("not a map");
  const JsonMap& data = answer.as_map();

  const std::optional<std::int64_t> base_turn_id = read_base_turn_id(data);
  const TurnContextCard* base = nullptr;
  if (base_turn_id) {
    for (const CardRef& card : cards)
      if (card && card->turn_id == *base_turn_id) {
        base = card.get();
        break;
      }
  }

  ContextResolution out;
  const JsonValue* delta = data.find("intent_delta");
  if (delta && delta->is_map()) out.intent_delta = IntentDelta::from_map(delta->as_map());

  const JsonValue* value = present_non_empty(data, "context_type");
  out.context_type = value ? required_text(*value, "context_type")
                           : std::string(context_types::kClarificationNeeded);
  if ((value = present_non_empty(data, "required_tables")))
    out.required_tables = text_items(*value);
  if ((value = present_non_empty(data, "required_columns"))) {
    if (!value->is_map()) bad_answer("\"required_columns\" is not a map");
    for (const auto& [table, columns] : value->as_map())
      out.required_columns.set(table, text_items(columns));
  }
  if (base && out.required_tables.empty() && out.context_type != context_types::kFreshQuestion) {
    auto [tables, columns] = _constraints_from_base(*base, out.intent_delta);
    out.required_tables = std::move(tables);
    out.required_columns = std::move(columns);
  }

  out.current_question = current_question;
  const JsonValue* resolved = present_non_empty(data, "resolved_question");
  out.resolved_question =
      resolved ? required_text(*resolved, "resolved_question") : current_question;
  if ((value = present_non_empty(data, "metadata_search_query")))
    out.metadata_search_query = required_text(*value, "metadata_search_query");
  else
    out.metadata_search_query = out.resolved_question;
  out.base_turn_id = base_turn_id;
  value = data.find("use_previous_state");
  out.use_previous_state = value ? truth(*value) : base_turn_id.has_value();
  if ((value = present_non_empty(data, "anchor_metadata_ids")))
    out.anchor_metadata_ids = text_items(*value);
  else if (base)
    out.anchor_metadata_ids = base->selected_metadata_ids;
  value = data.find("allow_related_tables");
  out.allow_related_tables = value ? truth(*value) : true;
  value = data.find("confidence");
  out.confidence = value ? python_float(*value) : kDefaultFallbackConfidence;
  value = data.find("reason");
  out.reason = value ? nullable_text(*value, "reason") : std::string(kFallbackReason);
  if ((value = data.find("clarification_question")))
    out.clarification_question = nullable_text(*value, "clarification_question");
  if ((value = data.find("route"))) out.route = required_text(*value, "route");
  if ((value = data.find("extra"))) {
    if (!value->is_map()) bad_answer("\"extra\" is not a map");
    out.extra = value->as_map();
  }
  return out;
}

}  // namespace tessarin::turnmend
