// The lexical index of a prepared catalog: which tables and columns hold
// each scoring token, and which hold each exact phrase, so that a selection
// scores in full only what its question touches.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "schemasift/catalog.h"
#include "schemasift/selector_internal.h"
#include "schemasift/text.h"

namespace tessarin::schemasift::internal {

// What a question touches in a catalog, filled by LexicalIndex::gather.
struct LexicalEvidence {
  // Per table: one of its own fields holds a question token or phrase.
  std::vector<unsigned char> table_hit;
  // Per column (catalog order, all tables): distinct question tokens per field.
  std::vector<FieldCounts> counts;
  // Per column: its name or a synonym is a phrase of the question.
  std::vector<unsigned char> column_phrase;
  // Per column: any count or phrase above.
  std::vector<unsigned char> column_hit;
};

class LexicalIndex {
 public:
  explicit LexicalIndex(const MetadataCatalog& catalog);

  // Position of a table's first column among all columns.
  std::size_t first_column(std::size_t table) const { return column_begin_[table]; }
  RoleClass column_class(std::size_t column) const { return column_class_[column]; }
  // A table's columns by class.
  const std::array<std::uint32_t, kRoleClassCount>& class_counts(std::size_t table) const {
    return class_counts_[table];
  }

  // The tables and columns the question's matchable tokens and phrases reach.
  void gather(const QueryTerms& terms, LexicalEvidence& out) const;

  std::size_t nbytes() const;

 private:
  struct ColumnPosting {
    std::uint32_t column;
    std::uint8_t fields;  // bit per ColumnField
  };
  struct Postings {
    std::vector<std::uint32_t> tables;
    std::vector<ColumnPosting> columns;
  };
  // Phrases to look for in the lower-cased question, with whom they belong
  // to (table or column positions).
  class PhraseIndex {
   public:
    void add(std::string phrase, std::uint32_t owner);
    void seal();
    // Calls hit(owner) for every owner of a phrase that occurs in text.
    template <class Hit>
    void find_in(std::string_view text, Hit&& hit) const;
    std::size_t nbytes() const;

   private:
    std::unordered_map<std::string, std::vector<std::uint32_t>, StringHash, std::equal_to<>>
        owners_;
    std::vector<std::size_t> lengths_;  // distinct phrase lengths, ascending
    std::size_t length_sum_ = 0;
  };

  std::uint32_t token_id(std::string token);
  void index_table(const TableMeta& table, std::uint32_t position);
  void index_column(const ColumnMeta& col, std::uint32_t column, std::string& scratch);

  std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>> token_ids_;
  std::vector<Postings> postings_;
  PhraseIndex table_phrases_;
  PhraseIndex column_phrases_;
  std::vector<std::size_t> column_begin_;  // per table, then the total
  std::vector<RoleClass> column_class_;
  std::vector<std::array<std::uint32_t, kRoleClassCount>> class_counts_;
};

}  // namespace tessarin::schemasift::internal
