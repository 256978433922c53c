// Turn cards and resolution records: card operations, building records from
// maps, and the map conversions of results.
#include "tessarin/turnmend/records.h"

#include <algorithm>
#include <array>

#include "tessarin/common/display.h"
#include "tessarin/turnmend/text.h"

namespace tessarin::turnmend {

namespace {

// Typed readers of map values; they throw through `fail(expected)`.
constexpr auto read_int = [](const JsonValue& v, auto fail) -> std::int64_t {
  if (!v.is_int()) fail("int");
  return v.as_int();
};
constexpr auto read_double = [](const JsonValue& v, auto fail) -> double {
  if (!v.is_int() && !v.is_double()) fail("float");
  return v.to_double();
};
constexpr auto read_bool = [](const JsonValue& v, auto fail) -> bool {
  if (!v.is_bool()) fail("bool");
  return v.as_bool();
};
constexpr auto read_string = [](const JsonValue& v, auto fail) -> std::string {
  if (!v.is_string()) fail("str");
  return v.as_string();
};
constexpr auto read_strings = [](const JsonValue& v, auto fail) -> StringList {
  if (!v.is_list()) fail("list of str");
  StringList out;
  out.reserve(v.as_list().size());
  for (const JsonValue& item : v.as_list()) {
    if (!item.is_string()) fail("list of str");
    out.push_back(item.as_string());
  }
  return out;
};
constexpr auto read_map = [](const JsonValue& v, auto fail) -> JsonMap {
  if (!v.is_map()) fail("dict");
  return v.as_map();
};
// None, or what `read` makes of the value; a value of another type is
// reported as "<read's type> or None".
template <class Fail, class Read>
auto read_optional(const JsonValue& v, Fail fail, Read read) {
  using Value = decltype(read(v, fail));
  if (v.is_null()) return std::optional<Value>();
  return std::optional<Value>(read(
      v, [&fail](const char* expected) { fail((std::string(expected) + " or None").c_str()); }));
}

JsonList string_list(const StringList& items, std::size_t limit = static_cast<std::size_t>(-1)) {
  JsonList out;
  std::size_t n = std::min(limit, items.size());
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.emplace_back(items[i]);
  return out;
}

void join_into(std::string& out, const StringList& words) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i) out += ' ';
    out += words[i];
  }
}

void add_piece(std::string& out, std::string_view piece) {
  if (piece.empty()) return;
  if (!out.empty()) out += ' ';
  out += piece;
}

const JsonValue& first_non_empty_key(const JsonMap& state, std::string_view first,
                                     std::string_view second) {
  static const JsonValue kNull;
  const JsonValue* a = state.find(first);
  if (a && !a->is_empty()) return *a;
  const JsonValue* b = state.find(second);
  if (b && !b->is_empty()) return *b;
  return kNull;
}

constexpr std::array<std::string_view, 21> kKeptStateKeys = {"active_tables",
                                                             "tables",
                                                             "metrics",
                                                             "dimensions",
                                                             "date_columns",
                                                             "active_columns",
                                                             "group_by",
                                                             "filters",
                                                             "granularity",
                                                             "aggregation",
                                                             "sort",
                                                             "limit",
                                                             "document_type",
                                                             "document_subtype",
                                                             "project_name",
                                                             "topics",
                                                             "source_chunk_ids",
                                                             "chart_type",
                                                             "x_axis",
                                                             "y_axis",
                                                             "series"};

}  // namespace

JsonList as_list(const JsonValue& value) {
  if (value.is_list()) return value.as_list();
  if (value.is_empty()) return {};
  return JsonList{value};
}

StringList display_texts(const JsonList& items) {
  StringList out;
  out.reserve(items.size());
  for (const JsonValue& item : items) out.push_back(display_text(item));
  return out;
}

// ---------------------------------------------------------------- cards

const std::vector<std::string_view>& TurnContextCard::field_names() {
  static const std::vector<std::string_view> names = {"turn_id",
                                                      "session_id",
                                                      "tenant_id",
                                                      "user_question",
                                                      "resolved_question",
                                                      "assistant_answer_summary",
                                                      "task_type",
                                                      "artifact_type",
                                                      "artifact_id",
                                                      "artifact_label",
                                                      "topic_keywords",
                                                      "entities",
                                                      "selected_metadata_ids",
                                                      "query_state",
                                                      "retrieval_state",
                                                      "output_state",
                                                      "sql",
                                                      "config",
                                                      "answer_excerpt",
                                                      "created_at_ms",
                                                      "quality_score",
                                                      "is_active",
                                                      "extra"};
  return names;
}

TurnContextCard TurnContextCard::from_map(const JsonMap& map) {
  const auto& names = field_names();
  for (const auto& [key, value] : map) {
    if (std::find(names.begin(), names.end(), key) == names.end())
      throw CardMapError("TurnContextCard() got an unexpected keyword argument '" + key + "'", key);
  }
  if (!map.contains("turn_id"))
    throw CardMapError("TurnContextCard() missing required argument: 'turn_id'", "turn_id");

  TurnContextCard card;
  for (const auto& [key, v] : map) {
    auto fail = [&key = key, &v = v](const char* expected) {
      throw CardMapError(
          "TurnContextCard." + key + " must be " + expected + ", got " + python_kind_name(v), key);
    };
    if (key == "turn_id")
      card.turn_id = read_int(v, fail);
    else if (key == "session_id")
      card.session_id = read_string(v, fail);
    else if (key == "tenant_id")
      card.tenant_id = read_string(v, fail);
    else if (key == "user_question")
      card.user_question = read_string(v, fail);
    else if (key == "resolved_question")
      card.resolved_question = read_string(v, fail);
    else if (key == "assistant_answer_summary")
      card.assistant_answer_summary = read_string(v, fail);
    else if (key == "task_type")
      card.task_type = read_string(v, fail);
    else if (key == "artifact_type")
      card.artifact_type = read_string(v, fail);
    else if (key == "artifact_id")
      card.artifact_id = read_optional(v, fail, read_string);
    else if (key == "artifact_label")
      card.artifact_label = read_optional(v, fail, read_string);
    else if (key == "topic_keywords")
      card.topic_keywords = read_strings(v, fail);
    else if (key == "entities")
      card.entities = read_strings(v, fail);
    else if (key == "selected_metadata_ids")
      card.selected_metadata_ids = read_strings(v, fail);
    else if (key == "query_state")
      card.query_state = read_map(v, fail);
    else if (key == "retrieval_state")
      card.retrieval_state = read_map(v, fail);
    else if (key == "output_state")
      card.output_state = read_map(v, fail);
    else if (key == "sql")
      card.sql = read_optional(v, fail, read_string);
    else if (key == "config")
      card.config = read_optional(v, fail, read_map);
    else if (key == "answer_excerpt")
      card.answer_excerpt = read_optional(v, fail, read_string);
    else if (key == "created_at_ms")
      card.created_at_ms = read_int(v, fail);
    else if (key == "quality_score")
      card.quality_score = read_double(v, fail);
    else if (key == "is_active")
      card.is_active = read_bool(v, fail);
    else if (key == "extra")
      card.extra = read_map(v, fail);
  }
  return card;
}

std::string TurnContextCard::searchable_text() const {
  std::string out;
  out.reserve(256);
  add_piece(out, user_question);
  add_piece(out, resolved_question);
  add_piece(out, assistant_answer_summary);
  add_piece(out, task_type);
  add_piece(out, artifact_type);
  if (artifact_id) add_piece(out, *artifact_id);
  if (artifact_label) add_piece(out, *artifact_label);
  std::string joined;
  for (const StringList* words : {&topic_keywords, &entities, &selected_metadata_ids}) {
    joined.clear();
    join_into(joined, *words);
    add_piece(out, joined);
  }
  add_piece(out, compact_text(JsonValue(query_state), 1000));
  add_piece(out, compact_text(JsonValue(retrieval_state), 1000));
  add_piece(out, compact_text(JsonValue(output_state), 1000));
  return out;
}

StringList TurnContextCard::tokens() const { return tokenize(std::string_view(searchable_text())); }

JsonList TurnContextCard::active_tables() const {
  return as_list(first_non_empty_key(query_state, "active_tables", "tables"));
}

JsonList TurnContextCard::active_columns() const {
  return as_list(first_non_empty_key(query_state, "active_columns", "columns"));
}

RequiredColumns TurnContextCard::required_columns_by_table() const {
  const JsonValue& found = first_non_empty_key(query_state, "required_columns", "columns_by_table");
  RequiredColumns out;
  if (found.is_map()) {
    for (const auto& [table, columns] : found.as_map())
      out.set(table, display_texts(as_list(columns)));
    return out;
  }
  JsonList tables = active_tables();
  JsonList columns = active_columns();
  if (tables.size() == 1 && !columns.empty())
    out.append_new(display_text(tables.front()), display_texts(columns));
  return out;
}

JsonMap TurnContextCard::to_resolver_summary(std::int64_t /*max_chars*/) const {
  JsonMap out;
  out.reserve(13);
  out.append_new("turn_id", turn_id);
  out.append_new("task_type", task_type);
  out.append_new("artifact_type", artifact_type);
  out.append_new("artifact_id", json_or_null(artifact_id));
  out.append_new("user_question", compact_text(std::string_view(user_question), 180));
  out.append_new("resolved_question", compact_text(std::string_view(resolved_question), 220));
  out.append_new("assistant_answer_summary",
                 compact_text(std::string_view(assistant_answer_summary), 220));
  out.append_new("topic_keywords", string_list(topic_keywords, 20));
  out.append_new("entities", string_list(entities, 20));
  out.append_new("selected_metadata_ids", string_list(selected_metadata_ids, 30));
  out.append_new("query_state", _compact_state(query_state));
  out.append_new("retrieval_state", _compact_state(retrieval_state));
  out.append_new("output_state", _compact_state(output_state));
  return out;
}

JsonMap TurnContextCard::_compact_state(const JsonMap& state) {
  JsonMap out;
  for (std::string_view key : kKeptStateKeys)
    if (const JsonValue* value = state.find(key)) out.append_new(std::string(key), *value);
  return out;
}

// ---------------------------------------------------------------- intent delta

const std::vector<std::string_view>& IntentDelta::field_names() {
  static const std::vector<std::string_view> names = {
      "operation", "granularity",  "dimension_hint", "metric_hint", "filter_hint",
      "sort_hint", "compare_hint", "top_n",          "bottom_n",    "replace_numeric_value",
      "raw_hints"};
  return names;
}

IntentDelta IntentDelta::from_map(const JsonMap& map) {
  IntentDelta delta;
  for (const auto& [key, v] : map) {
    auto fail = [&key = key, &v = v](const char* expected) {
      throw DeltaMapError("IntentDelta." + key + " must be " + expected + ", got " +
                          python_kind_name(v));
    };
    if (key == "operation")
      delta.operation = read_string(v, fail);
    else if (key == "granularity")
      delta.granularity = read_optional(v, fail, read_string);
    else if (key == "dimension_hint")
      delta.dimension_hint = read_optional(v, fail, read_string);
    else if (key == "metric_hint")
      delta.metric_hint = read_optional(v, fail, read_string);
    else if (key == "filter_hint")
      delta.filter_hint = read_optional(v, fail, read_string);
    else if (key == "sort_hint")
      delta.sort_hint = read_optional(v, fail, read_string);
    else if (key == "compare_hint")
      delta.compare_hint = read_optional(v, fail, read_string);
    else if (key == "top_n")
      delta.top_n = read_optional(v, fail, read_int);
    else if (key == "bottom_n")
      delta.bottom_n = read_optional(v, fail, read_int);
    else if (key == "replace_numeric_value")
      delta.replace_numeric_value = read_optional(v, fail, read_double);
    else if (key == "raw_hints")
      delta.raw_hints = read_strings(v, fail);
    else
      throw DeltaMapError("IntentDelta() got an unexpected keyword argument '" + key + "'");
  }
  return delta;
}

JsonMap IntentDelta::to_dict() const {
  JsonMap out;
  out.reserve(11);
  out.append_new("operation", operation);
  out.append_new("granularity", json_or_null(granularity));
  out.append_new("dimension_hint", json_or_null(dimension_hint));
  out.append_new("metric_hint", json_or_null(metric_hint));
  out.append_new("filter_hint", json_or_null(filter_hint));
  out.append_new("sort_hint", json_or_null(sort_hint));
  out.append_new("compare_hint", json_or_null(compare_hint));
  out.append_new("top_n", json_or_null(top_n));
  out.append_new("bottom_n", json_or_null(bottom_n));
  out.append_new("replace_numeric_value", json_or_null(replace_numeric_value));
  out.append_new("raw_hints", string_list(raw_hints));
  return out;
}

// ---------------------------------------------------------------- results

JsonMap ContextCandidate::to_dict() const {
  JsonMap out;
  out.reserve(3);
  out.append_new("turn_id", turn_id);
  out.append_new("score", round_to(score, 6));
  out.append_new("reasons", string_list(reasons));
  return out;
}

JsonMap ContextResolution::to_dict(bool include_candidates) const {
  JsonMap out;
  out.reserve(17);
  out.append_new("context_type", context_type);
  out.append_new("current_question", current_question);
  out.append_new("resolved_question", resolved_question);
  out.append_new("metadata_search_query", metadata_search_query);
  out.append_new("base_turn_id", json_or_null(base_turn_id));
  out.append_new("use_previous_state", use_previous_state);
  out.append_new("intent_delta", intent_delta.to_dict());
  out.append_new("required_tables", string_list(required_tables));
  JsonMap columns;
  columns.reserve(required_columns.size());
  for (const auto& [table, names] : required_columns) columns.append_new(table, string_list(names));
  out.append_new("required_columns", std::move(columns));
  out.append_new("anchor_metadata_ids", string_list(anchor_metadata_ids));
  out.append_new("allow_related_tables", allow_related_tables);
  out.append_new("confidence", confidence);
  out.append_new("reason", json_or_null(reason));
  out.append_new("clarification_question", json_or_null(clarification_question));
  if (include_candidates) {
    JsonList list;
    list.reserve(candidates.size());
    for (const ContextCandidate& c : candidates) list.emplace_back(c.to_dict());
    out.append_new("candidates", std::move(list));
  }
  out.append_new("route", route);
  out.append_new("extra", extra);
  return out;
}

}  // namespace tessarin::turnmend
