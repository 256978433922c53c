// Metadata search query and base constraints: a short keyword query for
// metadata selection, and the tables and columns carried over from the base
// turn.
#include <algorithm>
#include <array>
#include <unordered_map>

#include "common/display.h"
#include "turnmend/resolver.h"
#include "turnmend/vocabulary.h"

namespace tessarin::turnmend {

namespace {

constexpr std::array<std::string_view, 8> kSearchStateKeyOrder = {
    "active_tables", "tables",         "metrics",  "dimensions",
    "date_columns",  "active_columns", "group_by", "granularity"};
constexpr std::array<std::string_view, 2> kAlwaysRequiredStateKeys = {"metrics", "date_columns"};
constexpr std::array<std::string_view, 2> kGroupingStateKeys = {"dimensions", "group_by"};

const WordSet& no_stopwords() {
  static const WordSet empty;
  return empty;
}

void add_words(std::string_view text, StringList& words) {
  tokenize_into(text, &no_stopwords(), words);
}

void add_words(const std::optional<std::string>& text, StringList& words) {
  if (text) add_words(std::string_view(*text), words);
}

// The words of a value's display text.
void add_words(const JsonValue& value, StringList& words) {
  if (value.is_null()) return;
  if (value.is_string()) return add_words(std::string_view(value.as_string()), words);
  add_words(std::string_view(display_text(value)), words);
}

// Whether the literal form of the text adds only quotes and backslashes,
// which separate words anyway: printable ASCII throughout.
bool literal_keeps_words(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) return false;
  return true;
}

// The words of a string list's display text: its items' literal forms never
// join across the separators, so each item is tokenized on its own.
void add_words(const StringList& items, StringList& words) {
  for (const std::string& item : items) {
    if (literal_keeps_words(item)) {
      add_words(std::string_view(item), words);
    } else {
      add_words(std::string_view(string_literal(item)), words);
    }
  }
}

// The distinct words, most frequent first when more than `limit` of them
// (a stable sort keeps first-occurrence order among equal counts), cut as a
// Python slice [:limit] would cut them.
std::string most_frequent_terms(const StringList& tokens, std::int64_t limit) {
  std::vector<std::pair<std::string_view, std::size_t>> counted;
  std::unordered_map<std::string_view, std::size_t> index;
  for (const std::string& token : tokens) {
    auto [it, inserted] = index.try_emplace(token, counted.size());
    if (inserted) {
      counted.emplace_back(token, 1);
    } else {
      ++counted[it->second].second;
    }
  }
  const std::int64_t distinct = static_cast<std::int64_t>(counted.size());
  if (distinct > limit) {
    std::stable_sort(counted.begin(), counted.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    const std::int64_t keep = limit >= 0 ? limit : std::max<std::int64_t>(0, distinct + limit);
    counted.resize(static_cast<std::size_t>(keep));
  }
  std::string out;
  for (const auto& [word, count] : counted) {
    if (!out.empty()) out += ' ';
    out += word;
  }
  return out;
}

// _limit_query_terms over words already tokenized without stop words: such
// words are lower-case runs of letters and digits that tokenize back to
// themselves, so the stop-word pass only has to drop them.
std::string limit_words(const StringList& words, std::int64_t limit) {
  const WordSet& stopwords = vocabulary().STOPWORDS;
  StringList kept;
  kept.reserve(words.size());
  for (const std::string& word : words)
    if (!stopwords.contains(word)) kept.push_back(word);
  return most_frequent_terms(kept.empty() ? words : kept, limit);
}

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
  StringList words;
  add_words(std::string_view(resolved_question), words);
  add_words(std::string_view(current_question), words);
  add_words(delta.dimension_hint, words);
  add_words(delta.metric_hint, words);
  add_words(delta.filter_hint, words);
  add_words(delta.granularity, words);
  for (std::string_view key : kSearchStateKeyOrder)
    add_words(state_value(base.query_state, key), words);
  add_words(base.topic_keywords, words);
  add_words(base.entities, words);
  add_words(base.selected_metadata_ids, words);
  return limit_words(words, config.max_metadata_query_terms);
}

std::string Turnmend::_limit_query_terms(const std::string& text) const {
  StringList tokens = tokenize(std::string_view(text));
  if (tokens.empty()) tokens = tokenize(std::string_view(text), &no_stopwords());
  return most_frequent_terms(tokens, config.max_metadata_query_terms);
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
