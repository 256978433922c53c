// Lexical scoring of tables and columns: weighted token overlap with the
// question, exact-phrase bonuses and, for columns, role bonuses that answer
// the question's intent, squashed into [0, 1).
//
// The scorers run for every column of every table, so the question is
// prepared once (QueryTerms) and documents are scanned token by token
// without building token lists: only tokens that the question holds matter.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "tessarin/common/unicode.h"
#include "tessarin/schemasift/lexical_index.h"
#include "tessarin/schemasift/selector.h"
#include "tessarin/schemasift/selector_internal.h"

namespace tessarin::schemasift {

namespace {

// Raw score at which the normalized score is one half.
constexpr double kNormalizationConstant = 10.0;
// At most this many overlapping tokens are named in a reason.
constexpr std::size_t kOverlapReasonLimit = 8;
// Added to an identifier column when the question counts or totals.
constexpr double kCountBonus = 0.8;
// Added to a categorical column whose name holds a common dimension word.
constexpr double kDimensionKeywordBonus = 1.2;

constexpr std::string_view kCountWords[] = {"count", "total"};
constexpr std::string_view kDimensionKeywords[] = {"status", "type", "category"};

void append_overlap_reason(std::vector<std::string>& reasons, std::string_view label,
                           const std::vector<std::string_view>& sorted_overlap) {
  std::string reason(label);
  reason += internal::kOverlapInfix;
  std::size_t n = std::min(sorted_overlap.size(), kOverlapReasonLimit);
  for (std::size_t i = 0; i < n; ++i) {
    if (i) reason += ", ";
    reason += sorted_overlap[i];
  }
  reasons.push_back(std::move(reason));
}

double overlap_share(std::size_t overlap, std::size_t q_size, double weight) {
  return static_cast<double>(overlap) / static_cast<double>(std::max<std::size_t>(1, q_size)) *
         weight;
}

bool is_one_of(std::string_view value, std::string_view a, std::string_view b) {
  return value == a || value == b;
}

// Marks the question tokens that occur in text.
void mark_tokens(const internal::QueryTerms& q, std::string_view text) {
  internal::for_each_scoring_token(
      text, [&](const char* token, std::size_t length) { q.mark_ascii(token, length); },
      [&](std::string_view token) { q.mark(token); });
}

// The overlap score of the marked tokens; clears the marks.
double take_overlap(const internal::QueryTerms& q, double weight, std::vector<std::string>* reasons,
                    std::string_view label) {
  std::size_t count = 0;
  for (unsigned char mark : q.marks) count += mark;
  if (count == 0) return 0.0;
  if (reasons) {
    std::vector<std::string_view> overlap;
    overlap.reserve(count);
    for (std::size_t i = 0; i < q.tokens.size(); ++i)
      if (q.marks[i]) overlap.push_back(q.tokens[i]);
    append_overlap_reason(*reasons, label, overlap);
  }
  std::fill(q.marks.begin(), q.marks.end(), 0);
  return overlap_share(count, q.set_size, weight);
}

bool any_matchable(const internal::QueryTerms& q) {
  return std::find(q.matchable.begin(), q.matchable.end(), true) != q.matchable.end();
}

double text_overlap(const internal::QueryTerms& q, std::string_view text, double weight,
                    std::vector<std::string>* reasons, std::string_view label) {
  if (!any_matchable(q)) return 0.0;
  mark_tokens(q, text);
  return take_overlap(q, weight, reasons, label);
}

// Entries joined by blanks tokenize as the entries one by one: a blank
// always separates tokens.
double list_overlap(const internal::QueryTerms& q, const std::vector<std::string>& entries,
                    double weight, std::vector<std::string>* reasons, std::string_view label) {
  if (!any_matchable(q)) return 0.0;
  for (const std::string& entry : entries) mark_tokens(q, entry);
  return take_overlap(q, weight, reasons, label);
}

// What an overlap of `count` tokens adds: what text_overlap and list_overlap
// return for it.
double counted_share(const internal::QueryTerms& q, std::uint32_t count, double weight) {
  return count == 0 ? 0.0 : overlap_share(count, q.set_size, weight);
}

void add_reason(std::vector<std::string>* reasons, std::string_view reason) {
  if (reasons) reasons->emplace_back(reason);
}

}  // namespace

namespace internal {

QueryTerms::QueryTerms(std::string_view question, const QueryIntent& intent)
    : tokens(intent.tokens.begin(), intent.tokens.end()) {
  std::sort(tokens.begin(), tokens.end());
  tokens.erase(std::unique(tokens.begin(), tokens.end()), tokens.end());
  set_size = tokens.size();
  matchable.reserve(tokens.size());
  for (const std::string& token : tokens) {
    // Document tokens are non-empty runs of a-z and 0-9 without stop words.
    bool plain = !token.empty() && std::all_of(token.begin(), token.end(), [](char c) {
      return words::kTextBytes[static_cast<unsigned char>(c)] == words::kWordByte;
    });
    bool usable = plain && !DEFAULT_STOPWORD_INDEX.contains(token);
    matchable.push_back(usable);
    if (usable) filter_.add(token);
  }
  lower_into(question, lower);
  for (std::string_view word : kCountWords) has_count_word = has_count_word || find(word) != npos;
  for (std::string_view word : kDimensionKeywords)
    has_dimension_keyword = has_dimension_keyword || find(word) != npos;
  marks.assign(tokens.size(), 0);
}

std::size_t QueryTerms::find(std::string_view token) const {
  auto it = std::lower_bound(tokens.begin(), tokens.end(), token,
                             [](const std::string& a, std::string_view b) { return a < b; });
  return it != tokens.end() && *it == token ? static_cast<std::size_t>(it - tokens.begin()) : npos;
}

void QueryTerms::mark(std::string_view lower_token) const {
  std::size_t pos = find(lower_token);
  if (pos != npos && matchable[pos]) marks[pos] = 1;
}

void QueryTerms::mark_ascii(const char* token, std::size_t length) const {
  if (!filter_.may_hold(token, length)) return;
  const char first = static_cast<char>(token[0] | 0x20);  // a letter or digit
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const std::string& t = tokens[i];
    if (t.size() == length && t[0] == first && matchable[i] &&
        std::memcmp(t.data() + 1, token + 1, length - 1) == 0) {
      marks[i] = 1;
      return;
    }
  }
}

RoleClass role_class(const ColumnMeta& col, bool look_for_keyword, std::string& scratch) {
  const std::string& role = col.role;
  if (is_one_of(role, ColumnRole::DATE, ColumnRole::DATETIME)) return RoleClass::kDate;
  if (role == ColumnRole::METRIC) return RoleClass::kMetric;
  if (is_one_of(role, ColumnRole::ID, ColumnRole::PRIMARY_KEY)) return RoleClass::kId;
  if (!is_one_of(role, ColumnRole::DIMENSION, ColumnRole::TEXT)) return RoleClass::kOther;
  if (!look_for_keyword) return RoleClass::kCategorical;
  lower_into(col.name, scratch);
  for (std::string_view keyword : kDimensionKeywords)
    if (scratch.find(keyword) != std::string::npos) return RoleClass::kCategoricalKeyword;
  return RoleClass::kCategorical;
}

void lower_into(std::string_view text, std::string& out) {
  if (has_non_ascii(text)) {
    out = unicode::to_lower(text);
    return;
  }
  out.assign(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

void split_identifier_into(std::string_view text, std::string& out) {
  detail::check_utf8(text);
  words::split_identifier_into(text, out);
}

}  // namespace internal

double Schemasift::_token_overlap_score(const WordSet& q_tokens, const WordSet& doc_tokens,
                                        double weight, std::vector<std::string>& reasons,
                                        std::string_view reason_label) {
  if (q_tokens.empty() || doc_tokens.empty()) return 0.0;
  std::vector<std::string_view> overlap;
  for (const std::string& token : q_tokens)
    if (doc_tokens.find(token) != doc_tokens.end()) overlap.push_back(token);
  if (overlap.empty()) return 0.0;
  std::sort(overlap.begin(), overlap.end());
  append_overlap_reason(reasons, reason_label, overlap);
  return overlap_share(overlap.size(), q_tokens.size(), weight);
}

double Schemasift::_normalize_lexical(double score) {
  return score > 0.0 ? score / (score + kNormalizationConstant) : 0.0;
}

double Schemasift::raw_table_score(const internal::QueryTerms& q, const TableMeta& table,
                                   std::vector<std::string>* reasons) const {
  double raw = 0.0;
  raw += text_overlap(q, table.table_name, config.table_name_weight, reasons,
                      internal::kLabelTableName);
  raw += text_overlap(q, table.business_name, config.table_business_name_weight, reasons,
                      internal::kLabelBusinessName);
  raw += list_overlap(q, table.tags, config.table_tag_weight, reasons, internal::kLabelTableTags);
  raw += text_overlap(q, table.description, config.table_description_weight, reasons,
                      internal::kLabelTableDescription);
  if (!table.table_name.empty()) {
    internal::split_identifier_into(table.table_name, q.scratch);
    if (q.lower.find(q.scratch) != std::string::npos) {
      raw += config.exact_phrase_bonus;
      add_reason(reasons, internal::kReasonExactTable);
    }
  }
  if (!table.business_name.empty()) {
    internal::lower_into(table.business_name, q.scratch);
    if (q.lower.find(q.scratch) != std::string::npos) {
      raw += config.exact_phrase_bonus;
      add_reason(reasons, internal::kReasonExactBusiness);
    }
  }
  return raw;
}

double Schemasift::raw_column_score(const internal::QueryTerms& q, const ColumnMeta& col,
                                    const QueryIntent& intent,
                                    std::vector<std::string>* reasons) const {
  double raw = 0.0;
  raw += text_overlap(q, col.name, config.column_name_weight, reasons, internal::kLabelColumnName);
  raw += list_overlap(q, col.synonyms, config.column_synonym_weight, reasons,
                      internal::kLabelColumnSynonym);
  raw += list_overlap(q, col.tags, config.column_tag_weight, reasons, internal::kLabelColumnTags);
  raw += text_overlap(q, col.description, config.column_description_weight, reasons,
                      internal::kLabelColumnDescription);
  add_column_phrase_bonus(q, col, raw, reasons);
  add_column_role_bonus(q, internal::role_class(col, q.has_dimension_keyword, q.scratch), intent,
                        raw, reasons);
  return raw;
}

// The scores from a prepared catalog's evidence add the same terms in the
// same order as the scanning scorers above, so they are equal to the bit.
double Schemasift::raw_table_score_from_evidence(const internal::QueryTerms& q,
                                                 const internal::LexicalEvidence& evidence,
                                                 std::size_t table) const {
  const internal::FieldCounts& counts = evidence.table_counts[table];
  std::uint32_t phrases = evidence.table_phrases[table];
  double raw = 0.0;
  raw += counted_share(q, counts[internal::kTableFieldName], config.table_name_weight);
  raw += counted_share(q, counts[internal::kTableFieldBusinessName],
                       config.table_business_name_weight);
  raw += counted_share(q, counts[internal::kTableFieldTags], config.table_tag_weight);
  raw +=
      counted_share(q, counts[internal::kTableFieldDescription], config.table_description_weight);
  if (phrases & internal::LexicalEvidence::kNamePhrase) raw += config.exact_phrase_bonus;
  if (phrases & internal::LexicalEvidence::kBusinessPhrase) raw += config.exact_phrase_bonus;
  return raw;
}

double Schemasift::raw_column_score_from_evidence(const internal::QueryTerms& q,
                                                  const internal::LexicalEvidence& evidence,
                                                  std::size_t column, internal::RoleClass role,
                                                  const QueryIntent& intent) const {
  const internal::FieldCounts& counts = evidence.column_counts[column];
  std::uint32_t phrases = evidence.column_phrases[column];
  double raw = 0.0;
  raw += counted_share(q, counts[internal::kFieldName], config.column_name_weight);
  raw += counted_share(q, counts[internal::kFieldSynonyms], config.column_synonym_weight);
  raw += counted_share(q, counts[internal::kFieldTags], config.column_tag_weight);
  raw += counted_share(q, counts[internal::kFieldDescription], config.column_description_weight);
  if (phrases & internal::LexicalEvidence::kNamePhrase) raw += config.exact_phrase_bonus;
  for (std::uint32_t n = phrases >> internal::LexicalEvidence::kSynonymShift; n > 0; --n)
    raw += config.exact_phrase_bonus;
  add_column_role_bonus(q, role, intent, raw, nullptr);
  return raw;
}

void Schemasift::add_column_phrase_bonus(const internal::QueryTerms& q, const ColumnMeta& col,
                                         double& raw, std::vector<std::string>* reasons) const {
  internal::split_identifier_into(col.name, q.scratch);
  if (!q.scratch.empty() && q.lower.find(q.scratch) != std::string::npos) {
    raw += config.exact_phrase_bonus;
    add_reason(reasons, internal::kReasonExactColumn);
  }
  for (const std::string& synonym : col.synonyms) {
    internal::lower_into(synonym, q.scratch);
    if (!q.scratch.empty() && q.lower.find(q.scratch) != std::string::npos) {
      raw += config.exact_phrase_bonus;
      if (reasons) reasons->push_back(std::string(internal::kReasonExactSynonym) + synonym);
    }
  }
}

void Schemasift::add_column_role_bonus(const internal::QueryTerms& q, internal::RoleClass role,
                                       const QueryIntent& intent, double& raw,
                                       std::vector<std::string>* reasons) const {
  using internal::RoleClass;
  if (role == RoleClass::kDate && (intent.has_time_filter || intent.wants_trend)) {
    raw += config.role_intent_weight;
    add_reason(reasons, internal::kReasonDateRole);
  }
  if (role == RoleClass::kMetric && intent.wants_metric) {
    raw += config.role_intent_weight;
    add_reason(reasons, internal::kReasonMetricRole);
  }
  bool categorical = role == RoleClass::kCategorical || role == RoleClass::kCategoricalKeyword;
  if (categorical && intent.wants_grouping) {
    raw += config.role_intent_weight;
    add_reason(reasons, internal::kReasonDimensionRole);
  }
  if (q.has_count_word && role == RoleClass::kId) {
    raw += kCountBonus;
    add_reason(reasons, internal::kReasonCountId);
  }
  if (q.has_dimension_keyword && role == RoleClass::kCategoricalKeyword) {
    raw += kDimensionKeywordBonus;
    add_reason(reasons, internal::kReasonDimensionKeyword);
  }
}

LexicalScore Schemasift::_lexical_score_table(std::string_view question, const TableMeta& table,
                                              const QueryIntent& intent) const {
  internal::QueryTerms terms(question, intent);
  LexicalScore result;
  result.first = _normalize_lexical(raw_table_score(terms, table, &result.second));
  return result;
}

LexicalScore Schemasift::_lexical_score_column(std::string_view question, const TableMeta&,
                                               const ColumnMeta& col,
                                               const QueryIntent& intent) const {
  internal::QueryTerms terms(question, intent);
  LexicalScore result;
  result.first = _normalize_lexical(raw_column_score(terms, col, intent, &result.second));
  return result;
}

}  // namespace tessarin::schemasift
