// Python surface of tessarin._core.schemasift: text functions, vocabularies
// and patterns, IntentParser, CatalogNormalizer and the error translation.
// The records are added by register_schemasift_records.cpp, the selector by
// register_schemasift_selector.cpp.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <exception>
#include <string>
#include <vector>

#include "convert.h"
#include "record.h"
#include "register.h"
#include "register_tfidf.h"
#include "schemasift_catalog_input.h"
#include "tessarin/schemasift/catalog.h"
#include "tessarin/schemasift/intent.h"
#include "tessarin/schemasift/normalizer.h"
#include "tessarin/schemasift/records.h"
#include "tessarin/schemasift/text.h"

namespace tessarin::py {

namespace {

namespace ss = tessarin::schemasift;

// ---- conversions ----

nb::frozenset frozenset_of(const ss::WordSet& words) { return nb::frozenset(str_list(words)); }

template <std::size_t N>
nb::tuple tuple_of(const std::array<std::string_view, N>& items) {
  return nb::tuple(str_list(items));
}

// float(value) of Python, or default_value when float() raises.
double safe_float_of(nb::handle value, double default_value) {
  if (value.is_none()) return default_value;
  if (PyUnicode_Check(value.ptr()))
    return ss::safe_float(JsonValue(to_utf8(value, "value")), default_value);
  PyObject* number = PyNumber_Float(value.ptr());
  if (!number) {
    PyErr_Clear();
    return default_value;
  }
  double result = PyFloat_AsDouble(number);
  Py_DECREF(number);
  return result;
}

void translate_errors(const std::exception_ptr& error, void*) {
  try {
    std::rethrow_exception(error);
  } catch (const ss::CatalogShapeError& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const ss::ZeroDivisionError& e) {
    PyErr_SetString(PyExc_ZeroDivisionError, e.what());
  }
}

// ---- documentation ----

constexpr const char* kTokenizeDoc =
    "tokenize(text, stopwords=None) -> list[str]\n\n"
    "Lower-cased ASCII word runs of the identifier-split text, stop words removed\n"
    "(DEFAULT_STOPWORDS when stopwords is None), in order, duplicates kept.";
constexpr const char* kSplitDoc =
    "_split_identifier(value) -> str\n\n"
    "Blanks for '_', '-' and '.', a blank before every ASCII capital but a leading\n"
    "one, then lower case: 'OrderDate' -> 'order date'.";
constexpr const char* kNormalizeTextDoc =
    "normalize_text(text) -> str\n\n"
    "Flattens a value to text: None is '', lists are joined by blanks, dicts give\n"
    "'key value' pieces, anything else its str().";
constexpr const char* kEstimateDoc =
    "estimate_tokens(text, chars_per_token=4.0) -> int\n\n"
    "0 for an empty text, else max(1, ceil(len(text) / chars_per_token)).";
constexpr const char* kStableHashDoc =
    "stable_hash(value) -> str\n\n"
    "First 16 hex digits of the SHA-256 of json.dumps(value, sort_keys=True,\n"
    "ensure_ascii=False): equal content with keys in any order hashes equal.";
constexpr const char* kSafeFloatDoc =
    "safe_float(value, default=0.0) -> float\n\n"
    "float(value), or default when value is None or does not convert.";

// ---- registration ----

void register_functions(nb::module_& m) {
  m.def(
      "tokenize",
      [](const std::string& text, nb::handle stopwords) {
        if (stopwords.is_none()) return ss::tokenize(text);
        auto words = word_set_skipping<ss::WordSet>(stopwords);
        return ss::tokenize(text, &words);
      },
      nb::arg("text"), nb::arg("stopwords") = nb::none(), kTokenizeDoc);
  m.def("_split_identifier", &ss::_split_identifier, nb::arg("value"), kSplitDoc);
  m.def("normalize_text", &ss::normalize_text, nb::arg("text").none(), kNormalizeTextDoc);
  m.def("estimate_tokens", &ss::estimate_tokens, nb::arg("text"), nb::arg("chars_per_token") = 4.0,
        kEstimateDoc);
  m.def("stable_hash", &ss::stable_hash, nb::arg("value").none(), kStableHashDoc);
  m.def("safe_float", &safe_float_of, nb::arg("value").none(), nb::arg("default") = 0.0,
        kSafeFloatDoc);
}

void register_pattern(nb::module_& m, const char* name, const Regex& pattern) {
  // The Pattern class is registered by the regex bindings; without it the
  // name is left out rather than failing the import.
  try {
    m.attr(name) = nb::cast(&pattern, nb::rv_policy::reference);
  } catch (const std::exception&) {
    PyErr_Clear();
  }
}

void register_vocabulary(nb::module_& m) {
  m.attr("DEFAULT_STOPWORDS") = frozenset_of(ss::DEFAULT_STOPWORDS);
  m.attr("DATE_TERMS") = frozenset_of(ss::DATE_TERMS);
  m.attr("METRIC_TERMS") = frozenset_of(ss::METRIC_TERMS);
  m.attr("DIMENSION_TERMS") = frozenset_of(ss::DIMENSION_TERMS);
  m.attr("TREND_WORDS") = frozenset_of(ss::TREND_WORDS);
  m.attr("ROW_LISTING_PHRASES") = tuple_of(ss::ROW_LISTING_PHRASES);
  m.attr("_COLUMN_ROLES") = tuple_of(ss::ColumnRole::ALL);
  m.attr("_STRATEGIES") = tuple_of(ss::Strategy::ALL);
  register_pattern(m, "_WORD_RE", ss::WORD_RE);
  register_pattern(m, "_CAMEL_RE", ss::CAMEL_RE);
  register_pattern(m, "TOP_N_RE", ss::TOP_N_RE);
  register_pattern(m, "BOTTOM_N_RE", ss::BOTTOM_N_RE);
}

void register_intent_parser(nb::module_& m) {
  nb::class_<ss::IntentParser>(m, "IntentParser",
                               "Rule-based parser of a question's intent signals.")
      .def(nb::init<>())
      .def("parse", &ss::IntentParser::parse, nb::arg("question"), "The QueryIntent of question.")
      .def("__getstate__", [](const ss::IntentParser&) { return nb::tuple(); })
      .def("__setstate__",
           [](ss::IntentParser& self, nb::tuple) { new (&self) ss::IntentParser(); })
      .def("__eq__", [](const ss::IntentParser&,
                        nb::handle other) { return nb::isinstance<ss::IntentParser>(other); })
      .def("__repr__", [](const ss::IntentParser&) { return "IntentParser()"; });
}

void register_normalizer(nb::module_& m) {
  nb::class_<ss::CatalogNormalizer>(m, "CatalogNormalizer",
                                    "Converts catalog dicts of any accepted shape into "
                                    "MetadataCatalog records.")
      .def(nb::init<>())
      .def_static("normalize", &normalize_catalog_object, nb::arg("catalog").none(),
                  nb::arg("database") = nb::none(),
                  "The MetadataCatalog of a catalog dict; TypeError naming the path of a\n"
                  "value of the wrong shape. The dict is not changed.")
      .def_static(
          "_normalize_converted",
          [](nb::handle catalog, std::optional<std::string> database) {
            if (!PyDict_Check(catalog.ptr()))
              throw nb::type_error(
                  ("catalog must be a map, got " + python_type_name(catalog)).c_str());
            JsonValue value = to_json(catalog);
            nb::gil_scoped_release release;
            return ss::CatalogNormalizer::normalize(value, database);
          },
          nb::arg("catalog").none(), nb::arg("database") = nb::none(),
          "normalize by way of a full JsonValue conversion (for tests).")
      .def_static("_infer_role", &ss::CatalogNormalizer::_infer_role, nb::arg("raw_col"),
                  "The column role of one raw column dict.")
      .def_static("_normalize_relationships", &ss::CatalogNormalizer::_normalize_relationships,
                  nb::arg("obj"),
                  "Relationships under 'relationships' (else 'joins') of a catalog or raw "
                  "table dict.");
}

}  // namespace

void register_schemasift(nb::module_& m) {
  nb::register_exception_translator(&translate_errors);
  register_functions(m);
  register_vocabulary(m);
  register_schemasift_catalog_records(m);
  register_intent_parser(m);
  register_normalizer(m);
  register_schemasift_selection_records(m);
  register_schemasift_selector(m);
  register_tfidf(m);
}

}  // namespace tessarin::py
