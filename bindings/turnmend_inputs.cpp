// Conversion of the resolver's Python arguments: card lists (records or
// card maps), candidate lists, question parts and the configuration.
#include <stdexcept>

#include "tessarin/common/display.h"
#include "turnmend_bindings.h"

namespace tessarin::py {

using namespace tessarin::turnmend;

CardRef card_ref(nb::handle item, const char* what) {
  CardRef card;
  if (!nb::try_cast<CardRef>(item, card))
    throw nb::type_error(
        (std::string(what) + " must hold TurnContextCard records, got " + python_type_name(item))
            .c_str());
  return card;
}

// A list of cards; None items become null references when allowed.
CardList card_list(nb::handle cards, bool allow_none, const char* what) {
  CardList out;
  if (cards.is_none()) return out;
  for_each_item(cards, what, [&](nb::handle item) {
    if (item.is_none() && allow_none) {
      out.push_back(nullptr);
      return;
    }
    out.push_back(card_ref(item, what));
  });
  return out;
}

// The caller's card list: records, dicts (card maps) and skipped others.
std::vector<CardSource> card_sources(nb::handle cards) {
  std::vector<CardSource> out;
  if (cards.is_none()) return out;
  for_each_item(cards, "context_cards", [&](nb::handle item) {
    CardRef card;
    if (nb::try_cast<CardRef>(item, card)) {
      out.emplace_back(std::move(card));
    } else if (PyDict_Check(item.ptr())) {
      out.emplace_back(JsonValue(to_json_map(item, "a card map")));
    }
  });
  return out;
}

std::vector<ContextCandidate> candidate_list(nb::handle candidates) {
  std::vector<ContextCandidate> out;
  if (candidates.is_none()) return out;
  for_each_item(candidates, "candidates", [&](nb::handle item) {
    const ContextCandidate* c = nullptr;
    if (!nb::try_cast<const ContextCandidate*>(item, c) || !c)
      throw nb::type_error(
          ("candidates must hold ContextCandidate records, got " + python_type_name(item)).c_str());
    out.push_back(*c);
  });
  return out;
}

const ContextCandidate* optional_candidate(nb::handle value, const char* what) {
  if (value.is_none()) return nullptr;
  const ContextCandidate* c = nullptr;
  if (!nb::try_cast<const ContextCandidate*>(value, c) || !c)
    throw nb::type_error(
        (std::string(what) + " must be ContextCandidate or None, got " + python_type_name(value))
            .c_str());
  return c;
}

nb::list cards_to_python(const CardList& cards) {
  nb::list out;
  for (const CardRef& card : cards) out.append(nb::cast(card));
  return out;
}

QuestionParts question_parts(nb::handle parts) {
  if (!PyDict_Check(parts.ptr()))
    throw nb::type_error(("parts must be a dict, got " + python_type_name(parts)).c_str());
  QuestionParts out;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  const Py_ssize_t n = PyDict_Size(parts.ptr());
  while (PyDict_Next(parts.ptr(), &pos, &key, &value)) {
    // Held while converting: a value's str() may change the dict.
    nb::object k = nb::borrow(key), v_obj = nb::borrow(value);
    std::string name = to_utf8(k, "a parts key");
    JsonValue v = to_json(v_obj);
    if (PyDict_Size(parts.ptr()) != n)
      throw std::runtime_error("dict changed size during conversion");
    out.set(std::move(name), v.is_null() ? std::string() : display_text(v));
  }
  return out;
}

ResolverConfig config_from_python(nb::handle config) {
  if (config.is_none()) return ResolverConfig{};
  const ResolverConfig* c = nullptr;
  if (!nb::try_cast<const ResolverConfig*>(config, c) || !c)
    throw nb::type_error(
        ("config must be ResolverConfig or None, got " + python_type_name(config)).c_str());
  return *c;
}

}  // namespace tessarin::py
