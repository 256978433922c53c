// Selector configuration and the records a selection produces: scored
// tables and columns, size metrics with their summary line, and the result
// with its map form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tessarin/common/json_value.h"
#include "tessarin/schemasift/catalog.h"
#include "tessarin/schemasift/intent.h"
#include "tessarin/schemasift/text.h"

namespace tessarin::schemasift {

struct SelectorConfig {
  std::string strategy = std::string(Strategy::HYBRID);
  std::int64_t top_k_tables = 3;
  std::int64_t max_columns_per_table = 25;
  double min_table_score = 0.03;
  double min_column_score = 0.02;
  bool include_relationships = true;
  bool include_neighbor_tables_for_joins = false;
  bool include_primary_keys = true;
  bool include_foreign_keys = true;
  bool include_default_date_on_time_intent = true;
  bool include_default_metric_on_metric_intent = true;
  std::optional<std::int64_t> max_output_chars;
  double token_chars_per_token = 4.0;
  bool include_descriptions = true;
  bool include_synonyms = true;
  bool include_sample_values = false;
  std::int64_t max_sample_values_per_column = 5;
  double table_name_weight = 8.0;
  double table_business_name_weight = 6.0;
  double table_tag_weight = 4.0;
  double table_description_weight = 2.0;
  double column_name_weight = 10.0;
  double column_synonym_weight = 8.0;
  double column_tag_weight = 4.0;
  double column_description_weight = 2.0;
  double role_intent_weight = 4.0;
  double exact_phrase_bonus = 5.0;
  bool use_tfidf_if_available = true;
  bool use_embeddings_if_available = false;
  std::optional<std::string> embedding_model_name_or_path;
  double lexical_alpha = 0.7;
  double tfidf_alpha = 0.15;
  double embedding_alpha = 0.15;
  bool include_debug = true;
  // ---- opt-in recall aids; the defaults leave every selection as it was ----
  // Ranks tables by fusing the ranks of their lexical, TF-IDF and embedding
  // similarities (the embedding of a table's best-matching column counts
  // too), then lifts tables related to well-ranked ones.
  bool fuse_table_ranks = false;
  // Adds the bridge tables that connect chosen tables along the catalog's
  // relationships (paths of at most this many joins; 0 or less: off).
  std::int64_t max_join_path_length = 0;
  // Stops choosing tables, after the first, once a table's fused score falls
  // below this share of the best one (0: always top_k_tables).
  double table_score_drop_off = 0.0;
  // Shows a progress bar on stderr (only when it is a terminal) while the
  // catalog's documents are encoded.
  bool show_progress_bar = false;

  // The high-recall configuration: embedding similarities of the given
  // model fused with the lexical and TF-IDF ranks, and join paths completed
  // through bridge tables (the drop-off stays off: it cost recall).
  // Without a model it ranks by the model-free signals alone.
  static SelectorConfig high_recall(std::optional<std::string> model_name_or_path = std::nullopt,
                                    std::int64_t top_k_tables = 5);

  friend bool operator==(const SelectorConfig&, const SelectorConfig&) = default;
};

struct ScoredColumn {
  ColumnMeta column;
  double score = 0.0;
  std::vector<std::string> reasons;

  friend bool operator==(const ScoredColumn&, const ScoredColumn&) = default;
};

struct ScoredTable {
  TableMeta table;
  double score = 0.0;
  std::vector<std::string> reasons;
  std::vector<ScoredColumn> columns;

  friend bool operator==(const ScoredTable&, const ScoredTable&) = default;
};

struct SelectionMetrics {
  std::int64_t input_tables = 0;
  std::int64_t input_columns = 0;
  std::int64_t output_tables = 0;
  std::int64_t output_columns = 0;
  std::int64_t input_chars = 0;
  std::int64_t output_chars = 0;
  std::int64_t input_estimated_tokens = 0;
  std::int64_t output_estimated_tokens = 0;
  double table_reduction_percent = 0.0;
  double column_reduction_percent = 0.0;
  double char_reduction_percent = 0.0;
  double token_reduction_percent = 0.0;
  double compression_ratio = 0.0;
  std::string catalog_hash;

  // One line: tables, columns and tokens before and after, and compression.
  std::string summary() const;
  // All fourteen fields in declaration order.
  JsonMap to_dict() const;

  friend bool operator==(const SelectionMetrics&, const SelectionMetrics&) = default;
};

struct MetadataSelectionResult {
  JsonMap selected_metadata;
  SelectionMetrics metrics;
  QueryIntent intent;
  JsonMap debug;

  // "selected_metadata", "metrics", "intent", and "debug" when asked for.
  JsonMap to_dict(bool include_debug = false) const;

  friend bool operator==(const MetadataSelectionResult&, const MetadataSelectionResult&) = default;
};

}  // namespace tessarin::schemasift
