// The lexical index of a prepared catalog: which tables and columns hold
// each scoring token, and which hold each exact phrase, so that a selection
// scores in full only what its question touches.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tessarin/schemasift/catalog.h"
#include "tessarin/schemasift/catalog_codec.h"
#include "tessarin/schemasift/selector_internal.h"
#include "tessarin/schemasift/text.h"

namespace tessarin::schemasift::internal {

// The fields of a table whose tokens count towards its lexical score, in
// the order the score adds them.
enum TableField : std::size_t {
  kTableFieldName,
  kTableFieldBusinessName,
  kTableFieldTags,
  kTableFieldDescription
};

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

// A set of byte strings numbered in order of insertion, kept flat: the
// strings back to back in one buffer and an open-addressing table of ids.
class KeySet {
 public:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

  std::uint32_t find(std::string_view key) const;
  // The key's id, numbering it when it is new.
  std::uint32_t insert(std::string_view key);
  std::size_t size() const { return offsets_.size() - 1; }
  std::string_view key(std::uint32_t id) const {
    return std::string_view(text_).substr(offsets_[id], offsets_[id + 1] - offsets_[id]);
  }
  void shrink_to_fit();
  std::size_t nbytes() const;

  void write(codec::Writer& out) const;
  // Throws std::invalid_argument on damaged data (a key twice, say).
  void read(codec::Reader& in);

 private:
  static std::uint32_t hash(std::string_view key);
  void grow();

  std::string text_;
  std::vector<std::uint32_t> offsets_{0};  // per key, then the end
  // Empty (0), or the key's hash in the high half and its id + 1 in the low.
  std::vector<std::uint64_t> slots_;
};

class LexicalIndex {
 public:
  explicit LexicalIndex(const MetadataCatalog& catalog);
  // Built table by table, in catalog order: reserve (optional), add_table
  // for each table, then finish. The same index as from the whole catalog.
  LexicalIndex() = default;
  void reserve(std::size_t tables, std::size_t columns);
  void add_table(const TableMeta& table);
  void finish();
  // The index written by write() for a catalog of `tables` tables, read
  // without the catalog (so that both may be read at once); attach then
  // completes it from the catalog. Both throw std::invalid_argument on
  // damaged data.
  LexicalIndex(codec::Reader& in, std::size_t tables);
  void attach(const MetadataCatalog& catalog);

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
  // The column classes and the token and phrase postings; the rest is
  // derived from the catalog on reading.
  void write(codec::Writer& out) const;

 private:
  // A posting is a table or column's position, shifted left by kFieldBits,
  // with a bit per field holding the token.
  static constexpr int kFieldBits = 4;
  static constexpr std::uint32_t kFieldMask = (1u << kFieldBits) - 1;

  // Tokens' postings by token id: token t's are items[begin[t], begin[t + 1]).
  struct Postings {
    std::vector<std::uint32_t> begin;
    std::vector<std::uint32_t> items;
    // Throws std::invalid_argument when an item names no owner.
    void check(std::size_t owners, std::uint32_t shift) const;
  };

  // Phrases to look for in the lower-cased question, each with the tables
  // or columns it belongs to, as (position << 1 | kind): a name (0) or a
  // business name or synonym (1). A column lists a synonym once per time it
  // has it.
  class PhraseIndex {
   public:
    void add(std::string_view phrase, std::uint32_t owner);
    // Ends adding: files the owners by phrase.
    void seal();
    // Calls hit(owner) for each owner of each distinct phrase found in text.
    template <class Hit>
    void find_in(std::string_view text, Hit&& hit) const;
    std::size_t nbytes() const;
    void write(codec::Writer& out) const;
    void read(codec::Reader& in, std::size_t owners);

   private:
    static constexpr std::size_t kPairBuckets = 8192;
    static constexpr std::size_t kLongLength = 63;  // this length and more share a bit
    static std::size_t pair_bucket(unsigned char first, unsigned char second) {
      return (first * 131u + second) & (kPairBuckets - 1);
    }
    // The lookup tables below, from the phrases.
    void index_lengths();

    KeySet phrases_;
    Postings owners_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> added_;  // (phrase, owner) until sealed
    std::uint32_t empty_ = KeySet::kNone;  // the empty phrase, found in any text
    std::vector<std::uint32_t> lengths_;   // distinct phrase lengths, ascending
    std::size_t length_sum_ = 0;
    // Which lengths the phrases starting with a pair of bytes have (a bit
    // per length, by a hash of the pair), and which bytes are phrases of
    // one byte: most places of a question start no phrase at all.
    std::vector<std::uint64_t> pair_lengths_;
    std::array<bool, 256> single_bytes_{};
  };

  void index_table(const TableMeta& table, std::uint32_t position);
  void index_column(const ColumnMeta& col, std::uint32_t column, std::string& scratch);

  KeySet tokens_;
  Postings tables_;
  Postings columns_;
  PhraseIndex table_phrases_;
  PhraseIndex column_phrases_;
  std::vector<std::uint32_t> column_begin_;  // per table, then the total
  std::vector<RoleClass> column_class_;
  std::vector<std::array<std::uint32_t, kRoleClassCount>> class_counts_;
  // While building: (token id, posting) pairs, and scratch.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> table_found_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> column_found_;
  std::vector<std::pair<std::uint32_t, std::uint8_t>> fields_;
  std::string buffer_;
  std::string scratch_;
};

}  // namespace tessarin::schemasift::internal
