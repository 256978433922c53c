// Python surface of the resolver, tessarin._core.turnmend: the text
// primitives, the vocabulary constants and the error translation here; the
// records, the resolver and its steps in register_turnmend_*.cpp.
#include "register.h"
#include "tessarin/turnmend/vocabulary.h"
#include "turnmend_bindings.h"

namespace tessarin::py {

using namespace tessarin::turnmend;
using namespace nb::literals;

namespace {

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
      restore_interrupt(e.cause);
    }
  });
}

nb::frozenset frozen(const WordSet& words) { return nb::frozenset(str_list(words.words())); }

nb::tuple phrase_tuple(const std::vector<std::string_view>& phrases) {
  return nb::tuple(str_list(phrases));
}

template <std::size_t N>
nb::tuple vocabulary_tuple(const std::string_view (&values)[N]) {
  return nb::tuple(str_list(values));
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
        std::vector<std::string> words = str_items(stopwords, "stopwords", "a stop word");
        WordSet stop(words.begin(), words.end());
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
        return overlap_score(str_items(a, "a", "a"), str_items(b, "b", "b"));
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

}  // namespace

void register_turnmend(nb::module_& m) {
  register_errors();
  register_text(m);
  register_vocabulary(m);
  register_turnmend_records(m);
  register_turnmend_resolver(m);
}

}  // namespace tessarin::py
