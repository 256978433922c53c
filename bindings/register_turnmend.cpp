// Python surface of the resolver: tessarin._core.turnmend. Text primitives,
// vocabulary constants, records, Turnmend with every step as a method, and
// resolve_context. resolve releases the GIL when it has a fallback, which
// takes it back to call the Python callable.
#include <nanobind/stl/function.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/shared_ptr.h>

#include <memory>

#include "tessarin/common/display.h"
#include "record.h"
#include "register.h"
#include "tessarin/turnmend/resolver.h"
#include "tessarin/turnmend/vocabulary.h"

namespace tessarin::py {

using namespace tessarin::turnmend;
using namespace nb::literals;

template <>
struct TypeLabel<CardRef> {
  static constexpr const char* text = "TurnContextCard or None";
};
template <>
struct TypeLabel<IntentDelta> {
  static constexpr const char* text = "IntentDelta";
};
template <>
struct TypeLabel<RequiredColumns> {
  static constexpr const char* text = "dict of str to list of str";
};
template <>
struct TypeLabel<std::vector<ContextCandidate>> {
  static constexpr const char* text = "list of ContextCandidate";
};

// The card of a candidate: None, or the caller's card object itself.
template <>
struct FieldConverter<CardRef> {
  static CardRef convert(nb::handle value, const std::string& owner, const char* field) {
    if (value.is_none()) return nullptr;
    CardRef out;
    if (!nb::try_cast<CardRef>(value, out))
      raise_field_type(owner, field, TypeLabel<CardRef>::text, value);
    return out;
  }
};

namespace {

// ---------------------------------------------------------------- conversions

std::string text_arg(nb::handle value, const char* what) { return to_utf8(value, what); }

// Items of any iterable.
template <class F>
void for_each_in(nb::handle iterable, const char* what, F&& f) {
  if (PyUnicode_Check(iterable.ptr()) || PyDict_Check(iterable.ptr()))
    throw nb::type_error(
        (std::string(what) + " must be a list, got " + python_type_name(iterable)).c_str());
  nb::object iterator = nb::steal(PyObject_GetIter(iterable.ptr()));
  if (!iterator.is_valid()) throw nb::python_error();
  while (PyObject* item = PyIter_Next(iterator.ptr())) {
    nb::object owned = nb::steal(item);
    f(nb::handle(owned));
  }
  if (PyErr_Occurred()) throw nb::python_error();
}

CardRef card_ref(nb::handle item, const char* what) {
  CardRef card;
  if (!nb::try_cast<CardRef>(item, card))
    throw nb::type_error(
        (std::string(what) + " must hold TurnContextCard records, got " + python_type_name(item))
            .c_str());
  return card;
}

// A list of cards; None items become null references when allowed.
CardList card_list(nb::handle cards, bool allow_none, const char* what = "cards") {
  CardList out;
  if (cards.is_none()) return out;
  for_each_in(cards, what, [&](nb::handle item) {
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
  for_each_in(cards, "context_cards", [&](nb::handle item) {
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
  for_each_in(candidates, "candidates", [&](nb::handle item) {
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

WordSet word_set(nb::handle words) {
  WordSet out;
  for_each_in(words, "stopwords",
              [&](nb::handle item) { out.insert(to_utf8(item, "a stop word")); });
  return out;
}

StringList string_items(nb::handle items, const char* what) {
  StringList out;
  for_each_in(items, what, [&](nb::handle item) { out.push_back(to_utf8(item, what)); });
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

template <class T>
nb::object optional_object(const std::optional<T>& value) {
  return value ? nb::cast(*value) : nb::none();
}

// ---------------------------------------------------------------- fallback

// Calls a Python callable as the resolver's fallback. Python errors count
// as no answer, except KeyboardInterrupt and SystemExit, which abort the
// resolve and reach its caller.
struct PythonFallback {
  std::shared_ptr<PyObject> callable;

  explicit PythonFallback(nb::handle fn)
      : callable(fn.inc_ref().ptr(), [](PyObject* p) {
          if (nb::detail::cleanup_guard guard{}) Py_DECREF(p);
        }) {}

  std::optional<JsonMap> operator()(const std::string& question,
                                    const std::vector<JsonMap>& summaries,
                                    const JsonMap& preliminary) const {
    nb::gil_scoped_acquire gil;
    try {
      nb::list summary_list;
      for (const JsonMap& summary : summaries) summary_list.append(from_json_map(summary));
      nb::object answer = nb::handle(callable.get())(nb::str(question.data(), question.size()),
                                                     summary_list, from_json_map(preliminary));
      if (answer.is_none()) return std::nullopt;
      if (!PyDict_Check(answer.ptr())) throw std::invalid_argument("fallback answer is not a dict");
      return to_json_map(answer, "the fallback answer");
    } catch (nb::python_error& e) {
      if (e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit))
        throw FallbackInterrupted(std::current_exception());
      // Dropped here, with the GIL held.
      throw std::runtime_error("fallback callable failed");
    }
  }
};

// A Python callable held by a resolver can refer back to the resolver (a
// module-level function sees the module's globals), so Turnmend takes part
// in cyclic garbage collection.
int turnmend_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  const Turnmend* resolver = nb::inst_ptr<Turnmend>(self);
  if (const PythonFallback* py = resolver->llm_fallback.target<PythonFallback>())
    Py_VISIT(py->callable.get());
  return 0;
}

int turnmend_clear(PyObject* self) {
  if (nb::inst_ready(self)) nb::inst_ptr<Turnmend>(self)->llm_fallback = nullptr;
  return 0;
}

PyType_Slot turnmend_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(turnmend_traverse)},
                                {Py_tp_clear, reinterpret_cast<void*>(turnmend_clear)},
                                {0, nullptr}};

ResolverLLMFallback fallback_from_python(nb::handle fn) {
  if (fn.is_none()) return nullptr;
  if (!PyCallable_Check(fn.ptr()))
    throw nb::type_error(("llm_fallback must be callable, got " + python_type_name(fn)).c_str());
  return PythonFallback(fn);
}

nb::object fallback_to_python(const ResolverLLMFallback& fn) {
  if (!fn) return nb::none();
  if (const PythonFallback* py = fn.target<PythonFallback>()) return nb::borrow(py->callable.get());
  return nb::cpp_function(fn);
}

ResolverConfig config_from_python(nb::handle config) {
  if (config.is_none()) return ResolverConfig{};
  const ResolverConfig* c = nullptr;
  if (!nb::try_cast<const ResolverConfig*>(config, c) || !c)
    throw nb::type_error(
        ("config must be ResolverConfig or None, got " + python_type_name(config)).c_str());
  return *c;
}

// The caller's card records, each replaced in `sources` by a private copy
// taken under the GIL: another thread may assign a card's fields while the
// resolve runs without it. Candidates still hand back the caller's objects.
class CardSnapshots {
 public:
  explicit CardSnapshots(std::vector<CardSource>& sources) {
    originals_.reserve(sources.size());
    for (CardSource& source : sources) {
      CardRef* card = std::get_if<CardRef>(&source);
      if (!card || !*card) continue;
      CardRef copy = std::make_shared<const TurnContextCard>(**card);
      originals_.emplace_back(copy.get(), std::move(*card));
      *card = std::move(copy);
    }
  }

  // Points the resolution's candidates back at the caller's cards.
  void restore(ContextResolution& resolution) const {
    for (ContextCandidate& candidate : resolution.candidates) {
      for (const auto& [copy, original] : originals_) {
        if (candidate.card.get() == copy) {
          candidate.card = original;
          break;
        }
      }
    }
  }

 private:
  std::vector<std::pair<const TurnContextCard*, CardRef>> originals_;
};

ContextResolution resolve_released(const Turnmend& resolver, nb::handle current_question,
                                   nb::handle context_cards,
                                   std::optional<std::int64_t> active_turn_id,
                                   std::optional<std::string> preferred_task_type) {
  std::string question =
      current_question.is_none() ? std::string() : text_arg(current_question, "current_question");
  std::vector<CardSource> sources = card_sources(context_cards);
  // Without a fallback no Python code runs until the resolve returns, so
  // holding the GIL keeps the caller's cards still; copying them would cost
  // as much as the resolve itself.
  if (!resolver.llm_fallback)
    return resolver.resolve(question, sources, active_turn_id, preferred_task_type);
  // The fallback runs Python code, which may assign card fields: work on
  // copies and let other threads run meanwhile.
  CardSnapshots snapshots(sources);
  ContextResolution result;
  {
    nb::gil_scoped_release release;
    result = resolver.resolve(question, sources, active_turn_id, preferred_task_type);
  }
  snapshots.restore(result);
  return result;
}

// ---------------------------------------------------------------- registration

void register_errors() {
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const CardMapError& e) {
      PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const DeltaMapError& e) {
      PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const DivisionByZero& e) {
      PyErr_SetString(PyExc_ZeroDivisionError, e.what());
    } catch (const FallbackInterrupted& e) {
      try {
        std::rethrow_exception(e.cause);
      } catch (nb::python_error& original) {
        original.restore();
      } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "fallback interrupted");
      }
    }
  });
}

nb::frozenset frozen(const WordSet& words) {
  nb::list items;
  for (const std::string& w : words.words()) items.append(nb::str(w.data(), w.size()));
  return nb::frozenset(items);
}

nb::tuple phrase_tuple(const std::vector<std::string_view>& phrases) {
  nb::list items;
  for (std::string_view p : phrases) items.append(nb::str(p.data(), p.size()));
  return nb::tuple(items);
}

template <std::size_t N>
nb::tuple vocabulary_tuple(const std::string_view (&values)[N]) {
  nb::list items;
  for (std::string_view v : values) items.append(nb::str(v.data(), v.size()));
  return nb::tuple(items);
}

nb::dict alias_dict(const AliasTable& table) {
  nb::dict out;
  for (const AliasEntry& entry : table)
    out[nb::str(entry.key.data(), entry.key.size())] = phrase_tuple(entry.spellings);
  return out;
}

void register_text(nb::module_& m) {
  m.def(
      "split_identifier", [](const JsonValue& value) { return split_identifier(value); },
      "value"_a.none(),
      "Turn an identifier such as order_date, order-date or sales.orderDate into lower-case "
      "words separated by blanks (None gives \"\").");
  m.def(
      "tokenize",
      [](const JsonValue& text, nb::handle stopwords) {
        if (stopwords.is_none()) return tokenize(text);
        WordSet stop = word_set(stopwords);
        return tokenize(text, &stop);
      },
      "text"_a.none(), "stopwords"_a = nb::none(),
      "Lower-case ASCII word runs of the identifier-split display text of `text`, without the "
      "stop words (STOPWORDS when `stopwords` is None).");
  m.def(
      "compact_text",
      [](const JsonValue& value, std::int64_t max_chars) { return compact_text(value, max_chars); },
      "value"_a.none(), "max_chars"_a = 500,
      "One-line text of any value (non-strings as compact JSON), white space collapsed, cut to "
      "`max_chars` characters with a trailing \"...\".");
  m.def("estimate_tokens", &estimate_tokens, "text"_a, "chars_per_token"_a = 4.0,
        "Rough token count: ceil(len(text) / chars_per_token), at least 1 for non-empty text. "
        "Raises ZeroDivisionError for chars_per_token 0.");
  m.def(
      "overlap_score",
      [](nb::handle a, nb::handle b) {
        return overlap_score(string_items(a, "a"), string_items(b, "b"));
      },
      "a"_a, "b"_a,
      "Overlap coefficient of two string collections: |A & B| / min(|A|, |B|), 0.0 when either "
      "is empty.");
  m.def("now_ms", &now_ms, "Current wall-clock time in milliseconds since the Unix epoch.");
}

void register_vocabulary(nb::module_& m) {
  const Vocabulary& v = vocabulary();
  m.attr("STOPWORDS") = frozen(v.STOPWORDS);
  m.attr("FOLLOWUP_TERMS") = frozen(v.FOLLOWUP_TERMS);
  m.attr("MODIFY_TERMS") = frozen(v.MODIFY_TERMS);
  m.attr("SUGGESTION_PHRASES") = phrase_tuple(v.SUGGESTION_PHRASES);
  m.attr("CLARIFICATION_RISK_PHRASES") = phrase_tuple(v.CLARIFICATION_RISK_PHRASES);
  m.attr("GRANULARITY_ALIASES") = alias_dict(v.GRANULARITY_ALIASES);
  m.attr("AGGREGATION_ALIASES") = alias_dict(v.AGGREGATION_ALIASES);
  nb::dict ordinals;
  for (const OrdinalWord& o : v.ORDINAL_WORDS)
    ordinals[nb::str(o.word.data(), o.word.size())] = nb::int_(o.value);
  m.attr("ORDINAL_WORDS") = ordinals;
  m.attr("_DURATION_UNITS_PATTERN") = nb::str(v.DURATION_UNITS_PATTERN.c_str());

  const std::pair<const char*, const Regex*> patterns[] = {
      {"_WORD_RE", &v.WORD_RE},
      {"_CAMEL_RE", &v.CAMEL_RE},
      {"TOP_N_RE", &v.TOP_N_RE},
      {"BOTTOM_N_RE", &v.BOTTOM_N_RE},
      {"TURN_REF_RE", &v.TURN_REF_RE},
      {"BACKREF_NUMERIC_RE", &v.BACKREF_NUMERIC_RE},
      {"ORDINAL_SUFFIX_RE", &v.ORDINAL_SUFFIX_RE},
      {"GENERIC_NUMBER_RE", &v.GENERIC_NUMBER_RE}};
  for (const auto& [name, pattern] : patterns) {
    // The pattern class is registered by the regex bindings; without it the
    // constants are left out rather than failing the import.
    try {
      m.attr(name) = nb::cast(pattern, nb::rv_policy::reference);
    } catch (const std::exception&) {
      PyErr_Clear();
    }
  }

  // Vocabulary values, from which the Python package builds its StrEnums.
  m.attr("_CONTEXT_TYPES") = vocabulary_tuple(context_types::kAll);
  m.attr("_TASK_TYPES") = vocabulary_tuple(task_types::kAll);
  m.attr("_ARTIFACT_TYPES") = vocabulary_tuple(artifact_types::kAll);
  m.attr("_OPERATION_TYPES") = vocabulary_tuple(operations::kAll);
}

void register_card(nb::module_& m) {
  Record<TurnContextCard> card(m, "TurnContextCard",
                               "Compact memory of one earlier AI turn, stored by the caller after "
                               "every successful turn and passed back with the next message.");
  card.field("turn_id", &TurnContextCard::turn_id, required, "Turn id; larger is more recent.")
      .field("session_id", &TurnContextCard::session_id)
      .field("tenant_id", &TurnContextCard::tenant_id)
      .field("user_question", &TurnContextCard::user_question)
      .field("resolved_question", &TurnContextCard::resolved_question)
      .field("assistant_answer_summary", &TurnContextCard::assistant_answer_summary)
      .field("task_type", &TurnContextCard::task_type)
      .field("artifact_type", &TurnContextCard::artifact_type)
      .field("artifact_id", &TurnContextCard::artifact_id)
      .field("artifact_label", &TurnContextCard::artifact_label)
      .field("topic_keywords", &TurnContextCard::topic_keywords)
      .field("entities", &TurnContextCard::entities)
      .field("selected_metadata_ids", &TurnContextCard::selected_metadata_ids)
      .field("query_state", &TurnContextCard::query_state)
      .field("retrieval_state", &TurnContextCard::retrieval_state)
      .field("output_state", &TurnContextCard::output_state)
      .field("sql", &TurnContextCard::sql)
      .field("config", &TurnContextCard::config)
      .field("answer_excerpt", &TurnContextCard::answer_excerpt)
      .field("created_at_ms", &TurnContextCard::created_at_ms)
      .field("quality_score", &TurnContextCard::quality_score)
      .field("is_active", &TurnContextCard::is_active)
      .field("extra", &TurnContextCard::extra);
  nb::class_<TurnContextCard>& cls = card.finish();
  cls.def("searchable_text", &TurnContextCard::searchable_text,
          "The card's text for keyword matching: its questions, summary, types, artifact, "
          "keywords, entities, metadata ids and compact states joined by blanks.")
      .def("tokens", &TurnContextCard::tokens, "tokenize(searchable_text()).")
      .def("active_tables", &TurnContextCard::active_tables,
           "query_state \"active_tables\", else \"tables\", as a list.")
      .def("active_columns", &TurnContextCard::active_columns,
           "query_state \"active_columns\", else \"columns\", as a list.")
      .def("required_columns_by_table", &TurnContextCard::required_columns_by_table,
           "Columns per table from \"required_columns\" / \"columns_by_table\", or the active "
           "columns of a single active table.")
      .def("to_resolver_summary", &TurnContextCard::to_resolver_summary, "max_chars"_a = 1200,
           "Compact map of the card handed to the LLM fallback.")
      .def_static("_compact_state", &TurnContextCard::_compact_state, "state"_a,
                  "The kept state keys of `state`, in the kept-key order.")
      .def_static(
          "from_dict",
          [](nb::handle mapping) {
            return TurnContextCard::from_map(to_json_map(mapping, "a card map"));
          },
          "mapping"_a,
          "Card from a map of field names to values. TypeError for an unknown key, a missing "
          "\"turn_id\" or a value that does not fit its field.");
}

void register_records(nb::module_& m) {
  register_card(m);

  Record<IntentDelta> delta(m, "IntentDelta",
                            "The generic change the current message asks for of a previous "
                            "analysis.");
  delta.field("operation", &IntentDelta::operation)
      .field("granularity", &IntentDelta::granularity)
      .field("dimension_hint", &IntentDelta::dimension_hint)
      .field("metric_hint", &IntentDelta::metric_hint)
      .field("filter_hint", &IntentDelta::filter_hint)
      .field("sort_hint", &IntentDelta::sort_hint)
      .field("compare_hint", &IntentDelta::compare_hint)
      .field("top_n", &IntentDelta::top_n)
      .field("bottom_n", &IntentDelta::bottom_n)
      .field("replace_numeric_value", &IntentDelta::replace_numeric_value)
      .field("raw_hints", &IntentDelta::raw_hints);
  delta.finish().def("to_dict", &IntentDelta::to_dict, "The delta as a map of its 11 fields.");

  Record<ContextCandidate> candidate(m, "ContextCandidate",
                                     "One earlier turn scored as the possible base of the "
                                     "message; `card` is the caller's card object itself.");
  candidate.field("turn_id", &ContextCandidate::turn_id, required)
      .field("score", &ContextCandidate::score, required)
      .field("reasons", &ContextCandidate::reasons)
      .field("card", &ContextCandidate::card);
  candidate.finish().def("to_dict", &ContextCandidate::to_dict,
                         "turn_id, score rounded to 6 places, and reasons.");

  Record<ContextResolution> resolution(m, "ContextResolution",
                                       "The result of resolving one user message.");
  resolution.field("context_type", &ContextResolution::context_type, required)
      .field("current_question", &ContextResolution::current_question, required)
      .field("resolved_question", &ContextResolution::resolved_question, required)
      .field("metadata_search_query", &ContextResolution::metadata_search_query, required)
      .field("base_turn_id", &ContextResolution::base_turn_id)
      .field("use_previous_state", &ContextResolution::use_previous_state)
      .field("intent_delta", &ContextResolution::intent_delta)
      .field("required_tables", &ContextResolution::required_tables)
      .field("required_columns", &ContextResolution::required_columns)
      .field("anchor_metadata_ids", &ContextResolution::anchor_metadata_ids)
      .field("allow_related_tables", &ContextResolution::allow_related_tables)
      .field("confidence", &ContextResolution::confidence)
      .field("reason", &ContextResolution::reason)
      .field("clarification_question", &ContextResolution::clarification_question)
      .field("candidates", &ContextResolution::candidates, nb::rv_policy::copy)
      .field("route", &ContextResolution::route)
      .field("extra", &ContextResolution::extra);
  resolution.finish().def("to_dict", &ContextResolution::to_dict, "include_candidates"_a = true,
                          "The resolution as a map, field by field; \"candidates\" left out "
                          "when include_candidates is false.");

  Record<ResolverConfig> config(m, "ResolverConfig",
                                "Weights, thresholds, limits and switches of the resolver.");
  config.field("max_recent_cards", &ResolverConfig::max_recent_cards)
      .field("max_cards_for_llm_fallback", &ResolverConfig::max_cards_for_llm_fallback)
      .field("followup_threshold", &ResolverConfig::followup_threshold)
      .field("clarification_margin", &ResolverConfig::clarification_margin)
      .field("fresh_question_min_tokens", &ResolverConfig::fresh_question_min_tokens)
      .field("recency_weight", &ResolverConfig::recency_weight)
      .field("keyword_overlap_weight", &ResolverConfig::keyword_overlap_weight)
      .field("entity_overlap_weight", &ResolverConfig::entity_overlap_weight)
      .field("artifact_match_weight", &ResolverConfig::artifact_match_weight)
      .field("explicit_reference_weight", &ResolverConfig::explicit_reference_weight)
      .field("active_card_bonus", &ResolverConfig::active_card_bonus)
      .field("task_type_match_weight", &ResolverConfig::task_type_match_weight)
      .field("prefer_latest_for_pronoun_followup",
             &ResolverConfig::prefer_latest_for_pronoun_followup)
      .field("ask_clarification_when_ambiguous", &ResolverConfig::ask_clarification_when_ambiguous)
      .field("use_llm_fallback", &ResolverConfig::use_llm_fallback)
      .field("llm_fallback_confidence_ceiling", &ResolverConfig::llm_fallback_confidence_ceiling)
      .field("max_metadata_query_terms", &ResolverConfig::max_metadata_query_terms)
      .field("include_previous_required_columns",
             &ResolverConfig::include_previous_required_columns)
      .field("include_anchor_metadata_ids", &ResolverConfig::include_anchor_metadata_ids)
      .field("include_debug_candidates", &ResolverConfig::include_debug_candidates);
  config.finish();
}

using Cls = nb::class_<Turnmend>;

void register_pipeline_steps(Cls& cls) {
  cls.def(
         "_fresh",
         [](const Turnmend& self, const std::string& current_question, nb::handle candidates,
            const std::string& reason) {
           return self._fresh(current_question, candidate_list(candidates), reason);
         },
         "current_question"_a, "candidates"_a = nb::none(), "reason"_a = "",
         "A fresh-question resolution of the message.")
      .def(
          "_clarify",
          [](const Turnmend& self, const std::string& current_question, nb::handle candidates,
             const std::string& reason, const std::string& question) {
            return self._clarify(current_question, candidate_list(candidates), reason, question);
          },
          "current_question"_a, "candidates"_a, "reason"_a, "question"_a,
          "A clarification resolution asking `question` back.")
      .def(
          "_build_contextual_resolution",
          [](const Turnmend& self, const std::string& context_type,
             const std::string& current_question, const ContextCandidate& base_candidate,
             const IntentDelta& intent_delta, nb::handle candidates, const std::string& route,
             const std::string& reason) {
            return self._build_contextual_resolution(context_type, current_question, base_candidate,
                                                     intent_delta, candidate_list(candidates),
                                                     route, reason);
          },
          "context_type"_a, "current_question"_a, "base_candidate"_a, "intent_delta"_a,
          "candidates"_a, "route"_a, "reason"_a, "A resolution built on the base candidate's card.")
      .def(
          "_finalize_resolution",
          [](const Turnmend& self, const ContextResolution& resolution, nb::handle cards,
             const JsonMap& preliminary) {
            return self._finalize_resolution(resolution, card_list(cards, false), preliminary);
          },
          "resolution"_a, "cards"_a, "preliminary"_a,
          "Offer a resolution below the confidence ceiling to the LLM fallback.")
      .def(
          "_normalize_cards",
          [](const Turnmend&, nb::handle cards) {
            return cards_to_python(Turnmend::_normalize_cards(card_sources(cards)));
          },
          "cards"_a, "Cards kept as given, card maps turned into cards, other items skipped.")
      .def(
          "_recent_cards",
          [](const Turnmend& self, nb::handle cards) {
            return cards_to_python(self._recent_cards(card_list(cards, false)));
          },
          "cards"_a, "The active cards (all when none is active), most recent first, capped.")
      .def(
          "_latest_active_turn_id",
          [](const Turnmend&, nb::handle cards) {
            return Turnmend::_latest_active_turn_id(card_list(cards, true));
          },
          "cards"_a, "Largest turn_id among the active cards, or None.");
}

void register_ranking_steps(Cls& cls) {
  cls.def(
         "_rank_candidates",
         [](const Turnmend& self, const std::string& current_question, nb::handle cards,
            std::optional<std::int64_t> explicit_turn_id,
            std::optional<std::string> explicit_artifact_ref,
            std::optional<std::int64_t> active_turn_id,
            std::optional<std::string> preferred_task_type) {
           return self._rank_candidates(current_question, card_list(cards, false), explicit_turn_id,
                                        explicit_artifact_ref, active_turn_id, preferred_task_type);
         },
         "current_question"_a, "cards"_a, "explicit_turn_id"_a = nb::none(),
         "explicit_artifact_ref"_a = nb::none(), "active_turn_id"_a = nb::none(),
         "preferred_task_type"_a = nb::none(), "One scored candidate per card, best first.")
      .def(
          "_choose_base_for_contextual_request",
          [](const Turnmend& self, nb::handle best, nb::handle second,
             const std::string& current_question, bool ambiguous_reference) -> nb::object {
            const ContextCandidate* chosen = self._choose_base_for_contextual_request(
                optional_candidate(best, "best"), optional_candidate(second, "second"),
                current_question, ambiguous_reference);
            return chosen ? nb::borrow(best) : nb::none();
          },
          "best"_a.none(), "second"_a.none(), "current_question"_a, "ambiguous_reference"_a,
          "The best candidate when it is a safe base, else None.")
      .def(
          "_detect_explicit_turn_reference",
          [](const Turnmend&, const std::string& question) {
            return Turnmend::_detect_explicit_turn_reference(question);
          },
          "question"_a, "Turn number named in the message, or None.")
      .def(
          "_detect_artifact_reference",
          [](const Turnmend&, const std::string& question) {
            return Turnmend::_detect_artifact_reference(question);
          },
          "question"_a, "Artifact reference text of the message, or None.")
      .def(
          "_artifact_matches",
          [](const Turnmend&, const std::string& ref, const TurnContextCard& card) {
            return Turnmend::_artifact_matches(ref, card);
          },
          "ref"_a, "card"_a, "Whether the artifact reference names the card.")
      .def(
          "_build_ambiguity_question",
          [](const Turnmend&, nb::handle candidates) {
            return Turnmend::_build_ambiguity_question(candidate_list(candidates));
          },
          "candidates"_a, "The question asking which previous result to use.");
}

void register_signal_steps(Cls& cls) {
  auto predicate = [&cls](const char* name, bool (*fn)(const std::string&), const char* doc) {
    cls.def(
        name, [fn](const Turnmend&, const std::string& question) { return fn(question); },
        "question"_a, doc);
  };
  predicate("_is_suggestion_request", &Turnmend::_is_suggestion_request,
            "Whether the message asks for suggestions or next questions.");
  predicate("_has_followup_signal", &Turnmend::_has_followup_signal,
            "Whether the message carries a follow-up term or a clarification-risk phrase.");
  predicate("_has_pronoun_followup", &Turnmend::_has_pronoun_followup,
            "Whether the message refers back with a pronoun-like word.");
  predicate("_has_ambiguous_reference", &Turnmend::_has_ambiguous_reference,
            "Whether answering without asking back is risky.");
  cls.def(
         "_has_modify_signal",
         [](const Turnmend&, const std::string& question, const IntentDelta& delta) {
           return Turnmend::_has_modify_signal(question, delta);
         },
         "question"_a, "delta"_a, "Whether the message asks to change a previous result.")
      .def("_looks_like_complete_question", &Turnmend::_looks_like_complete_question, "question"_a,
           "Whether the message reads as a complete standalone question.");
}

void register_delta_steps(Cls& cls) {
  auto hint = [&cls](const char* name, std::optional<std::string> (*fn)(const std::string&),
                     const char* doc) {
    cls.def(
        name, [fn](const Turnmend&, const std::string& q) { return fn(q); }, "q"_a, doc);
  };
  cls.def(
      "_extract_intent_delta",
      [](const Turnmend&, const std::string& question) {
        return Turnmend::_extract_intent_delta(question);
      },
      "question"_a, "The change of a previous analysis that the message asks for.");
  hint("_extract_metric_hint", &Turnmend::_extract_metric_hint,
       "Metric named after an aggregation word of the normalized message, or None.");
  hint("_extract_dimension_hint", &Turnmend::_extract_dimension_hint,
       "Grouping dimension of the normalized message, or None.");
  hint("_extract_filter_hint", &Turnmend::_extract_filter_hint,
       "Filter text of the normalized message, or None.");
  cls.def_static("_clean_hint", &Turnmend::_clean_hint, "hint"_a,
                 "A captured hint cut at its first stop word, trimmed; \"\" when unusable.");
}

void register_composition_steps(Cls& cls) {
  cls.def(
         "_compose_resolved_question",
         [](const Turnmend& self, const std::string& current_question, const TurnContextCard& base,
            const IntentDelta& delta, const std::string& context_type, nb::handle candidates,
            nb::handle base_candidate) {
           return self._compose_resolved_question(
               current_question, base, delta, context_type, candidate_list(candidates),
               optional_candidate(base_candidate, "base_candidate"));
         },
         "current_question"_a, "base"_a, "delta"_a, "context_type"_a, "candidates"_a = nb::none(),
         "base_candidate"_a = nb::none(), "The standalone question for the caller's LLM.")
      .def(
          "_merge_top_candidate_states",
          [](const Turnmend&, const ContextCandidate& base_candidate, nb::handle candidates,
             std::int64_t top_n) {
            return Turnmend::_merge_top_candidate_states(base_candidate, candidate_list(candidates),
                                                         top_n);
          },
          "base_candidate"_a, "candidates"_a, "top_n"_a = 3,
          "Query states of the top candidates merged into one.")
      .def(
          "_state_to_question_parts",
          [](const Turnmend&, const JsonMap& state) {
            return Turnmend::_state_to_question_parts(state);
          },
          "state"_a, "Metric, grouping, filter and granularity texts of a query state.")
      .def(
          "_filters_to_text",
          [](const Turnmend&, const JsonValue& filters) {
            return Turnmend::_filters_to_text(filters);
          },
          "filters"_a.none(), "Text of a state's filters.")
      .def(
          "_render_question_parts",
          [](const Turnmend&, nb::handle parts, const std::string& fallback) {
            return Turnmend::_render_question_parts(question_parts(parts), fallback);
          },
          "parts"_a, "fallback"_a, "The \"Show ...\" sentence of the parts, or the fallback.")
      .def(
          "_apply_numeric_override",
          [](const Turnmend&, nb::handle parts, const IntentDelta& delta) {
            QuestionParts converted = question_parts(parts);
            QuestionParts before = converted;
            Turnmend::_apply_numeric_override(converted, delta);
            for (const auto& [key, value] : converted) {
              const std::string* old = before.find(key);
              if (!old || *old != value)
                PyDict_SetItemString(parts.ptr(), key.c_str(),
                                     nb::str(value.data(), value.size()).ptr());
            }
          },
          "parts"_a, "delta"_a,
          "Replace the last number of the filter (else metric) part, in place.");
}

void register_query_steps(Cls& cls) {
  cls.def("_compose_metadata_search_query", &Turnmend::_compose_metadata_search_query,
          "current_question"_a, "base"_a, "delta"_a, "resolved_question"_a,
          "Short keyword query for metadata selection.")
      .def("_constraints_from_base", &Turnmend::_constraints_from_base, "base"_a, "delta"_a,
           "(required tables, required columns per table) carried over from the base card.")
      .def("_limit_query_terms", &Turnmend::_limit_query_terms, "text"_a,
           "At most max_metadata_query_terms distinct words of the text, most frequent first.");
}

void register_fallback_steps(Cls& cls) {
  cls.def(
         "_try_llm_fallback",
         [](const Turnmend& self, const std::string& current_question, nb::handle cards,
            const JsonMap& preliminary) {
           return self._try_llm_fallback(current_question, card_list(cards, false), preliminary);
         },
         "current_question"_a, "cards"_a, "preliminary"_a,
         "The fallback callable's resolution, or None when it is off, absent or unusable.")
      .def(
          "_resolution_from_llm_dict",
          [](const Turnmend& self, const std::string& current_question, const JsonValue& data,
             nb::handle cards) {
            return self._resolution_from_llm_dict(current_question, data, card_list(cards, false));
          },
          "current_question"_a, "data"_a.none(), "cards"_a,
          "A resolution read from a fallback answer map (raises when it is unusable).");
}

void register_resolver(nb::module_& m) {
  Cls cls(m, "Turnmend",
          "Rule-based resolver of contextual AI questions: decides how the current message "
          "relates to the caller's recent turn cards.",
          nb::type_slots(turnmend_slots));
  cls.def(
         "__init__",
         [](Turnmend* self, nb::handle config, nb::handle llm_fallback) {
           new (self) Turnmend(config_from_python(config), fallback_from_python(llm_fallback));
         },
         "config"_a = nb::none(), "llm_fallback"_a = nb::none())
      .def_prop_ro(
          "config", [](Turnmend& self) -> ResolverConfig& { return self.config; },
          nb::rv_policy::reference_internal, "The resolver's ResolverConfig.")
      .def_prop_ro(
          "llm_fallback",
          [](const Turnmend& self) { return fallback_to_python(self.llm_fallback); },
          "The fallback callable given at construction, or None.")
      .def(
          "resolve",
          [](const Turnmend& self, nb::handle current_question, nb::handle context_cards,
             std::optional<std::int64_t> active_turn_id,
             std::optional<std::string> preferred_task_type) {
            // A private copy, so a config changed from another thread cannot
            // change under the running resolve.
            Turnmend snapshot = self;
            return resolve_released(snapshot, current_question, context_cards, active_turn_id,
                                    std::move(preferred_task_type));
          },
          "current_question"_a.none(), "context_cards"_a = nb::none(), nb::kw_only(),
          "active_turn_id"_a = nb::none(), "preferred_task_type"_a = nb::none(),
          "Resolve the message against the cards (records or card maps; None items are "
          "skipped). TypeError for a card map with an unknown key, no \"turn_id\" or an unfitting "
          "value.");
  register_pipeline_steps(cls);
  register_ranking_steps(cls);
  register_signal_steps(cls);
  register_delta_steps(cls);
  register_composition_steps(cls);
  register_query_steps(cls);
  register_fallback_steps(cls);

  m.def(
      "resolve_context",
      [](nb::handle current_question, nb::handle context_cards,
         std::optional<std::int64_t> active_turn_id, std::optional<std::string> preferred_task_type,
         nb::handle config, nb::handle llm_fallback) {
        Turnmend resolver(config_from_python(config), fallback_from_python(llm_fallback));
        return resolve_released(resolver, current_question, context_cards, active_turn_id,
                                std::move(preferred_task_type));
      },
      "current_question"_a.none(), "context_cards"_a = nb::none(), nb::kw_only(),
      "active_turn_id"_a = nb::none(), "preferred_task_type"_a = nb::none(),
      "config"_a = nb::none(), "llm_fallback"_a = nb::none(),
      "Turnmend(config, llm_fallback).resolve(...) in one call.");
  m.def("_demonstration_text", &demonstration_text, "The text the demonstration run prints.");
}

}  // namespace

void register_turnmend(nb::module_& m) {
  register_errors();
  register_text(m);
  register_vocabulary(m);
  register_records(m);
  register_resolver(m);
}

}  // namespace tessarin::py
