// Python surface of tessarin._core.schemasift, selector half: Schemasift
// with select and its internal steps, select_metadata, the two optional
// vector backends and demo_catalog.
//
// Python inputs are converted before the GIL is released for the selection
// itself. A MetadataCatalog passed to select is the caller's very object,
// changed in place.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>
#include <vector>

#include "convert.h"
#include "register.h"
#include "schemasift_catalog_input.h"
#include "schemasift_prepared.h"
#include "schemasift_python_backends.h"
#include "tessarin/schemasift/selector.h"

namespace tessarin::py {

namespace {

namespace ss = tessarin::schemasift;

// ---- conversions ----

[[noreturn]] void raise_type(const std::string& what, const char* expected, nb::handle value) {
  throw nb::type_error(
      (what + " must be " + expected + ", got " + python_type_name(value)).c_str());
}

// A list (or any other iterable but a str) of str; None gives no names.
std::vector<std::string> names_of(nb::handle value, const std::string& what) {
  std::vector<std::string> out;
  if (value.is_none()) return out;
  if (PyUnicode_Check(value.ptr()) || PyDict_Check(value.ptr()))
    raise_type(what, "a list of str", value);
  nb::object iterator = nb::steal(PyObject_GetIter(value.ptr()));
  if (!iterator.is_valid()) {
    PyErr_Clear();
    raise_type(what, "a list of str", value);
  }
  for (nb::handle item : nb::iter(value)) {
    if (!PyUnicode_Check(item.ptr())) raise_type(what + " entries", "str", item);
    out.push_back(to_utf8(item, what.c_str()));
  }
  return out;
}

ss::WordSet word_set_of(nb::handle value, const std::string& what) {
  std::vector<std::string> names = names_of(value, what);
  return ss::WordSet(names.begin(), names.end());
}

// The entries of a dict, each held: reading them can run Python code (a
// str subclass's __repr__, an iterable's __iter__) that changes the dict.
std::vector<std::pair<nb::object, nb::object>> held_items(nb::handle dict) {
  std::vector<std::pair<nb::object, nb::object>> items;
  items.reserve(static_cast<std::size_t>(PyDict_Size(dict.ptr())));
  PyObject *key, *item;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict.ptr(), &pos, &key, &item))
    items.emplace_back(nb::borrow(key), nb::borrow(item));
  return items;
}

// A dict from table name to a list of column names; None gives none.
ss::ColumnNamesByTable column_names_of(nb::handle value, const std::string& what) {
  ss::ColumnNamesByTable out;
  if (value.is_none()) return out;
  if (!PyDict_Check(value.ptr())) raise_type(what, "a dict of lists of str", value);
  for (const auto& [key, item] : held_items(value)) {
    if (!PyUnicode_Check(key.ptr())) raise_type(what + " keys", "str", key);
    std::string table = to_utf8(key, what.c_str());
    out.set(table, names_of(item, what + "[" + nb::cast<std::string>(nb::repr(key)) + "]"));
  }
  return out;
}

std::optional<std::string> optional_text(nb::handle value, const char* what) {
  if (value.is_none()) return std::nullopt;
  return to_utf8(value, what);
}

template <class V, class Convert>
ss::DocMap<V> doc_map_of(nb::handle value, const char* what, Convert convert) {
  if (!PyDict_Check(value.ptr())) raise_type(what, "a dict", value);
  ss::DocMap<V> out;
  out.reserve(static_cast<std::size_t>(PyDict_Size(value.ptr())));
  for (const auto& [key, item] : held_items(value)) {
    if (!PyUnicode_Check(key.ptr())) raise_type(std::string(what) + " keys", "str", key);
    out.set(to_utf8(key, what), convert(item));
  }
  return out;
}

ss::DocTexts doc_texts_of(nb::handle value, const char* what) {
  return doc_map_of<std::string>(value, what, [&](nb::handle item) {
    if (!PyUnicode_Check(item.ptr())) raise_type(std::string(what) + " values", "str", item);
    return to_utf8(item, what);
  });
}

ss::DocScores doc_scores_of(nb::handle value, const char* what) {
  return doc_map_of<double>(value, what, [&](nb::handle item) {
    double score = PyFloat_AsDouble(item.ptr());
    if (score == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      raise_type(std::string(what) + " values", "float", item);
    }
    return score;
  });
}

template <class V>
nb::dict dict_of(const ss::DocMap<V>& map) {
  nb::dict out;
  for (const auto& [id, value] : map) out[nb::str(id.data(), id.size())] = nb::cast(value);
  return out;
}

template <class T>
const T& record_of(nb::handle value, const char* what, const char* type_name) {
  if (!nb::isinstance<T>(value)) raise_type(what, type_name, value);
  return nb::cast<const T&>(value);
}

template <class T>
std::vector<T> records_of(nb::handle value, const char* what, const char* type_name) {
  if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr()))
    raise_type(what, (std::string("a list of ") + type_name).c_str(), value);
  std::vector<T> out;
  for (nb::handle item : nb::iter(value))
    out.push_back(record_of<T>(item, (std::string(what) + " entries").c_str(), type_name));
  return out;
}

// ---- the selector object ----

// Holds the caller's SelectorConfig object itself (not a copy), as the
// selector uses the config it was given; each call reads its current fields.
struct Selector {
  nb::object config;
  nb::object intent_parser;

  ss::Schemasift core() const {
    return ss::Schemasift(nb::cast<const ss::SelectorConfig&>(config));
  }
};

nb::object checked_config(nb::handle config) {
  if (config.is_none()) return nb::cast(ss::SelectorConfig{});
  if (!nb::isinstance<ss::SelectorConfig>(config))
    raise_type("config", "a SelectorConfig or None", config);
  return nb::borrow(config);
}

ss::SelectOptions select_options(nb::handle database, nb::handle required_tables,
                                 nb::handle required_columns, nb::handle excluded_tables,
                                 nb::handle excluded_columns) {
  ss::SelectOptions options;
  options.database = optional_text(database, "database");
  options.required_tables = names_of(required_tables, "required_tables");
  options.required_columns = column_names_of(required_columns, "required_columns");
  options.excluded_tables = names_of(excluded_tables, "excluded_tables");
  options.excluded_columns = column_names_of(excluded_columns, "excluded_columns");
  return options;
}

// Runs the selection without the GIL once every input is in C++ form. A
// MetadataCatalog is read from a snapshot taken under the GIL, so another
// thread changing the record meanwhile cannot disturb the selection; the
// selection's changes (database name, excluded tables) reach the record as
// one assignment each at the end.
ss::MetadataSelectionResult run_select(const ss::Schemasift& selector, const std::string& question,
                                       nb::handle catalog, const ss::SelectOptions& options) {
  if (auto prepared = prepared_of(catalog)) {
    nb::gil_scoped_release release;
    return selector.select(question, *prepared, options);
  }
  if (nb::isinstance<ss::MetadataCatalog>(catalog)) {
    ss::MetadataCatalog& record = nb::cast<ss::MetadataCatalog&>(catalog);
    ss::MetadataCatalog snapshot = record;
    std::size_t tables_before = snapshot.tables.size();
    ss::MetadataSelectionResult result;
    {
      nb::gil_scoped_release release;
      result = selector.select(question, snapshot, options);
    }
    if (options.database && !options.database->empty())
      record.database = std::move(snapshot.database);
    if (snapshot.tables.size() != tables_before) record.tables = std::move(snapshot.tables);
    return result;
  }
  if (!PyDict_Check(catalog.ptr()))
    raise_type("catalog", "a MetadataCatalog, a PreparedCatalog or a dict", catalog);
  // Read the dict straight into records: no intermediate JsonValue copy.
  ss::MetadataCatalog normalized = normalize_catalog_object(catalog, options.database);
  nb::gil_scoped_release release;
  return selector.select(question, normalized, options);
}

// The questions of select_many: a list (or other iterable but a str) of str.
std::vector<std::string> questions_of(nb::handle value) {
  if (PyUnicode_Check(value.ptr())) raise_type("questions", "a list of str", value);
  return names_of(value, "questions");
}

// None: one thread per core.
std::size_t thread_count_of(nb::handle value) {
  if (value.is_none()) return 0;
  if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
    raise_type("threads", "an int or None", value);
  long long n = PyLong_AsLongLong(value.ptr());
  if (n == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    n = PyObject_RichCompareBool(value.ptr(), nb::int_(0).ptr(), Py_GT) == 1 ? 1LL << 20 : -1;
  }
  if (n < 1)
    throw nb::value_error(
        ("threads must be at least 1, got " + nb::cast<std::string>(nb::repr(value))).c_str());
  return static_cast<std::size_t>(std::min<long long>(n, 1 << 20));
}

std::string checked_question(nb::handle question) {
  std::string text = to_utf8(question, "question");
  ss::Schemasift::_check_question(text);
  return text;
}

// ---- documentation ----

constexpr const char* kSelectorDoc =
    "Schemasift(config=None)\n\n"
    "The metadata selector: keeps only the tables, columns and joins a question\n"
    "needs. `config` is used as given (default: SelectorConfig()).";
constexpr const char* kSelectDoc =
    "select(question, catalog, *, database=None, required_tables=None,\n"
    "       required_columns=None, excluded_tables=None, excluded_columns=None)\n"
    "    -> MetadataSelectionResult\n\n"
    "`catalog` is a MetadataCatalog (changed in place: its database name, and its\n"
    "table list when tables are excluded), a PreparedCatalog (never changed) or a\n"
    "catalog dict of any accepted shape (never changed). ValueError('question is required') for a "
    "blank question;\n"
    "TypeError naming the path of a malformed catalog value.";
constexpr const char* kSelectManyDoc =
    "select_many(questions, catalog, *, database=None, required_tables=None,\n"
    "            required_columns=None, excluded_tables=None, excluded_columns=None,\n"
    "            threads=None) -> list[MetadataSelectionResult]\n\n"
    "select() for each question, results in question order, each equal to what\n"
    "select() gives. The catalog is prepared once (a PreparedCatalog is used as\n"
    "it is; a MetadataCatalog is not changed) and the questions run on `threads`\n"
    "native threads (default: one per core) without the GIL. The first error, in\n"
    "question order, is raised once all questions have run. ValueError when\n"
    "threads < 1.";
constexpr const char* kSelectMetadataDoc =
    "select_metadata(question, catalog, database=None, strategy='hybrid',\n"
    "                top_k_tables=3, max_columns_per_table=25, max_output_chars=None,\n"
    "                use_embeddings=False, embedding_model_name_or_path=None,\n"
    "                include_debug=True) -> MetadataSelectionResult\n\n"
    "Builds a Schemasift from these settings and selects.";

// ---- registration ----

void register_selector_steps(nb::class_<Selector>& cls) {
  cls.def_static(
         "_token_overlap_score",
         [](nb::handle q_tokens, nb::handle doc_tokens, double weight, nb::list reasons,
            const std::string& reason_label) {
           std::vector<std::string> added;
           double score = ss::Schemasift::_token_overlap_score(
               word_set_of(q_tokens, "q_tokens"), word_set_of(doc_tokens, "doc_tokens"), weight,
               added, reason_label);
           for (const std::string& reason : added) reasons.append(nb::str(reason.c_str()));
           return score;
         },
         nb::arg("q_tokens"), nb::arg("doc_tokens"), nb::arg("weight"), nb::arg("reasons"),
         nb::arg("reason_label"))
      .def_static("_normalize_lexical", &ss::Schemasift::_normalize_lexical, nb::arg("score"))
      .def(
          "_lexical_score_table",
          [](const Selector& self, const std::string& question, const ss::TableMeta& table,
             const ss::QueryIntent& intent) {
            return self.core()._lexical_score_table(question, table, intent);
          },
          nb::arg("question"), nb::arg("table"), nb::arg("intent"))
      .def(
          "_lexical_score_column",
          [](const Selector& self, const std::string& question, const ss::TableMeta& table,
             const ss::ColumnMeta& col, const ss::QueryIntent& intent) {
            return self.core()._lexical_score_column(question, table, col, intent);
          },
          nb::arg("question"), nb::arg("table"), nb::arg("col"), nb::arg("intent"))
      .def_static(
          "_build_doc_texts",
          [](const ss::MetadataCatalog& catalog) {
            return dict_of(ss::Schemasift::_build_doc_texts(catalog));
          },
          nb::arg("catalog"))
      .def(
          "_get_tfidf_scores",
          [](const Selector& self, const std::string& question, nb::handle docs) {
            return dict_of(self.core()._get_tfidf_scores(question, doc_texts_of(docs, "docs")));
          },
          nb::arg("question"), nb::arg("docs"))
      .def(
          "_get_embedding_scores",
          [](const Selector& self, const std::string& question, nb::handle docs) {
            return dict_of(self.core()._get_embedding_scores(question, doc_texts_of(docs, "docs")));
          },
          nb::arg("question"), nb::arg("docs"))
      .def(
          "_blend_scores",
          [](const Selector& self, double lexical, double tfidf, double embedding) {
            return self.core()._blend_scores(lexical, tfidf, embedding);
          },
          nb::arg("lexical"), nb::arg("tfidf"), nb::arg("embedding"))
      .def(
          "_score_tables",
          [](const Selector& self, const std::string& question, const ss::MetadataCatalog& catalog,
             const ss::QueryIntent& intent, nb::handle tfidf_scores, nb::handle embedding_scores,
             nb::handle required_tables) {
            return self.core()._score_tables(question, catalog, intent,
                                             doc_scores_of(tfidf_scores, "tfidf_scores"),
                                             doc_scores_of(embedding_scores, "embedding_scores"),
                                             word_set_of(required_tables, "required_tables"));
          },
          nb::arg("question"), nb::arg("catalog"), nb::arg("intent"), nb::arg("tfidf_scores"),
          nb::arg("embedding_scores"), nb::arg("required_tables"))
      .def(
          "_choose_tables",
          // The chosen entries are the caller's own objects, as a list
          // filter would return them.
          [](const Selector& self, nb::handle scored_tables, nb::handle required_tables) {
            std::vector<ss::ScoredTable> entries =
                records_of<ss::ScoredTable>(scored_tables, "scored_tables", "ScoredTable");
            nb::list out;
            for (std::size_t i : self.core()._chosen_table_positions(
                     entries, word_set_of(required_tables, "required_tables")))
              out.append(scored_tables[i]);
            return out;
          },
          nb::arg("scored_tables"), nb::arg("required_tables"))
      .def(
          "_score_and_choose_columns",
          [](const Selector& self, const std::string& question, const ss::TableMeta& table,
             const ss::QueryIntent& intent, nb::handle tfidf_scores, nb::handle embedding_scores,
             nb::handle required_columns, nb::handle excluded_columns) {
            return self.core()._score_and_choose_columns(
                question, table, intent, doc_scores_of(tfidf_scores, "tfidf_scores"),
                doc_scores_of(embedding_scores, "embedding_scores"),
                word_set_of(required_columns, "required_columns"),
                word_set_of(excluded_columns, "excluded_columns"));
          },
          nb::arg("question"), nb::arg("table"), nb::arg("intent"), nb::arg("tfidf_scores"),
          nb::arg("embedding_scores"), nb::arg("required_columns"), nb::arg("excluded_columns"))
      .def_static(
          "_ensure_intent_columns",
          // Appends to the caller's `selected` list and returns it.
          [](const ss::TableMeta&, nb::handle ranked, nb::list selected,
             const ss::QueryIntent& intent) {
            std::vector<ss::ScoredColumn> ranked_entries =
                records_of<ss::ScoredColumn>(ranked, "ranked", "ScoredColumn");
            std::vector<ss::ScoredColumn> selected_entries =
                records_of<ss::ScoredColumn>(selected, "selected", "ScoredColumn");
            for (std::size_t i :
                 ss::Schemasift::_intent_column_picks(ranked_entries, selected_entries, intent))
              selected.append(ranked[i]);
            return selected;
          },
          nb::arg("table"), nb::arg("ranked"), nb::arg("selected"), nb::arg("intent"))
      .def(
          "_select_relationships",
          [](const Selector& self, const ss::MetadataCatalog& catalog, nb::handle selected_tables) {
            return self.core()._select_relationships(
                catalog,
                records_of<ss::ScoredTable>(selected_tables, "selected_tables", "ScoredTable"));
          },
          nb::arg("catalog"), nb::arg("selected_tables"))
      .def(
          "_build_selected_metadata",
          [](const Selector& self, const ss::MetadataCatalog& catalog, nb::handle selected_tables,
             nb::handle selected_relationships) {
            return self.core()._build_selected_metadata(
                catalog,
                records_of<ss::ScoredTable>(selected_tables, "selected_tables", "ScoredTable"),
                records_of<ss::RelationshipMeta>(selected_relationships, "selected_relationships",
                                                 "RelationshipMeta"));
          },
          nb::arg("catalog"), nb::arg("selected_tables"), nb::arg("selected_relationships"))
      .def(
          "_apply_output_budget",
          // Returns the very dict it was given when that fits the budget.
          [](const Selector& self, nb::handle selected_metadata) -> nb::object {
            JsonMap map = to_json_map(selected_metadata, "selected_metadata");
            std::optional<JsonMap> trimmed = self.core()._trimmed_to_budget(map);
            return trimmed ? from_json_map(*trimmed) : nb::borrow(selected_metadata);
          },
          nb::arg("selected_metadata"))
      .def_static("_reduction_percent", &ss::Schemasift::_reduction_percent, nb::arg("before"),
                  nb::arg("after"));
}

void register_selector(nb::module_& m) {
  nb::class_<Selector> cls(m, "Schemasift", kSelectorDoc);
  cls.def(
         "__init__",
         [](Selector* self, nb::handle config) {
           new (self) Selector{checked_config(config), nb::cast(ss::IntentParser{})};
         },
         nb::arg("config") = nb::none())
      .def_prop_rw(
          "config", [](const Selector& self) { return self.config; },
          [](Selector& self, nb::handle config) {
            if (!nb::isinstance<ss::SelectorConfig>(config))
              raise_type("config", "a SelectorConfig", config);
            self.config = nb::borrow(config);
          },
          "The SelectorConfig every selection reads.")
      .def_prop_ro(
          "intent_parser", [](const Selector& self) { return self.intent_parser; },
          "The IntentParser that reads each question.")
      .def(
          "select",
          [](const Selector& self, nb::handle question, nb::handle catalog, nb::handle database,
             nb::handle required_tables, nb::handle required_columns, nb::handle excluded_tables,
             nb::handle excluded_columns) {
            std::string text = checked_question(question);
            ss::SelectOptions options = select_options(database, required_tables, required_columns,
                                                       excluded_tables, excluded_columns);
            return run_select(self.core(), text, catalog, options);
          },
          nb::arg("question"), nb::arg("catalog"), nb::kw_only(), nb::arg("database") = nb::none(),
          nb::arg("required_tables") = nb::none(), nb::arg("required_columns") = nb::none(),
          nb::arg("excluded_tables") = nb::none(), nb::arg("excluded_columns") = nb::none(),
          kSelectDoc)
      .def(
          "select_many",
          [](const Selector& self, nb::handle questions, nb::handle catalog, nb::handle database,
             nb::handle required_tables, nb::handle required_columns, nb::handle excluded_tables,
             nb::handle excluded_columns, nb::handle threads) {
            std::vector<std::string> texts = questions_of(questions);
            ss::SelectOptions options = select_options(database, required_tables, required_columns,
                                                       excluded_tables, excluded_columns);
            std::size_t thread_count = thread_count_of(threads);
            std::shared_ptr<const ss::PreparedCatalog> prepared = prepare(catalog);
            ss::Schemasift core = self.core();
            nb::gil_scoped_release release;
            return core.select_many(texts, *prepared, options, thread_count);
          },
          nb::arg("questions"), nb::arg("catalog"), nb::kw_only(), nb::arg("database") = nb::none(),
          nb::arg("required_tables") = nb::none(), nb::arg("required_columns") = nb::none(),
          nb::arg("excluded_tables") = nb::none(), nb::arg("excluded_columns") = nb::none(),
          nb::arg("threads") = nb::none(), kSelectManyDoc)
      .def("__repr__", [](const Selector& self) {
        return "Schemasift(config=" + nb::cast<std::string>(nb::repr(self.config)) + ")";
      });
  register_selector_steps(cls);

  m.def(
      "select_metadata",
      [](nb::handle question, nb::handle catalog, nb::handle database, const std::string& strategy,
         std::int64_t top_k_tables, std::int64_t max_columns_per_table,
         std::optional<std::int64_t> max_output_chars, bool use_embeddings,
         std::optional<std::string> embedding_model_name_or_path, bool include_debug) {
        std::string text = checked_question(question);
        ss::SelectMetadataOptions settings;
        settings.strategy = strategy;
        settings.top_k_tables = top_k_tables;
        settings.max_columns_per_table = max_columns_per_table;
        settings.max_output_chars = max_output_chars;
        settings.use_embeddings = use_embeddings;
        settings.embedding_model_name_or_path = std::move(embedding_model_name_or_path);
        settings.include_debug = include_debug;
        ss::SelectOptions options;
        options.database = optional_text(database, "database");
        return run_select(ss::Schemasift(ss::select_metadata_config(settings)), text, catalog,
                          options);
      },
      nb::arg("question"), nb::arg("catalog"), nb::arg("database") = nb::none(),
      nb::arg("strategy") = std::string(ss::Strategy::HYBRID), nb::arg("top_k_tables") = 3,
      nb::arg("max_columns_per_table") = 25, nb::arg("max_output_chars") = nb::none(),
      nb::arg("use_embeddings") = false, nb::arg("embedding_model_name_or_path") = nb::none(),
      nb::arg("include_debug") = true, kSelectMetadataDoc);
}

// build(doc_text_by_id) and score(question), alike on both vector backends.
template <class Backend>
void def_build_and_score(nb::class_<Backend>& cls, const char* build_doc) {
  cls.def(
         "build",
         [](Backend& self, nb::handle doc_text_by_id) {
           self.build(doc_texts_of(doc_text_by_id, "doc_text_by_id"));
         },
         nb::arg("doc_text_by_id"), build_doc)
      .def(
          "score",
          [](const Backend& self, const std::string& question) {
            return dict_of(self.score(question));
          },
          nb::arg("question"), "Document id to similarity; empty when not built or unavailable.");
}

void register_backends(nb::module_& m) {
  // Handles of the facilities behind the backends; opaque to Python.
  nb::class_<ss::TfidfVectorizer>(m, "_TfidfVectorizer");
  nb::class_<ss::TfidfMatrix>(m, "_TfidfMatrix");
  nb::class_<ss::SentenceEncoder>(m, "_SentenceEncoder");
  nb::class_<ss::EmbeddingMatrix>(m, "_EmbeddingMatrix");

  using Tfidf = ss::OptionalTfidfBackend;
  nb::class_<Tfidf> tfidf(m, "OptionalTfidfBackend",
                          "TF-IDF similarity of a question to each document, when a TF-IDF\n"
                          "facility is available; otherwise `available` is False.");
  tfidf.def(nb::init<>())
      .def_rw("available", &Tfidf::available)
      .def_prop_ro("vectorizer", [](const Tfidf& self) { return facility_object(self.vectorizer); })
      .def_prop_ro("matrix", [](const Tfidf& self) { return facility_object(self.matrix); })
      .def_rw("doc_ids", &Tfidf::doc_ids);
  def_build_and_score(tfidf, "Fits the vectorizer on the documents, in dict order.");

  using Embedding = ss::OptionalEmbeddingBackend;
  nb::class_<Embedding> embedding(
      m, "OptionalEmbeddingBackend",
      "Sentence-embedding similarity of a question to each document, when\n"
      "a model is given and can be loaded; otherwise `available` is False.");
  embedding.def(nb::init<std::optional<std::string>>(), nb::arg("model_name_or_path") = nb::none())
      .def_rw("available", &Embedding::available)
      .def_prop_ro("model", [](const Embedding& self) { return facility_object(self.model); })
      .def_rw("doc_ids", &Embedding::doc_ids)
      .def_prop_ro("embeddings",
                   [](const Embedding& self) { return facility_object(self.embeddings); })
      .def_rw("model_name_or_path", &Embedding::model_name_or_path);
  def_build_and_score(embedding, "Encodes the documents, in dict order.");
}

}  // namespace

void register_schemasift_selector(nb::module_& m) {
  register_prepared_catalog(m);
  register_selector(m);
  register_backends(m);
  register_schemasift_python_backends(m);
  m.def("demo_catalog", &ss::demo_catalog, "The demonstration catalog, as a catalog dict.");
  m.def("_demo_output", &ss::demo_output, "The demonstration run's three texts.");
  m.attr("_DEMO_QUESTION") = nb::str(ss::kDemoQuestion.data(), ss::kDemoQuestion.size());
}

}  // namespace tessarin::py
