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

#include "tessarin/schemasift/catalog.h"
#include "tessarin/schemasift/selector_internal.h"
#include "tessarin/schemasift/text.h"

namespace tessarin::schemasift::internal {

// The fields of a table whose tokens count towards its lexical score, in
// the order the score adds them.
enum TableField : std::size_t { kTableFieldName, kTableFieldBusinessName, kTableFieldTags,
                                kTableFieldDescription };

// What a question touches in a catalog, filled by LexicalIndex::gather.
struct LexicalEvidence {
  // Exact phrases found: a table's name and business name, a column's name.
  static constexpr std::uint32_t kNamePhrase = 1;
  static constexpr std::uint32_t kBusinessPhrase = 2;
  // A column's synonyms found as phrases are counted above this bit.
  static constexpr int kSynonymShift = 1;

  // Per table, in catalog order: distinct question tokens per field, the
  // phrases found, and whether anything was.
  std::vector<FieldCounts> table_counts;
  std::vector<std::uint32_t> table_phrases;
  std::vector<unsigned char> table_hit;
  // Per column, in catalog order across all tables: the same.
  std::vector<FieldCounts> column_counts;
  std::vector<std::uint32_t> column_phrases;
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
  // A table or column holding a token, with a bit per field holding it.
  struct Posting {
    std::uint32_t owner;
    std::uint8_t fields;
  };
  struct Postings {
    std::vector<Posting> tables;
    std::vector<Posting> columns;
  };
  // Phrases to look for in the lower-cased question, each with the tables
  // or columns it belongs to, as (position << 1 | kind): a name (0) or a
  // business name or synonym (1). A column lists a synonym once per time it
  // has it.
  class PhraseIndex {
   public:
    void add(std::string phrase, std::uint32_t owner);
    void seal();
    // Calls hit(owner) for each owner of each distinct phrase found in text.
    template <class Hit>
    void find_in(std::string_view text, Hit&& hit) const;
    std::size_t nbytes() const;

   private:
    using Owners = std::vector<std::uint32_t>;
    static constexpr std::size_t kPairBuckets = 8192;
    static constexpr std::size_t kLongLength = 63;  // this length and more share a bit
    static std::size_t pair_bucket(unsigned char first, unsigned char second) {
      return (first * 131u + second) & (kPairBuckets - 1);
    }

    std::unordered_map<std::string, Owners, StringHash, std::equal_to<>> owners_;
    std::vector<std::size_t> lengths_;  // distinct phrase lengths, ascending
    std::size_t length_sum_ = 0;
    // Which lengths the phrases starting with a pair of bytes have (a bit
    // per length, by a hash of the pair), and which bytes are phrases of
    // one byte: most places of a question start no phrase at all.
    std::vector<std::uint64_t> pair_lengths_;
    std::array<bool, 256> single_bytes_{};
  };

  std::uint32_t token_id(std::string_view token);
  void index_table(const TableMeta& table, std::uint32_t position);
  void index_column(const ColumnMeta& col, std::uint32_t column, std::string& scratch);

  std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>> token_ids_;
  std::vector<Postings> postings_;
  PhraseIndex table_phrases_;
  PhraseIndex column_phrases_;
  std::vector<std::size_t> column_begin_;  // per table, then the total
  std::vector<RoleClass> column_class_;
  std::vector<std::array<std::uint32_t, kRoleClassCount>> class_counts_;
  std::string buffer_;  // scratch while building
};

}  // namespace tessarin::schemasift::internal
