// Metadata search query and base constraints: a short keyword query for
// metadata selection, and the tables and columns carried over from the base
// turn.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tessarin/common/display.h"
#include "tessarin/common/words.h"
#include "tessarin/turnmend/resolver.h"
#include "tessarin/turnmend/vocabulary.h"

namespace tessarin::turnmend {

namespace {

constexpr std::array<std::string_view, 8> kSearchStateKeyOrder = {
    "active_tables", "tables",         "metrics",  "dimensions",
    "date_columns",  "active_columns", "group_by", "granularity"};
constexpr std::array<std::string_view, 2> kAlwaysRequiredStateKeys = {"metrics", "date_columns"};
constexpr std::array<std::string_view, 2> kGroupingStateKeys = {"dimensions", "group_by"};

// Whether the literal form of the text adds only quotes and backslashes,
// which separate words anyway: printable ASCII throughout.
bool literal_keeps_words(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) return false;
  return true;
}

// The words of several texts (tokenize without stop words, one text after
// the other) counted as they arrive: lowered words live in one buffer, and
// a small hash table finds repeats, so no word becomes a string of its own.
//
// terms(limit) is then what _limit_query_terms gives for the whole word
// list: the distinct words that are not stop words (all distinct words when
// every one is a stop word), in first-occurrence order, the most frequent
// first when more than `limit` of them (a stable sort keeps first-occurrence
// order among equal counts), cut to `limit` (a negative limit drops that many
// from the end).
class TermCounter {
 public:
  TermCounter() {
    buffer_.reserve(512);
    terms_.reserve(32);
    slots_.assign(64, 0);
  }

  void add(std::string_view text) {
    words::for_each_word(text, [&](std::string_view word) {
      const std::size_t offset = buffer_.size();
      buffer_ += word;
      count(offset);
    });
  }

  void add(const std::optional<std::string>& text) {
    if (text) add(std::string_view(*text));
  }

  // The words of a value's display text. A list's items never join words
  // across the ", " between them, so each item is read on its own, and a
  // printable ASCII string item as itself (its quotes separate words).
  void add(const JsonValue& value) {
    switch (value.kind()) {
      case JsonValue::Kind::Null:
        return;
      case JsonValue::Kind::String:
        return add(std::string_view(value.as_string()));
      case JsonValue::Kind::List:
        for (const JsonValue& item : value.as_list()) add_literal(item);
        return;
      default:
        add(std::string_view(display_text(value)));
    }
  }

  // The words of a string list's display text.
  void add(const StringList& items) {
    for (const std::string& item : items) add_string_literal(item);
  }

  std::string terms(std::int64_t limit) const {
    std::vector<const Term*> chosen;
    chosen.reserve(terms_.size());
    for (const Term& term : terms_)
      if (!term.stopword) chosen.push_back(&term);
    if (chosen.empty())
      for (const Term& term : terms_) chosen.push_back(&term);
    const std::int64_t distinct = static_cast<std::int64_t>(chosen.size());
    if (distinct > limit) {
      std::stable_sort(chosen.begin(), chosen.end(),
                       [](const Term* a, const Term* b) { return a->count > b->count; });
      const std::int64_t keep = limit >= 0 ? limit : std::max<std::int64_t>(0, distinct + limit);
      chosen.resize(static_cast<std::size_t>(keep));
    }
    std::string out;
    for (const Term* term : chosen) {
      if (!out.empty()) out += ' ';
      out += word(*term);
    }
    return out;
  }

 private:
  struct Term {
    std::uint32_t offset;
    std::uint32_t length;
    std::uint64_t hash;
    std::size_t count;
    bool stopword;
  };

  std::string_view word(const Term& term) const {
    return std::string_view(buffer_).substr(term.offset, term.length);
  }

  void add_literal(const JsonValue& item) {
    if (item.is_string()) return add_string_literal(item.as_string());
    add(std::string_view(literal_text(item)));
  }

  void add_string_literal(const std::string& item) {
    if (literal_keeps_words(item)) return add(std::string_view(item));
    add(std::string_view(string_literal(item)));
  }

  // Counts the word that ends the buffer, starting at offset; a repeat is
  // taken off the buffer again.
  void count(std::size_t offset) {
    const std::string_view text(buffer_.data() + offset, buffer_.size() - offset);
    const std::uint64_t h = words::word_hash(text);
    std::size_t mask = slots_.size() - 1;
    std::size_t i = h & mask;
    for (; slots_[i]; i = (i + 1) & mask) {
      Term& term = terms_[slots_[i] - 1];
      if (term.hash == h && word(term) == text) {
        ++term.count;
        buffer_.resize(offset);
        return;
      }
    }
    const bool stop = stopword_index().contains(text.data(), text.size(), h);
    terms_.push_back(Term{static_cast<std::uint32_t>(offset),
                          static_cast<std::uint32_t>(text.size()), h, 1, stop});
    slots_[i] = static_cast<std::uint32_t>(terms_.size());
    if (2 * terms_.size() > slots_.size()) grow();
  }

  void grow() {
    slots_.assign(slots_.size() * 2, 0);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t t = 0; t < terms_.size(); ++t) {
      std::size_t i = terms_[t].hash & mask;
      while (slots_[i]) i = (i + 1) & mask;
      slots_[i] = static_cast<std::uint32_t>(t + 1);
    }
  }

  std::string buffer_;
  std::vector<Term> terms_;           // distinct words in first-occurrence order
  std::vector<std::uint32_t> slots_;  // term index + 1; 0 is empty
};

const JsonValue& state_value(const JsonMap& state, std::string_view key) {
  static const JsonValue null;
  const JsonValue* value = state.find(key);
  return value ? *value : null;
}

}  // namespace

std::string Turnmend::_compose_metadata_search_query(const std::string& current_question,
                                                     const TurnContextCard& base,
                                                     const IntentDelta& delta,
                                                     const std::string& resolved_question) const {
  TermCounter words;
  words.add(std::string_view(resolved_question));
  words.add(std::string_view(current_question));
  words.add(delta.dimension_hint);
  words.add(delta.metric_hint);
  words.add(delta.filter_hint);
  words.add(delta.granularity);
  for (std::string_view key : kSearchStateKeyOrder) words.add(state_value(base.query_state, key));
  words.add(base.topic_keywords);
  words.add(base.entities);
  words.add(base.selected_metadata_ids);
  return words.terms(config.max_metadata_query_terms);
}

std::string Turnmend::_limit_query_terms(const std::string& text) const {
  // Stop words are dropped unless nothing else is left: what the counter does.
  TermCounter words;
  words.add(std::string_view(text));
  return words.terms(config.max_metadata_query_terms);
}

std::pair<StringList, RequiredColumns> Turnmend::_constraints_from_base(
    const TurnContextCard& base, const IntentDelta& delta) const {
  StringList tables = display_texts(base.active_tables());
  RequiredColumns required = config.include_previous_required_columns
                                 ? base.required_columns_by_table()
                                 : RequiredColumns();

  StringList state_columns;
  bool any_state_column = false;
  auto collect = [&](std::string_view key) {
    for_each_item(state_value(base.query_state, key), [&](const JsonValue& item) {
      any_state_column = true;
      if (!item.is_empty()) state_columns.push_back(display_text(item));
    });
  };
  for (std::string_view key : kAlwaysRequiredStateKeys) collect(key);
  if (delta.operation != operations::kReplaceGroupBy)
    for (std::string_view key : kGroupingStateKeys) collect(key);

  if (any_state_column && tables.size() == 1) {
    StringList columns;
    if (const StringList* existing = required.find(tables.front())) columns = *existing;
    columns.insert(columns.end(), state_columns.begin(), state_columns.end());
    std::sort(columns.begin(), columns.end());
    columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
    required.set(tables.front(), std::move(columns));
  }
  return {std::move(tables), std::move(required)};
}

}  // namespace tessarin::turnmend
