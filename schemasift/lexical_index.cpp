// Building the lexical index of a prepared catalog, its serialized form, and
// finding what one question touches in it.
#include "tessarin/schemasift/lexical_index.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "tessarin/schemasift/heap_size.h"

namespace tessarin::schemasift::internal {

namespace {

// Calls f with each scoring token of text as lexical scoring compares it:
// lower case throughout. The view lives until f returns.
template <class F>
void for_each_lowered_token(std::string_view text, std::string& buffer, F&& f) {
  for_each_scoring_token(
      text,
      [&](const char* token, std::size_t length) {
        if (token[0] < 'A' || token[0] > 'Z') return f(std::string_view(token, length));
        buffer.assign(token, length);
        buffer[0] = static_cast<char>(buffer[0] - 'A' + 'a');
        f(std::string_view(buffer));
      },
      f);
}

// Positions are kept in 32-bit words beside a few flag bits.
constexpr std::size_t kMaxOwners = std::size_t{1} << 27;

[[noreturn]] void too_large() {
  throw std::invalid_argument("the catalog has too many tables or columns to index");
}

using Found = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

}  // namespace

// ---- key sets ----

namespace {

// Keys are mostly words of a few bytes: read them whole where possible and
// compare them without a library call.
inline std::uint64_t load_tail(const char* p, std::size_t n) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < n; ++i)
    word |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  return word;
}

inline bool same_key(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a.size() > 16) return std::memcmp(a.data(), b.data(), a.size()) == 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

}  // namespace

inline std::uint32_t KeySet::hash(std::string_view key) {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  std::uint64_t h = key.size() * kMultiplier;
  std::size_t i = 0;
  for (; i + 8 <= key.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, key.data() + i, 8);
    h = (h ^ word) * kMultiplier;
    h ^= h >> 32;
  }
  if (i < key.size()) h = (h ^ load_tail(key.data() + i, key.size() - i)) * kMultiplier;
  h ^= h >> 29;
  h *= kMultiplier;
  return static_cast<std::uint32_t>(h >> 32);
}

std::uint32_t KeySet::find(std::string_view key) const {
  if (slots_.empty()) return kNone;
  std::uint32_t h = hash(key);
  std::size_t mask = slots_.size() - 1;
  for (std::size_t at = h & mask;; at = (at + 1) & mask) {
    std::uint64_t slot = slots_[at];
    if (slot == 0) return kNone;
    if (static_cast<std::uint32_t>(slot >> 32) != h) continue;
    auto id = static_cast<std::uint32_t>(slot) - 1;
    if (same_key(this->key(id), key)) return id;
  }
}

void KeySet::grow() {
  std::size_t capacity = std::max<std::size_t>(64, slots_.size() * 2);
  std::vector<std::uint64_t> slots(capacity, 0);
  std::size_t mask = capacity - 1;
  for (std::uint64_t slot : slots_) {
    if (slot == 0) continue;
    std::size_t at = (slot >> 32) & mask;
    while (slots[at] != 0) at = (at + 1) & mask;
    slots[at] = slot;
  }
  slots_ = std::move(slots);
}

std::uint32_t KeySet::insert(std::string_view key) {
  if (2 * (size() + 1) > slots_.size()) grow();
  std::uint32_t h = hash(key);
  std::size_t mask = slots_.size() - 1;
  std::size_t at = h & mask;
  for (;; at = (at + 1) & mask) {
    std::uint64_t slot = slots_[at];
    if (slot == 0) break;
    if (static_cast<std::uint32_t>(slot >> 32) != h) continue;
    auto id = static_cast<std::uint32_t>(slot) - 1;
    if (same_key(this->key(id), key)) return id;
  }
  if (text_.size() + key.size() > 0xFFFFFFFFu || size() >= 0xFFFFFFFEu) too_large();
  auto id = static_cast<std::uint32_t>(size());
  text_.append(key);
  offsets_.push_back(static_cast<std::uint32_t>(text_.size()));
  slots_[at] = (std::uint64_t{h} << 32) | (id + 1);
  return id;
}

void KeySet::shrink_to_fit() {
  text_.shrink_to_fit();
  offsets_.shrink_to_fit();
}

std::size_t KeySet::nbytes() const {
  return string_bytes(text_) + vector_bytes(offsets_) + vector_bytes(slots_);
}

void KeySet::write(codec::Writer& out) const {
  out.bytes(text_);
  out.u32s(offsets_);
}

void KeySet::read(codec::Reader& in) {
  std::string_view text = in.bytes();
  std::vector<std::uint32_t> offsets = in.u32s();
  if (offsets.empty() || offsets.front() != 0 || offsets.back() != text.size())
    codec::Reader::corrupt();
  for (std::size_t i = 1; i < offsets.size(); ++i)
    if (offsets[i] < offsets[i - 1]) codec::Reader::corrupt();
  text_.clear();
  offsets_.assign(1, 0);
  slots_.clear();
  text_.reserve(text.size());
  offsets_.reserve(offsets.size());
  std::size_t capacity = 64;
  while (capacity < 2 * offsets.size()) capacity *= 2;
  slots_.assign(capacity, 0);
  for (std::size_t i = 0; i + 1 < offsets.size(); ++i) {
    std::size_t before = size();
    insert(text.substr(offsets[i], offsets[i + 1] - offsets[i]));
    if (size() == before) codec::Reader::corrupt();  // a key twice
  }
}

// ---- postings ----

namespace {

// Files (key, item) pairs by key, keeping their order within a key.
void file_postings(const Found& found, std::size_t keys, std::vector<std::uint32_t>& begin,
                   std::vector<std::uint32_t>& items) {
  begin.assign(keys + 1, 0);
  for (const auto& [key, item] : found) ++begin[key + 1];
  for (std::size_t k = 0; k < keys; ++k) begin[k + 1] += begin[k];
  items.resize(found.size());
  std::vector<std::uint32_t> next(begin.begin(), begin.end() - 1);
  for (const auto& [key, item] : found) items[next[key]++] = item;
}

void read_postings(codec::Reader& in, std::vector<std::uint32_t>& begin,
                   std::vector<std::uint32_t>& items, std::size_t keys) {
  begin = in.u32s();
  items = in.u32s();
  if (begin.size() != keys + 1 || begin.front() != 0 || begin.back() != items.size())
    codec::Reader::corrupt();
  for (std::size_t k = 0; k < keys; ++k)
    if (begin[k + 1] < begin[k]) codec::Reader::corrupt();
}

}  // namespace

void LexicalIndex::Postings::check(std::size_t owners, std::uint32_t shift) const {
  for (std::uint32_t item : items)
    if ((item >> shift) >= owners || (shift == kFieldBits && (item & kFieldMask) == 0))
      codec::Reader::corrupt();
}

// ---- phrases ----

void LexicalIndex::PhraseIndex::add(std::string_view phrase, std::uint32_t owner) {
  added_.emplace_back(phrases_.insert(phrase), owner);
}

void LexicalIndex::PhraseIndex::seal() {
  file_postings(added_, phrases_.size(), owners_.begin, owners_.items);
  Found().swap(added_);
  phrases_.shrink_to_fit();
  index_lengths();
}

void LexicalIndex::PhraseIndex::index_lengths() {
  pair_lengths_.assign(kPairBuckets, 0);
  single_bytes_.fill(false);
  lengths_.clear();
  empty_ = KeySet::kNone;
  for (std::uint32_t id = 0; id < phrases_.size(); ++id) {
    std::string_view phrase = phrases_.key(id);
    if (phrase.empty()) {
      empty_ = id;
      continue;
    }
    lengths_.push_back(static_cast<std::uint32_t>(phrase.size()));
    auto first = static_cast<unsigned char>(phrase[0]);
    if (phrase.size() == 1) {
      single_bytes_[first] = true;
    } else {
      auto second = static_cast<unsigned char>(phrase[1]);
      pair_lengths_[pair_bucket(first, second)] |= std::uint64_t{1}
                                                   << std::min(phrase.size(), kLongLength);
    }
  }
  std::sort(lengths_.begin(), lengths_.end());
  lengths_.erase(std::unique(lengths_.begin(), lengths_.end()), lengths_.end());
  lengths_.shrink_to_fit();
  length_sum_ = 0;
  for (std::size_t length : lengths_) length_sum_ += length;
}

template <class Hit>
void LexicalIndex::PhraseIndex::find_in(std::string_view text, Hit&& hit) const {
  std::vector<std::uint32_t> found;
  // The empty phrase is in every text.
  if (empty_ != KeySet::kNone) found.push_back(empty_);
  // Looking up the substrings that may be phrases (by their first two
  // bytes and length) costs at most text.size() * length_sum_ hashed bytes;
  // searching the text for each phrase costs about text.size() per phrase.
  // Both find the same phrases.
  if (length_sum_ < phrases_.size()) {
    auto look_up = [&](std::size_t at, std::size_t length) {
      if (at + length > text.size()) return;
      std::uint32_t id = phrases_.find(text.substr(at, length));
      if (id != KeySet::kNone) found.push_back(id);
    };
    auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    for (std::size_t at = 0; at < text.size(); ++at) {
      if (single_bytes_[byte(at)]) look_up(at, 1);
      if (at + 1 >= text.size()) break;
      std::uint64_t lengths = pair_lengths_[pair_bucket(byte(at), byte(at + 1))];
      for (; lengths != 0; lengths &= lengths - 1) {
        auto length = static_cast<std::size_t>(std::countr_zero(lengths));
        if (length < kLongLength) {
          look_up(at, length);
          continue;
        }
        for (auto it = std::lower_bound(lengths_.begin(), lengths_.end(),
                                        static_cast<std::uint32_t>(kLongLength));
             it != lengths_.end(); ++it)
          look_up(at, *it);
      }
    }
    // A phrase found at several places counts once.
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
  } else {
    for (std::uint32_t id = 0; id < phrases_.size(); ++id)
      if (id != empty_ && text.find(phrases_.key(id)) != std::string_view::npos)
        found.push_back(id);
  }
  for (std::uint32_t id : found)
    for (std::uint32_t p = owners_.begin[id]; p < owners_.begin[id + 1]; ++p) hit(owners_.items[p]);
}

std::size_t LexicalIndex::PhraseIndex::nbytes() const {
  return phrases_.nbytes() + vector_bytes(owners_.begin) + vector_bytes(owners_.items) +
         vector_bytes(added_) + vector_bytes(lengths_) + vector_bytes(pair_lengths_);
}

void LexicalIndex::PhraseIndex::write(codec::Writer& out) const {
  phrases_.write(out);
  out.u32s(owners_.begin);
  out.u32s(owners_.items);
}

void LexicalIndex::PhraseIndex::read(codec::Reader& in, std::size_t owners) {
  phrases_.read(in);
  read_postings(in, owners_.begin, owners_.items, phrases_.size());
  owners_.check(owners, 1);
  index_lengths();
}

// ---- building ----

LexicalIndex::LexicalIndex(const MetadataCatalog& catalog) {
  std::size_t columns = 0;
  for (const TableMeta& table : catalog.tables) columns += table.columns.size();
  reserve(catalog.tables.size(), columns);
  for (const TableMeta& table : catalog.tables) add_table(table);
  finish();
}

void LexicalIndex::reserve(std::size_t tables, std::size_t columns) {
  tables = std::min(tables, kMaxOwners);
  columns = std::min(columns, kMaxOwners);
  column_begin_.reserve(tables + 1);
  class_counts_.reserve(tables);
  column_class_.reserve(columns);
  // About a dozen distinct tokens each, as a rule; the lists are freed once filed.
  table_found_.reserve(tables * 12);
  column_found_.reserve(columns * 12);
}

void LexicalIndex::add_table(const TableMeta& table) {
  auto position = static_cast<std::uint32_t>(class_counts_.size());
  auto column = static_cast<std::uint32_t>(column_class_.size());
  if (position + 1 >= kMaxOwners || column + table.columns.size() >= kMaxOwners) too_large();
  column_begin_.push_back(column);
  std::array<std::uint32_t, kRoleClassCount> counts{};
  for (const ColumnMeta& col : table.columns) {
    RoleClass role = role_class(col, true, scratch_);
    column_class_.push_back(role);
    ++counts[static_cast<std::size_t>(role)];
  }
  class_counts_.push_back(counts);
  index_table(table, position);
  for (const ColumnMeta& col : table.columns) index_column(col, column++, scratch_);
}

void LexicalIndex::finish() {
  column_begin_.push_back(static_cast<std::uint32_t>(column_class_.size()));
  file_postings(table_found_, tokens_.size(), tables_.begin, tables_.items);
  file_postings(column_found_, tokens_.size(), columns_.begin, columns_.items);
  // Building scratch, freed.
  Found().swap(table_found_);
  Found().swap(column_found_);
  decltype(fields_)().swap(fields_);
  std::string().swap(buffer_);
  std::string().swap(scratch_);
  tokens_.shrink_to_fit();
  table_phrases_.seal();
  column_phrases_.seal();
}

LexicalIndex::LexicalIndex(codec::Reader& in, std::size_t tables) {
  // The columns' classes, written as one byte per column.
  std::string_view classes = in.bytes();
  std::size_t columns = classes.size();
  if (tables >= kMaxOwners || columns >= kMaxOwners) too_large();
  column_class_.resize(columns);
  for (std::size_t c = 0; c < columns; ++c) {
    auto role = static_cast<unsigned char>(classes[c]);
    if (role >= kRoleClassCount) codec::Reader::corrupt();
    column_class_[c] = static_cast<RoleClass>(role);
  }
  tokens_.read(in);
  read_postings(in, tables_.begin, tables_.items, tokens_.size());
  tables_.check(tables, kFieldBits);
  read_postings(in, columns_.begin, columns_.items, tokens_.size());
  columns_.check(columns, kFieldBits);
  table_phrases_.read(in, tables);
  column_phrases_.read(in, columns);
}

void LexicalIndex::attach(const MetadataCatalog& catalog) {
  column_begin_.reserve(catalog.tables.size() + 1);
  class_counts_.reserve(catalog.tables.size());
  std::size_t column = 0;
  for (const TableMeta& table : catalog.tables) {
    if (table.columns.size() > column_class_.size() - column) codec::Reader::corrupt();
    column_begin_.push_back(static_cast<std::uint32_t>(column));
    std::array<std::uint32_t, kRoleClassCount> counts{};
    for (std::size_t c = 0; c < table.columns.size(); ++c)
      ++counts[static_cast<std::size_t>(column_class_[column++])];
    class_counts_.push_back(counts);
  }
  if (column != column_class_.size()) codec::Reader::corrupt();
  column_begin_.push_back(static_cast<std::uint32_t>(column));
}

void LexicalIndex::write(codec::Writer& out) const {
  std::string classes(column_class_.size(), '\0');
  for (std::size_t c = 0; c < classes.size(); ++c) classes[c] = static_cast<char>(column_class_[c]);
  out.bytes(classes);
  tokens_.write(out);
  out.u32s(tables_.begin);
  out.u32s(tables_.items);
  out.u32s(columns_.begin);
  out.u32s(columns_.items);
  table_phrases_.write(out);
  column_phrases_.write(out);
}

namespace {

// Token id and field bit, one entry per (token, field) pair found, filed as
// one posting per distinct token.
void add_postings(std::vector<std::pair<std::uint32_t, std::uint8_t>>& fields, std::uint32_t owner,
                  int field_bits, Found& out) {
  // A table or column has a few dozen tokens at most, as a rule.
  if (fields.size() > 48) {
    std::sort(fields.begin(), fields.end());
  } else {
    for (std::size_t i = 1; i < fields.size(); ++i) {
      auto item = fields[i];
      std::size_t j = i;
      for (; j > 0 && item < fields[j - 1]; --j) fields[j] = fields[j - 1];
      fields[j] = item;
    }
  }
  for (std::size_t i = 0; i < fields.size();) {
    std::uint32_t id = fields[i].first;
    std::uint32_t bits = 0;
    for (; i < fields.size() && fields[i].first == id; ++i) bits |= fields[i].second;
    out.emplace_back(id, owner << field_bits | bits);
  }
}

}  // namespace

void LexicalIndex::index_table(const TableMeta& table, std::uint32_t position) {
  fields_.clear();
  auto in_field = [&](std::size_t field) {
    return [&, field](std::string_view token) {
      fields_.emplace_back(tokens_.insert(token), std::uint8_t(1u << field));
    };
  };
  for_each_lowered_token(table.table_name, buffer_, in_field(kTableFieldName));
  for_each_lowered_token(table.business_name, buffer_, in_field(kTableFieldBusinessName));
  for (const std::string& tag : table.tags)
    for_each_lowered_token(tag, buffer_, in_field(kTableFieldTags));
  for_each_lowered_token(table.description, buffer_, in_field(kTableFieldDescription));
  add_postings(fields_, position, kFieldBits, table_found_);

  if (!table.table_name.empty()) {
    split_identifier_into(table.table_name, buffer_);
    table_phrases_.add(buffer_, position << 1);
  }
  if (!table.business_name.empty()) {
    lower_into(table.business_name, buffer_);
    table_phrases_.add(buffer_, position << 1 | 1);
  }
}

void LexicalIndex::index_column(const ColumnMeta& col, std::uint32_t column, std::string& scratch) {
  fields_.clear();
  auto in_field = [&](std::size_t field) {
    return [&, field](std::string_view token) {
      fields_.emplace_back(tokens_.insert(token), std::uint8_t(1u << field));
    };
  };
  for_each_lowered_token(col.name, buffer_, in_field(kFieldName));
  for (const std::string& synonym : col.synonyms)
    for_each_lowered_token(synonym, buffer_, in_field(kFieldSynonyms));
  for (const std::string& tag : col.tags)
    for_each_lowered_token(tag, buffer_, in_field(kFieldTags));
  for_each_lowered_token(col.description, buffer_, in_field(kFieldDescription));
  add_postings(fields_, column, kFieldBits, column_found_);

  split_identifier_into(col.name, scratch);
  if (!scratch.empty()) column_phrases_.add(scratch, column << 1);
  for (const std::string& synonym : col.synonyms) {
    lower_into(synonym, scratch);
    if (!scratch.empty()) column_phrases_.add(scratch, column << 1 | 1);
  }
}

// ---- one question ----

void LexicalIndex::gather(const QueryTerms& terms, LexicalEvidence& out) const {
  std::size_t tables = class_counts_.size();
  std::size_t columns = column_begin_.back();
  out.table_counts.assign(tables, FieldCounts{});
  out.table_phrases.assign(tables, 0);
  out.table_hit.assign(tables, 0);
  out.column_counts.assign(columns, FieldCounts{});
  out.column_phrases.assign(columns, 0);
  out.column_hit.assign(columns, 0);
  auto count = [](FieldCounts& counts, std::uint32_t fields) {
    for (std::size_t field = 0; field < kColumnFieldCount; ++field)
      counts[field] += (fields >> field) & 1u;
  };
  for (std::size_t i = 0; i < terms.tokens.size(); ++i) {
    if (!terms.matchable[i]) continue;
    std::uint32_t id = tokens_.find(terms.tokens[i]);
    if (id == KeySet::kNone) continue;
    for (std::uint32_t p = tables_.begin[id]; p < tables_.begin[id + 1]; ++p) {
      std::uint32_t posting = tables_.items[p];
      count(out.table_counts[posting >> kFieldBits], posting & kFieldMask);
      out.table_hit[posting >> kFieldBits] = 1;
    }
    for (std::uint32_t p = columns_.begin[id]; p < columns_.begin[id + 1]; ++p) {
      std::uint32_t posting = columns_.items[p];
      count(out.column_counts[posting >> kFieldBits], posting & kFieldMask);
      out.column_hit[posting >> kFieldBits] = 1;
    }
  }
  table_phrases_.find_in(terms.lower, [&](std::uint32_t owner) {
    out.table_phrases[owner >> 1] |=
        (owner & 1) ? LexicalEvidence::kBusinessPhrase : LexicalEvidence::kNamePhrase;
    out.table_hit[owner >> 1] = 1;
  });
  column_phrases_.find_in(terms.lower, [&](std::uint32_t owner) {
    out.column_phrases[owner >> 1] +=
        (owner & 1) ? 1u << LexicalEvidence::kSynonymShift : LexicalEvidence::kNamePhrase;
    out.column_hit[owner >> 1] = 1;
  });
}

std::size_t LexicalIndex::nbytes() const {
  return tokens_.nbytes() + vector_bytes(tables_.begin) + vector_bytes(tables_.items) +
         vector_bytes(columns_.begin) + vector_bytes(columns_.items) + table_phrases_.nbytes() +
         column_phrases_.nbytes() + vector_bytes(column_begin_) + vector_bytes(column_class_) +
         vector_bytes(class_counts_) + vector_bytes(table_found_) + vector_bytes(column_found_) +
         vector_bytes(fields_) + string_bytes(buffer_) + string_bytes(scratch_);
}

}  // namespace tessarin::schemasift::internal
