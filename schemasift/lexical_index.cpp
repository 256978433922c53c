// Building the lexical index of a prepared catalog and finding what one
// question touches in it.
#include "tessarin/schemasift/lexical_index.h"

#include <algorithm>
#include <bit>

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

template <class T>
std::size_t vector_bytes(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

// Rough heap cost of one node of a node-based hash map.
constexpr std::size_t kNodeOverhead = 48;

}  // namespace

// ---- phrases ----

void LexicalIndex::PhraseIndex::add(std::string phrase, std::uint32_t owner) {
  owners_[std::move(phrase)].push_back(owner);
}

void LexicalIndex::PhraseIndex::seal() {
  pair_lengths_.assign(kPairBuckets, 0);
  for (const auto& [phrase, owners] : owners_) {
    lengths_.push_back(phrase.size());
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
  length_sum_ = 0;
  for (std::size_t length : lengths_) length_sum_ += length;
}

template <class Hit>
void LexicalIndex::PhraseIndex::find_in(std::string_view text, Hit&& hit) const {
  std::vector<const Owners*> found;
  // Looking up the substrings that may be phrases (by their first two
  // bytes and length) costs at most text.size() * length_sum_ hashed bytes;
  // searching the text for each phrase costs about text.size() per phrase.
  // Both find the same phrases.
  if (length_sum_ < owners_.size()) {
    auto look_up = [&](std::size_t at, std::size_t length) {
      if (at + length > text.size()) return;
      auto entry = owners_.find(text.substr(at, length));
      if (entry != owners_.end()) found.push_back(&entry->second);
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
        for (auto it = std::lower_bound(lengths_.begin(), lengths_.end(), kLongLength);
             it != lengths_.end(); ++it)
          look_up(at, *it);
      }
    }
    // A phrase found at several places counts once.
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
  } else {
    for (const auto& [phrase, owners] : owners_)
      if (text.find(phrase) != std::string_view::npos) found.push_back(&owners);
  }
  for (const Owners* owners : found)
    for (std::uint32_t owner : *owners) hit(owner);
}

std::size_t LexicalIndex::PhraseIndex::nbytes() const {
  std::size_t bytes = owners_.bucket_count() * sizeof(void*) + vector_bytes(lengths_) +
                      vector_bytes(pair_lengths_);
  for (const auto& [phrase, owners] : owners_)
    bytes += kNodeOverhead + phrase.capacity() + vector_bytes(owners);
  return bytes;
}

// ---- building ----

LexicalIndex::LexicalIndex(const MetadataCatalog& catalog) {
  column_begin_.reserve(catalog.tables.size() + 1);
  class_counts_.reserve(catalog.tables.size());
  std::string scratch;
  std::uint32_t column = 0;
  for (std::size_t t = 0; t < catalog.tables.size(); ++t) {
    const TableMeta& table = catalog.tables[t];
    column_begin_.push_back(column);
    index_table(table, static_cast<std::uint32_t>(t));
    std::array<std::uint32_t, kRoleClassCount> counts{};
    for (const ColumnMeta& col : table.columns) {
      RoleClass role = role_class(col, true, scratch);
      column_class_.push_back(role);
      ++counts[static_cast<std::size_t>(role)];
      index_column(col, column++, scratch);
    }
    class_counts_.push_back(counts);
  }
  column_begin_.push_back(column);
  table_phrases_.seal();
  column_phrases_.seal();
}

std::uint32_t LexicalIndex::token_id(std::string_view token) {
  auto found = token_ids_.find(token);
  if (found != token_ids_.end()) return found->second;
  auto id = static_cast<std::uint32_t>(postings_.size());
  token_ids_.emplace(std::string(token), id);
  postings_.emplace_back();
  return id;
}

namespace {

// Token id and field bit, one entry per (token, field) pair found, turned
// into one posting per distinct token.
using FieldTokens = std::vector<std::pair<std::uint32_t, std::uint8_t>>;

template <class Add>
void add_postings(FieldTokens& found, std::uint32_t owner, Add&& add) {
  std::sort(found.begin(), found.end());
  for (std::size_t i = 0; i < found.size();) {
    std::uint32_t id = found[i].first;
    std::uint8_t fields = 0;
    for (; i < found.size() && found[i].first == id; ++i) fields |= found[i].second;
    add(id, owner, fields);
  }
}

}  // namespace

void LexicalIndex::index_table(const TableMeta& table, std::uint32_t position) {
  FieldTokens found;
  auto in_field = [&](std::size_t field) {
    return [&, field](std::string_view token) {
      found.emplace_back(token_id(token), std::uint8_t(1u << field));
    };
  };
  for_each_lowered_token(table.table_name, buffer_, in_field(kTableFieldName));
  for_each_lowered_token(table.business_name, buffer_, in_field(kTableFieldBusinessName));
  for (const std::string& tag : table.tags) for_each_lowered_token(tag, buffer_, in_field(kTableFieldTags));
  for_each_lowered_token(table.description, buffer_, in_field(kTableFieldDescription));
  add_postings(found, position, [&](std::uint32_t id, std::uint32_t owner, std::uint8_t fields) {
    postings_[id].tables.push_back({owner, fields});
  });

  std::string phrase;
  if (!table.table_name.empty()) {
    split_identifier_into(table.table_name, phrase);
    table_phrases_.add(phrase, position << 1);
  }
  if (!table.business_name.empty()) {
    lower_into(table.business_name, phrase);
    table_phrases_.add(phrase, position << 1 | 1);
  }
}

void LexicalIndex::index_column(const ColumnMeta& col, std::uint32_t column, std::string& scratch) {
  FieldTokens found;
  auto in_field = [&](std::size_t field) {
    return [&, field](std::string_view token) {
      found.emplace_back(token_id(token), std::uint8_t(1u << field));
    };
  };
  for_each_lowered_token(col.name, buffer_, in_field(kFieldName));
  for (const std::string& synonym : col.synonyms)
    for_each_lowered_token(synonym, buffer_, in_field(kFieldSynonyms));
  for (const std::string& tag : col.tags) for_each_lowered_token(tag, buffer_, in_field(kFieldTags));
  for_each_lowered_token(col.description, buffer_, in_field(kFieldDescription));
  add_postings(found, column, [&](std::uint32_t id, std::uint32_t owner, std::uint8_t fields) {
    postings_[id].columns.push_back({owner, fields});
  });

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
  auto count = [](FieldCounts& counts, std::uint8_t fields) {
    for (std::size_t field = 0; field < kColumnFieldCount; ++field)
      counts[field] += (fields >> field) & 1u;
  };
  for (std::size_t i = 0; i < terms.tokens.size(); ++i) {
    if (!terms.matchable[i]) continue;
    auto found = token_ids_.find(terms.tokens[i]);
    if (found == token_ids_.end()) continue;
    const Postings& postings = postings_[found->second];
    for (const Posting& posting : postings.tables) {
      count(out.table_counts[posting.owner], posting.fields);
      out.table_hit[posting.owner] = 1;
    }
    for (const Posting& posting : postings.columns) {
      count(out.column_counts[posting.owner], posting.fields);
      out.column_hit[posting.owner] = 1;
    }
  }
  table_phrases_.find_in(terms.lower, [&](std::uint32_t owner) {
    out.table_phrases[owner >> 1] |= (owner & 1) ? LexicalEvidence::kBusinessPhrase
                                                 : LexicalEvidence::kNamePhrase;
    out.table_hit[owner >> 1] = 1;
  });
  column_phrases_.find_in(terms.lower, [&](std::uint32_t owner) {
    out.column_phrases[owner >> 1] += (owner & 1) ? 1u << LexicalEvidence::kSynonymShift
                                                  : LexicalEvidence::kNamePhrase;
    out.column_hit[owner >> 1] = 1;
  });
}

std::size_t LexicalIndex::nbytes() const {
  std::size_t bytes = token_ids_.bucket_count() * sizeof(void*) + vector_bytes(postings_);
  for (const auto& [token, id] : token_ids_) bytes += kNodeOverhead + token.capacity();
  for (const Postings& postings : postings_)
    bytes += vector_bytes(postings.tables) + vector_bytes(postings.columns);
  return bytes + table_phrases_.nbytes() + column_phrases_.nbytes() +
         vector_bytes(column_begin_) + vector_bytes(column_class_) + vector_bytes(class_counts_);
}

}  // namespace tessarin::schemasift::internal
