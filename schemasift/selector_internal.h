// Shared by the selector's stage files only: the fixed texts of reasons and
// output keys, the question terms prepared once per selection, and small
// allocation-free text helpers for the scoring loops.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tessarin/schemasift/catalog.h"
#include "tessarin/schemasift/intent.h"
#include "tessarin/schemasift/prepared.h"
#include "tessarin/schemasift/records.h"
#include "tessarin/schemasift/text.h"

namespace tessarin::schemasift::internal {

// ---- reasons ----
inline constexpr std::string_view kOverlapInfix = " overlap: ";
inline constexpr std::string_view kLabelTableName = "table name";
inline constexpr std::string_view kLabelBusinessName = "business name";
inline constexpr std::string_view kLabelTableTags = "table tags";
inline constexpr std::string_view kLabelTableDescription = "table description";
inline constexpr std::string_view kLabelColumnName = "column name";
inline constexpr std::string_view kLabelColumnSynonym = "column synonym";
inline constexpr std::string_view kLabelColumnTags = "column tags";
inline constexpr std::string_view kLabelColumnDescription = "column description";
inline constexpr std::string_view kReasonExactTable = "exact table phrase";
inline constexpr std::string_view kReasonExactBusiness = "exact business phrase";
inline constexpr std::string_view kReasonExactColumn = "exact column phrase";
inline constexpr std::string_view kReasonExactSynonym = "exact synonym phrase: ";
inline constexpr std::string_view kReasonDateRole = "date role matches time/trend intent";
inline constexpr std::string_view kReasonMetricRole = "metric role matches metric intent";
inline constexpr std::string_view kReasonDimensionRole = "dimension role matches grouping intent";
inline constexpr std::string_view kReasonCountId = "id column useful for count intent";
inline constexpr std::string_view kReasonDimensionKeyword = "common dimension keyword match";
inline constexpr std::string_view kReasonRequiredTable = "required table";
inline constexpr std::string_view kReasonRequiredColumn = "required column";
inline constexpr std::string_view kReasonPrimaryKey = "primary key included";
inline constexpr std::string_view kReasonForeignKey = "foreign key included";
inline constexpr std::string_view kReasonDefaultDate = "default date column for time intent";
inline constexpr std::string_view kReasonDefaultMetric = "default metric column for metric intent";

// ---- map keys ----
inline constexpr std::string_view kKeyDatabase = "database";
inline constexpr std::string_view kKeyTables = "tables";
inline constexpr std::string_view kKeyRelationships = "relationships";
inline constexpr std::string_view kKeyTableName = "table_name";
inline constexpr std::string_view kKeyScore = "score";
inline constexpr std::string_view kKeyColumns = "columns";
inline constexpr std::string_view kKeyBusinessName = "business_name";
inline constexpr std::string_view kKeyDescription = "description";
inline constexpr std::string_view kKeyDefaultDate = "default_date_column";
inline constexpr std::string_view kKeyDefaultMetric = "default_metric_column";
inline constexpr std::string_view kKeyRowCount = "row_count";
inline constexpr std::string_view kKeyName = "name";
inline constexpr std::string_view kKeyType = "type";
inline constexpr std::string_view kKeyRole = "role";
inline constexpr std::string_view kKeySynonyms = "synonyms";
inline constexpr std::string_view kKeyIsPrimaryKey = "is_primary_key";
inline constexpr std::string_view kKeyIsForeignKey = "is_foreign_key";
inline constexpr std::string_view kKeySampleValues = "sample_values";
inline constexpr std::string_view kKeyReasons = "reasons";
inline constexpr std::string_view kKeyColumnName = "column_name";
inline constexpr std::string_view kKeyExtra = "extra";
inline constexpr std::string_view kKeyNullable = "nullable";
inline constexpr std::string_view kKeyTags = "tags";
inline constexpr std::string_view kKeyFromTable = "from_table";
inline constexpr std::string_view kKeyFromColumn = "from_column";
inline constexpr std::string_view kKeyToTable = "to_table";
inline constexpr std::string_view kKeyToColumn = "to_column";
inline constexpr std::string_view kKeyRelationshipType = "relationship_type";
inline constexpr std::string_view kKeyTableRankings = "table_rankings";
inline constexpr std::string_view kKeyColumnRankings = "selected_column_rankings";
inline constexpr std::string_view kKeyStrategy = "strategy";
inline constexpr std::string_view kKeyTfidfAvailable = "tfidf_available";
inline constexpr std::string_view kKeyEmbeddingAvailable = "embedding_available";

// ---- document ids ----
inline constexpr std::string_view kTableDocPrefix = "table::";
inline constexpr std::string_view kColumnDocPrefix = "column::";

// Rounding of every score that leaves the selector.
inline constexpr int kScoreDigits = 6;

// The question side of lexical scoring, prepared once per selection.
struct QueryTerms {
  static constexpr std::size_t npos = std::string::npos;

  // Distinct question tokens in code-point order; `matchable` is false for
  // stop words, which no tokenized document can hold.
  std::vector<std::string> tokens;
  std::vector<bool> matchable;
  std::size_t set_size = 0;
  std::string lower;  // the question, lower-cased
  bool has_count_word = false;
  bool has_dimension_keyword = false;

  // Scratch reused by the scoring loops (one selection runs on one thread).
  mutable std::vector<unsigned char> marks;
  mutable std::string scratch;

  QueryTerms(std::string_view question, const QueryIntent& intent);

  // Position of token in `tokens`, or npos.
  std::size_t find(std::string_view token) const;
  // Marks the matchable question token equal to a document token, given as
  // ASCII letters and digits of which only the first may be a capital.
  void mark_ascii(const char* token, std::size_t length) const;
  void mark(std::string_view lower_token) const;

 private:
  // Quick rejection of document tokens no matchable token equals.
  words::FirstByteLengthFilter filter_;
};

// Calls the tokens of text that lexical scoring compares with the question
// (documents are scanned without stop words: the question side knows which
// of its tokens are stop words, see QueryTerms::matchable). ASCII text is
// scanned in place, each token given to ascii(start, length) as it stands
// (only its first character may be a capital); other text goes through
// tokenize's rules, and each lower-case token to lowered(token).
template <class Ascii, class Lowered>
void for_each_scoring_token(std::string_view text, Ascii&& ascii, Lowered&& lowered) {
  if (detail::has_non_ascii(text)) {
    detail::check_utf8(text);
    words::for_each_word(text, lowered);
    return;
  }
  std::size_t escapes = 0;
  words::scan_ascii_words(text, words::kTextBytes, ascii, escapes);
}

// The fields of a column whose tokens count towards its lexical score.
enum ColumnField : std::size_t {
  kFieldName,
  kFieldSynonyms,
  kFieldTags,
  kFieldDescription,
  kColumnFieldCount
};
// Distinct question tokens found in each field of one column.
using FieldCounts = std::array<std::uint32_t, kColumnFieldCount>;

// What role bonuses a column can earn: its role, and for a categorical
// column whether its lower-cased name holds a common dimension word.
enum class RoleClass : std::uint8_t {
  kDate,
  kMetric,
  kCategorical,
  kCategoricalKeyword,
  kId,
  kOther,
};
inline constexpr std::size_t kRoleClassCount = 6;
// The column's class; the name is searched for dimension words only when
// look_for_keyword is true (else a categorical column is kCategorical).
// scratch is working space.
RoleClass role_class(const ColumnMeta& col, bool look_for_keyword, std::string& scratch);

// The catalog a selection reads, once its database name and exclusions are
// settled: the records, the name the result shows, and the prepared
// catalog they belong to, if any.
struct SelectionSource {
  const MetadataCatalog& catalog;
  const std::string& database;
  const PreparedCatalog* prepared = nullptr;
};

// One vector backend's similarities, found by table or column: by document
// id in a map (the steps' own form), or by row in a prepared catalog's
// documents. A missing document scores 0.0.
class Similarities {
 public:
  Similarities() = default;
  explicit Similarities(const DocScores* by_id) : by_id_(by_id) {}
  // Rows past the documents are dropped, as pairing ids with scores does.
  Similarities(std::vector<double> by_row, const PreparedCatalog::Documents& documents);

  bool empty() const { return by_id_ ? by_id_->empty() : by_row_.empty(); }
  double table(std::size_t position, const TableMeta& table) const;
  // `column` is the column's index in its table.
  double column(std::size_t table_position, std::size_t column, const TableMeta& table,
                const ColumnMeta& col) const;

 private:
  double row(std::uint32_t r) const { return r < by_row_.size() ? by_row_[r] : 0.0; }

  const DocScores* by_id_ = nullptr;
  std::vector<double> by_row_;
  const PreparedCatalog::Documents* documents_ = nullptr;
  mutable std::string id_;  // scratch: a selection runs on one thread
};

// One scored table, by position in the catalog's table list.
struct TableScore {
  std::size_t position = 0;
  double score = 0.0;
  std::vector<std::string> reasons;
  // Scored from a prepared catalog's evidence, which gives the score but
  // not the reasons: they are written only for the tables that show them.
  bool reasons_pending = false;
};

// Size figures of the catalog side of a selection.
struct CatalogMeasure {
  std::int64_t chars = 0;
  std::int64_t estimated_tokens = 0;
  std::string hash;
};

// JSON text of the map in insertion order, no indentation, non-ASCII kept:
// the text every size is measured on.
std::string measuring_text(const JsonMap& map);
std::int64_t measured_size(const JsonMap& map);
// JSON text of catalog.to_prompt_dict() with sorted keys (as stable_hash
// writes it), straight from the records, showing `database` as the
// catalog's database name.
std::string sorted_prompt_text(const MetadataCatalog& catalog, std::string_view database);
CatalogTextMeasure measure_catalog_text(const MetadataCatalog& catalog, std::string_view database);
CatalogMeasure measure_catalog(const CatalogTextMeasure& text, double chars_per_token);
// The output map before the budget, showing `database` as the database name.
JsonMap selected_metadata_map(const std::string& database,
                              const std::vector<ScoredTable>& selected_tables,
                              const std::vector<RelationshipMeta>& selected_relationships,
                              const SelectorConfig& config);
SelectionMetrics fill_metrics(const MetadataCatalog& catalog, const CatalogMeasure& input,
                              const JsonMap& selected_metadata, double chars_per_token);

using schemasift::detail::has_non_ascii;

// Lower case of text into out (full Unicode mapping; ASCII without decoding).
void lower_into(std::string_view text, std::string& out);
// _split_identifier(text) into out.
void split_identifier_into(std::string_view text, std::string& out);

// Stable sort of positions 0..n-1 by score, highest first.
template <class ScoreOf>
std::vector<std::size_t> ranked_positions(std::size_t n, ScoreOf score_of);

}  // namespace tessarin::schemasift::internal

#include <algorithm>
#include <limits>
#include <numeric>

namespace tessarin::schemasift::internal {

template <class ScoreOf>
std::vector<std::size_t> ranked_positions(std::size_t n, ScoreOf score_of) {
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  // NaN (only a vector facility could produce one) ranks last, so the
  // comparison stays a strict weak order.
  auto key = [&](std::size_t i) {
    double s = score_of(i);
    return s != s ? -std::numeric_limits<double>::infinity() : s;
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return key(a) > key(b); });
  return order;
}

}  // namespace tessarin::schemasift::internal
