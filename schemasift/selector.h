// The metadata selector: given a question and a catalog, it keeps only the
// tables, columns and joins the question needs, cut to a size budget, and
// reports how much smaller the result is than the catalog.
//
// The steps of a selection are members of Schemasift, each defined in the
// file of its stage: lexical.cpp (lexical scoring), vector_backends.cpp
// (documents, vector scores and blending), choice.cpp (table, column and
// join choice), output.cpp (output map, budget and metrics), selector.cpp
// (the pipeline itself), batch.cpp (many questions on several threads).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tessarin/common/json_value.h"
#include "tessarin/schemasift/catalog.h"
#include "tessarin/schemasift/intent.h"
#include "tessarin/schemasift/prepared.h"
#include "tessarin/schemasift/records.h"
#include "tessarin/schemasift/text.h"
#include "tessarin/schemasift/vector_backends.h"

namespace tessarin::schemasift {

// Table name to the column names listed for it.
using ColumnNamesByTable = OrderedMap<std::vector<std::string>>;

// The named arguments of Schemasift::select; every one may be left out.
struct SelectOptions {
  std::optional<std::string> database;
  std::vector<std::string> required_tables;
  ColumnNamesByTable required_columns;
  std::vector<std::string> excluded_tables;
  ColumnNamesByTable excluded_columns;
};

// The arguments of select_metadata after the question and the catalog.
struct SelectMetadataOptions {
  std::optional<std::string> database;
  std::string strategy = std::string(Strategy::HYBRID);
  std::int64_t top_k_tables = 3;
  std::int64_t max_columns_per_table = 25;
  std::optional<std::int64_t> max_output_chars;
  bool use_embeddings = false;
  std::optional<std::string> embedding_model_name_or_path;
  bool include_debug = true;
};

// Score, reasons: the result of the two lexical scorers.
using LexicalScore = std::pair<double, std::vector<std::string>>;

namespace internal {
struct QueryTerms;
struct TableScore;
struct LexicalEvidence;
struct SelectionSource;
class Similarities;
enum class RoleClass : std::uint8_t;
}  // namespace internal

class Schemasift {
 public:
  explicit Schemasift(SelectorConfig config = {});

  SelectorConfig config;
  IntentParser intent_parser;

  // Runs the whole selection. A MetadataCatalog is changed in place: its
  // database name (when options.database is non-empty) and, when tables are
  // excluded, its table list. A catalog map is normalized first and never
  // changed. A blank question throws std::invalid_argument before anything
  // else; a malformed catalog map throws CatalogShapeError.
  MetadataSelectionResult select(std::string_view question, MetadataCatalog& catalog,
                                 const SelectOptions& options = {}) const;
  MetadataSelectionResult select(std::string_view question, const JsonMap& catalog,
                                 const SelectOptions& options = {}) const;
  MetadataSelectionResult select(std::string_view question, const JsonValue& catalog,
                                 const SelectOptions& options = {}) const;
  // The same selection on a prepared catalog, which it never changes:
  // excluded tables are left out of this selection's own view.
  MetadataSelectionResult select(std::string_view question, const PreparedCatalog& catalog,
                                 const SelectOptions& options = {}) const;

  // Computes now what selections with this config compute on first use on
  // a prepared catalog: the documents, the TF-IDF index and the embeddings
  // of the configured model, as far as the strategy uses them.
  void warm_up(const PreparedCatalog& catalog) const;

  // select() for each question, in question order, on `threads` threads
  // (0: one per hardware thread). Results are those of select() one by one;
  // the first error (in question order) is thrown once all have run.
  std::vector<MetadataSelectionResult> select_many(const std::vector<std::string>& questions,
                                                   const PreparedCatalog& catalog,
                                                   const SelectOptions& options = {},
                                                   std::size_t threads = 0) const;

  // Throws std::invalid_argument("question is required") for a question that
  // is empty or only white space.
  static void _check_question(std::string_view question);

  // ---- lexical scoring (lexical.cpp) ----
  static double _token_overlap_score(const WordSet& q_tokens, const WordSet& doc_tokens,
                                     double weight, std::vector<std::string>& reasons,
                                     std::string_view reason_label);
  static double _normalize_lexical(double score);
  LexicalScore _lexical_score_table(std::string_view question, const TableMeta& table,
                                    const QueryIntent& intent) const;
  LexicalScore _lexical_score_column(std::string_view question, const TableMeta& table,
                                     const ColumnMeta& col, const QueryIntent& intent) const;

  // ---- documents, vector scores and blending (vector_backends.cpp) ----
  static DocTexts _build_doc_texts(const MetadataCatalog& catalog);
  DocScores _get_tfidf_scores(std::string_view question, const DocTexts& docs) const;
  DocScores _get_embedding_scores(std::string_view question, const DocTexts& docs) const;
  double _blend_scores(double lexical, double tfidf, double embedding) const;

  // ---- table, column and join choice (choice.cpp) ----
  std::vector<ScoredTable> _score_tables(std::string_view question, const MetadataCatalog& catalog,
                                         const QueryIntent& intent, const DocScores& tfidf_scores,
                                         const DocScores& embedding_scores,
                                         const WordSet& required_tables) const;
  std::vector<ScoredTable> _choose_tables(const std::vector<ScoredTable>& scored_tables,
                                          const WordSet& required_tables) const;
  // Positions in `scored_tables` of the entries _choose_tables returns.
  std::vector<std::size_t> _chosen_table_positions(const std::vector<ScoredTable>& scored_tables,
                                                   const WordSet& required_tables) const;
  std::vector<ScoredColumn> _score_and_choose_columns(
      std::string_view question, const TableMeta& table, const QueryIntent& intent,
      const DocScores& tfidf_scores, const DocScores& embedding_scores,
      const WordSet& required_columns, const WordSet& excluded_columns) const;
  static std::vector<ScoredColumn>& _ensure_intent_columns(const TableMeta& table,
                                                           const std::vector<ScoredColumn>& ranked,
                                                           std::vector<ScoredColumn>& selected,
                                                           const QueryIntent& intent);
  // Positions in `ranked` that _ensure_intent_columns appends, in order.
  static std::vector<std::size_t> _intent_column_picks(const std::vector<ScoredColumn>& ranked,
                                                       const std::vector<ScoredColumn>& selected,
                                                       const QueryIntent& intent);
  std::vector<RelationshipMeta> _select_relationships(
      const MetadataCatalog& catalog, const std::vector<ScoredTable>& selected_tables) const;

  // ---- output, budget and metrics (output.cpp) ----
  JsonMap _build_selected_metadata(
      const MetadataCatalog& catalog, const std::vector<ScoredTable>& selected_tables,
      const std::vector<RelationshipMeta>& selected_relationships) const;
  // The argument itself when it fits the budget (or there is none), else a
  // trimmed copy.
  JsonMap _apply_output_budget(JsonMap selected_metadata) const;
  // The trimmed copy, or nothing when the argument is returned unchanged.
  std::optional<JsonMap> _trimmed_to_budget(const JsonMap& selected_metadata) const;
  static double _reduction_percent(std::int64_t before, std::int64_t after);

 private:
  // The pipeline once the catalog to select from is settled (database name
  // and exclusions applied).
  MetadataSelectionResult run(std::string_view question, const internal::SelectionSource& source,
                              const SelectOptions& options) const;

  // Raw (unnormalized) lexical scores on prepared question terms; reasons
  // are collected only when `reasons` is not null.
  double raw_table_score(const internal::QueryTerms& terms, const TableMeta& table,
                         std::vector<std::string>* reasons) const;
  double raw_column_score(const internal::QueryTerms& terms, const ColumnMeta& col,
                          const QueryIntent& intent, std::vector<std::string>* reasons) const;
  // raw_table_score and raw_column_score from a prepared catalog's evidence
  // for the table or column at this position (columns counted across all
  // tables).
  double raw_table_score_from_evidence(const internal::QueryTerms& terms,
                                       const internal::LexicalEvidence& evidence,
                                       std::size_t table) const;
  double raw_column_score_from_evidence(const internal::QueryTerms& terms,
                                        const internal::LexicalEvidence& evidence,
                                        std::size_t column, internal::RoleClass role,
                                        const QueryIntent& intent) const;
  // The exact-phrase and role parts of a column's raw score, added to raw.
  void add_column_phrase_bonus(const internal::QueryTerms& terms, const ColumnMeta& col,
                               double& raw, std::vector<std::string>* reasons) const;
  void add_column_role_bonus(const internal::QueryTerms& terms, internal::RoleClass role,
                             const QueryIntent& intent, double& raw,
                             std::vector<std::string>* reasons) const;

  // Scores every table without copying any: positions into catalog.tables.
  std::vector<internal::TableScore> score_table_positions(const internal::QueryTerms& terms,
                                                          const MetadataCatalog& catalog,
                                                          const QueryIntent& intent,
                                                          const internal::Similarities& tfidf,
                                                          const internal::Similarities& embedding,
                                                          const WordSet& required_tables) const;
  // The same scores through a prepared catalog's lexical index.
  std::vector<internal::TableScore> score_prepared_table_positions(
      const internal::QueryTerms& terms, const PreparedCatalog& prepared, const QueryIntent& intent,
      const internal::Similarities& tfidf, const internal::Similarities& embedding,
      const WordSet& required_tables) const;
  // A table's score from its lexical score and best column score.
  double table_score(std::size_t position, const TableMeta& table, double lexical,
                     double best_column, const internal::Similarities& tfidf,
                     const internal::Similarities& embedding, const WordSet& required_tables,
                     std::vector<std::string>& reasons) const;
  // Fills in the reasons of an entry scored without them.
  void complete_reasons(const internal::QueryTerms& terms, const MetadataCatalog& catalog,
                        const WordSet& required_tables, internal::TableScore& entry) const;
  std::vector<std::size_t> choose_table_positions(const internal::QueryTerms& terms,
                                                  const MetadataCatalog& catalog,
                                                  std::vector<internal::TableScore>& scored,
                                                  const WordSet& required_tables) const;
  // Replaces the lexical table scores (one entry per table, in catalog
  // order) with the fusion of their lexical, TF-IDF and embedding ranks,
  // lifted by the best related table; see SelectorConfig::fuse_table_ranks.
  void fuse_table_scores(const internal::QueryTerms& terms, const MetadataCatalog& catalog,
                         std::vector<internal::TableScore>& scored,
                         const internal::Similarities& tfidf,
                         const internal::Similarities& embedding,
                         const WordSet& required_tables) const;
  // Required tables first, then the best others up to top_k_tables while
  // they keep table_score_drop_off of the best one's score.
  std::vector<std::size_t> choose_fused_positions(const MetadataCatalog& catalog,
                                                  const std::vector<internal::TableScore>& scored,
                                                  const WordSet& required_tables) const;
  // Appends to `chosen` the bridge tables that join it up (see
  // SelectorConfig::max_join_path_length), each with its reason; their
  // names and reasons go to `bridges`.
  void add_bridge_tables(const internal::QueryTerms& terms, const MetadataCatalog& catalog,
                         std::vector<internal::TableScore>& scored, const WordSet& required_tables,
                         std::vector<std::size_t>& chosen,
                         std::vector<std::pair<std::string, std::string>>& bridges) const;
  // `position` is the table's position in the catalog.
  std::vector<ScoredColumn> score_and_choose_columns(const internal::QueryTerms& terms,
                                                     std::size_t position, const TableMeta& table,
                                                     const QueryIntent& intent,
                                                     const internal::Similarities& tfidf,
                                                     const internal::Similarities& embedding,
                                                     const WordSet& required_columns,
                                                     const WordSet& excluded_columns) const;
  // The vector backends' similarities on a prepared catalog's documents.
  internal::Similarities prepared_tfidf_scores(std::string_view question,
                                               const PreparedCatalog& prepared) const;
  internal::Similarities prepared_embedding_scores(std::string_view question,
                                                   const PreparedCatalog& prepared) const;
  // Whether a backend would be asked for scores (strategy, switch and
  // availability), so that documents are built only when some backend uses
  // them.
  bool tfidf_wanted() const;
  bool embedding_wanted() const;
};

// Builds a selector from the settings and selects; see Schemasift::select.
MetadataSelectionResult select_metadata(std::string_view question, MetadataCatalog& catalog,
                                        const SelectMetadataOptions& options = {});
MetadataSelectionResult select_metadata(std::string_view question, const JsonMap& catalog,
                                        const SelectMetadataOptions& options = {});
MetadataSelectionResult select_metadata(std::string_view question, const PreparedCatalog& catalog,
                                        const SelectMetadataOptions& options = {});
SelectorConfig select_metadata_config(const SelectMetadataOptions& options);

// The demonstration question.
extern const std::string_view kDemoQuestion;
// The demonstration catalog, in the map shape the normalizer accepts.
JsonMap demo_catalog();
// The demonstration run's three texts, each followed by a line break.
std::string demo_output();

}  // namespace tessarin::schemasift
