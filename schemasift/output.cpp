// What the caller hands to its LLM: the selected slice of the catalog as a
// map, cut in three fixed stages to a character budget, and the metrics
// that compare its size with the catalog's.
//
// Sizes are code points of one fixed JSON form (insertion order, no
// indentation, non-ASCII unescaped). The catalog side is written straight
// from the records, with sorted keys: that text is hashed for catalog_hash,
// and sorting keys does not change its length.
#include <algorithm>
#include <cstring>

#include "tessarin/common/display.h"
#include "tessarin/common/json_text.h"
#include "tessarin/common/sha256.h"
#include "tessarin/common/unicode.h"
#include "tessarin/schemasift/selector.h"
#include "tessarin/schemasift/selector_internal.h"

namespace tessarin::schemasift {

namespace {

// Stage 2 of the budget keeps at least this many columns per table.
constexpr std::int64_t kMinBudgetColumns = 3;
// Hex digits of the SHA-256 kept in catalog_hash.
constexpr std::size_t kHashDigits = 16;

JsonWriteOptions measuring_options(bool sort_keys) {
  JsonWriteOptions options;
  options.sort_keys = sort_keys;
  options.indent = -1;
  options.ensure_ascii = false;
  return options;
}

bool non_empty(const std::optional<std::string>& value) { return value && !value->empty(); }

JsonList string_list(const std::vector<std::string>& items) {
  return JsonList(items.begin(), items.end());
}

// ---- the catalog's JSON text, written from the records ----

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// Appends to a string through a raw cursor, growing it geometrically: the
// catalog text runs to megabytes in many small pieces.
class Sink {
 public:
  explicit Sink(std::string& s) : s_(s), n_(s.size()) {}
  ~Sink() { s_.resize(n_); }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  void push_back(char c) { *extend(1) = c; }
  void append(const char* p, std::size_t k) { std::memcpy(extend(k), p, k); }
  // Room for k more characters, which the caller fills.
  char* extend(std::size_t k) {
    if (n_ + k > s_.size()) [[unlikely]]
      s_.resize(std::max(n_ + k, 2 * s_.size() + 64));
    char* at = s_.data() + n_;
    n_ += k;
    return at;
  }
  Sink& operator+=(std::string_view v) {
    append(v.data(), v.size());
    return *this;
  }

 private:
  std::string& s_;
  std::size_t n_;
};

// A JSON string as json.dumps(ensure_ascii=False) writes it.
void append_json_string(Sink& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  if (std::none_of(text.begin(), text.end(),
                   [](char c) { return needs_escape(static_cast<unsigned char>(c)); })) {
    char* at = out.extend(text.size() + 2);
    at[0] = '"';
    std::memcpy(at + 1, text.data(), text.size());
    at[text.size() + 1] = '"';
    return;
  }
  out.push_back('"');
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!needs_escape(c)) continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(text.data() + run, text.size() - run);
  out.push_back('"');
}

class SortedWriter {
 public:
  explicit SortedWriter(std::string& out) : out_(out) {}

  void catalog(const MetadataCatalog& catalog, std::string_view database) {
    open();
    field(internal::kKeyDatabase);
    string(database);
    field(internal::kKeyRelationships);
    list(catalog.relationships, [&](const RelationshipMeta& r) { relationship(r); });
    field(internal::kKeyTables);
    list(catalog.tables, [&](const TableMeta& t) { table(t); });
    close();
  }

 private:
  void open() {
    out_.push_back('{');
    first_ = true;
  }
  void close() { out_.push_back('}'); }
  // Keys are this file's own plain ASCII names: no escaping needed.
  void field(std::string_view name) {
    if (!first_) out_ += ", ";
    first_ = false;
    out_.push_back('"');
    out_ += name;
    out_ += "\": ";
  }
  void string(std::string_view text) { append_json_string(out_, text); }
  void boolean(bool b) { out_ += b ? std::string_view("true") : std::string_view("false"); }
  void optional_string(const std::optional<std::string>& value) {
    if (value)
      string(*value);
    else
      out_ += "null";
  }
  template <class Items, class Write>
  void list(const Items& items, Write write) {
    out_.push_back('[');
    bool first = true;
    for (const auto& item : items) {
      if (!first) out_ += ", ";
      first = false;
      write(item);
    }
    out_.push_back(']');
  }
  void strings(const std::vector<std::string>& items) {
    list(items, [&](const std::string& s) { string(s); });
  }
  // Free-form values go through the JSON writer into a scratch string that
  // keeps its capacity, so the sink never shrinks and regrows (which would
  // cost the whole text for every value).
  void value(const JsonValue& v) {
    scratch_.clear();
    append_json_text(scratch_, v, measuring_options(true));
    out_ += scratch_;
  }
  void map(const JsonMap& m) {
    std::vector<const JsonMap::value_type*> entries;
    entries.reserve(m.size());
    for (const auto& entry : m) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    out_.push_back('{');
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (i) out_ += ", ";
      append_json_string(out_, entries[i]->first);
      out_ += ": ";
      value(entries[i]->second);
    }
    out_.push_back('}');
  }

  void column(const ColumnMeta& c) {
    open();
    field(internal::kKeyDescription);
    string(c.description);
    field(internal::kKeyExtra);
    map(c.extra);
    field(internal::kKeyIsForeignKey);
    boolean(c.is_foreign_key);
    field(internal::kKeyIsPrimaryKey);
    boolean(c.is_primary_key);
    field(internal::kKeyName);
    string(c.name);
    field(internal::kKeyNullable);
    if (c.nullable)
      boolean(*c.nullable);
    else
      out_ += "null";
    field(internal::kKeyRole);
    string(c.role);
    field(internal::kKeySampleValues);
    list(c.sample_values, [&](const JsonValue& v) { value(v); });
    field(internal::kKeySynonyms);
    strings(c.synonyms);
    field(internal::kKeyTags);
    strings(c.tags);
    field(internal::kKeyType);
    string(c.type);
    close();
  }

  void table(const TableMeta& t) {
    open();
    field(internal::kKeyBusinessName);
    string(t.business_name);
    field(internal::kKeyColumns);
    list(t.columns, [&](const ColumnMeta& c) { column(c); });
    field(internal::kKeyDefaultDate);
    optional_string(t.default_date_column);
    field(internal::kKeyDefaultMetric);
    optional_string(t.default_metric_column);
    field(internal::kKeyDescription);
    string(t.description);
    field(internal::kKeyRowCount);
    if (t.row_count)
      out_ += std::to_string(*t.row_count);
    else
      out_ += "null";
    field(internal::kKeyTableName);
    string(t.table_name);
    close();
  }

  void relationship(const RelationshipMeta& r) {
    open();
    field(internal::kKeyDescription);
    string(r.description);
    field(internal::kKeyExtra);
    map(r.extra);
    field(internal::kKeyFromColumn);
    string(r.from_column);
    field(internal::kKeyFromTable);
    string(r.from_table);
    field(internal::kKeyRelationshipType);
    string(r.relationship_type);
    field(internal::kKeyToColumn);
    string(r.to_column);
    field(internal::kKeyToTable);
    string(r.to_table);
    close();
  }

  Sink out_;
  std::string scratch_;
  bool first_ = true;
};

// ---- the output map ----

JsonMap column_map(const ScoredColumn& scored, const SelectorConfig& config) {
  const ColumnMeta& col = scored.column;
  JsonMap out;
  out.append_new(std::string(internal::kKeyName), col.name);
  out.append_new(std::string(internal::kKeyType), col.type);
  out.append_new(std::string(internal::kKeyRole), col.role);
  out.append_new(std::string(internal::kKeyScore), round_to(scored.score, internal::kScoreDigits));
  if (config.include_descriptions && !col.description.empty())
    out.append_new(std::string(internal::kKeyDescription), col.description);
  if (config.include_synonyms && !col.synonyms.empty())
    out.append_new(std::string(internal::kKeySynonyms), string_list(col.synonyms));
  if (col.is_primary_key) out.append_new(std::string(internal::kKeyIsPrimaryKey), true);
  if (col.is_foreign_key) out.append_new(std::string(internal::kKeyIsForeignKey), true);
  if (config.include_sample_values && !col.sample_values.empty()) {
    // A negative count keeps nothing rather than counting from the end.
    std::size_t n = static_cast<std::size_t>(
        std::clamp<std::int64_t>(config.max_sample_values_per_column, 0,
                                 static_cast<std::int64_t>(col.sample_values.size())));
    out.append_new(std::string(internal::kKeySampleValues),
                   JsonList(col.sample_values.begin(), col.sample_values.begin() + n));
  }
  return out;
}

JsonMap table_map(const ScoredTable& scored, const SelectorConfig& config) {
  const TableMeta& table = scored.table;
  JsonMap out;
  out.append_new(std::string(internal::kKeyTableName), table.table_name);
  out.append_new(std::string(internal::kKeyScore), round_to(scored.score, internal::kScoreDigits));
  JsonList columns;
  columns.reserve(scored.columns.size());
  for (const ScoredColumn& col : scored.columns) columns.emplace_back(column_map(col, config));
  out.append_new(std::string(internal::kKeyColumns), std::move(columns));
  if (!table.business_name.empty())
    out.append_new(std::string(internal::kKeyBusinessName), table.business_name);
  if (config.include_descriptions && !table.description.empty())
    out.append_new(std::string(internal::kKeyDescription), table.description);
  if (non_empty(table.default_date_column))
    out.append_new(std::string(internal::kKeyDefaultDate), *table.default_date_column);
  if (non_empty(table.default_metric_column))
    out.append_new(std::string(internal::kKeyDefaultMetric), *table.default_metric_column);
  if (table.row_count)
    out.append_new(std::string(internal::kKeyRowCount), static_cast<long long>(*table.row_count));
  return out;
}

// ---- budget stages ----

JsonList* list_at(JsonMap& map, std::string_view k) {
  JsonValue* v = map.find(k);
  return v && v->is_list() ? &v->as_list() : nullptr;
}

void drop_descriptions(JsonMap& payload) {
  JsonList* tables = list_at(payload, internal::kKeyTables);
  if (!tables) return;
  for (JsonValue& table : *tables) {
    if (!table.is_map()) continue;
    table.as_map().erase(internal::kKeyDescription);
    JsonList* columns = list_at(table.as_map(), internal::kKeyColumns);
    if (!columns) continue;
    for (JsonValue& col : *columns) {
      if (!col.is_map()) continue;
      col.as_map().erase(internal::kKeyDescription);
      col.as_map().erase(internal::kKeySynonyms);
      col.as_map().erase(internal::kKeySampleValues);
    }
  }
}

void keep_first_columns(JsonMap& payload, std::size_t keep) {
  JsonList* tables = list_at(payload, internal::kKeyTables);
  if (!tables) return;
  for (JsonValue& table : *tables) {
    if (!table.is_map()) continue;
    JsonValue& columns = table.as_map()[internal::kKeyColumns];
    if (columns.is_null()) columns = JsonList();
    if (columns.is_list() && columns.as_list().size() > keep) columns.as_list().resize(keep);
  }
}

void keep_first_table(JsonMap& payload) {
  JsonValue& tables = payload[internal::kKeyTables];
  if (tables.is_list()) {
    if (tables.as_list().size() > 1) tables.as_list().resize(1);
  } else {
    tables = JsonList();
  }
  payload[internal::kKeyRelationships] = JsonList();
}

std::int64_t count_list(const JsonValue* v) {
  return v && v->is_list() ? static_cast<std::int64_t>(v->as_list().size()) : 0;
}

}  // namespace

namespace internal {

std::string measuring_text(const JsonMap& map) {
  return json_text(JsonValue(map), measuring_options(false));
}

std::int64_t measured_size(const JsonMap& map) {
  return static_cast<std::int64_t>(unicode::code_point_length(measuring_text(map)));
}

std::string sorted_prompt_text(const MetadataCatalog& catalog, std::string_view database) {
  std::string out;
  std::size_t columns = 0;
  for (const TableMeta& t : catalog.tables) columns += t.columns.size();
  out.reserve(256 + catalog.tables.size() * 320 + columns * 320);
  SortedWriter(out).catalog(catalog, database);  // the writer's sink trims the string when done
  return out;
}

CatalogTextMeasure measure_catalog_text(const MetadataCatalog& catalog, std::string_view database) {
  std::string text = sorted_prompt_text(catalog, database);
  return {static_cast<std::int64_t>(unicode::code_point_length(text)),
          sha256_hex(text).substr(0, kHashDigits)};
}

CatalogMeasure measure_catalog(const CatalogTextMeasure& text, double chars_per_token) {
  return {text.chars,
          estimate_tokens_of_length(static_cast<std::size_t>(text.chars), chars_per_token),
          text.hash};
}

JsonMap selected_metadata_map(const std::string& database,
                              const std::vector<ScoredTable>& selected_tables,
                              const std::vector<RelationshipMeta>& selected_relationships,
                              const SelectorConfig& config) {
  JsonMap out;
  out.append_new(std::string(kKeyDatabase), database);
  JsonList tables;
  tables.reserve(selected_tables.size());
  for (const ScoredTable& table : selected_tables) tables.emplace_back(table_map(table, config));
  out.append_new(std::string(kKeyTables), std::move(tables));
  JsonList relationships;
  relationships.reserve(selected_relationships.size());
  for (const RelationshipMeta& rel : selected_relationships)
    relationships.emplace_back(relationship_dict(rel));
  out.append_new(std::string(kKeyRelationships), std::move(relationships));
  return out;
}

SelectionMetrics fill_metrics(const MetadataCatalog& catalog, const CatalogMeasure& input,
                              const JsonMap& selected_metadata, double chars_per_token) {
  SelectionMetrics m;
  m.input_tables = static_cast<std::int64_t>(catalog.tables.size());
  for (const TableMeta& t : catalog.tables)
    m.input_columns += static_cast<std::int64_t>(t.columns.size());
  const JsonValue* tables = selected_metadata.find(kKeyTables);
  m.output_tables = count_list(tables);
  if (tables && tables->is_list())
    for (const JsonValue& t : tables->as_list()) m.output_columns += count_list(t.get(kKeyColumns));
  std::string output_text = measuring_text(selected_metadata);
  m.input_chars = input.chars;
  m.output_chars = static_cast<std::int64_t>(unicode::code_point_length(output_text));
  m.input_estimated_tokens = input.estimated_tokens;
  m.output_estimated_tokens = estimate_tokens(output_text, chars_per_token);
  m.table_reduction_percent = Schemasift::_reduction_percent(m.input_tables, m.output_tables);
  m.column_reduction_percent = Schemasift::_reduction_percent(m.input_columns, m.output_columns);
  m.char_reduction_percent = Schemasift::_reduction_percent(m.input_chars, m.output_chars);
  m.token_reduction_percent =
      Schemasift::_reduction_percent(m.input_estimated_tokens, m.output_estimated_tokens);
  m.compression_ratio = m.output_estimated_tokens != 0
                            ? static_cast<double>(m.input_estimated_tokens) /
                                  static_cast<double>(m.output_estimated_tokens)
                            : 0.0;
  m.catalog_hash = input.hash;
  return m;
}

}  // namespace internal

JsonMap Schemasift::_build_selected_metadata(
    const MetadataCatalog& catalog, const std::vector<ScoredTable>& selected_tables,
    const std::vector<RelationshipMeta>& selected_relationships) const {
  return internal::selected_metadata_map(catalog.database, selected_tables,
                                         selected_relationships, config);
}

std::optional<JsonMap> Schemasift::_trimmed_to_budget(const JsonMap& selected_metadata) const {
  if (!config.max_output_chars || *config.max_output_chars == 0) return std::nullopt;
  const std::int64_t budget = *config.max_output_chars;
  if (internal::measured_size(selected_metadata) <= budget) return std::nullopt;

  // Round trip through the text: everything is plain JSON from here on.
  JsonValue copy = parse_json(internal::measuring_text(selected_metadata));
  JsonMap& payload = copy.as_map();

  drop_descriptions(payload);
  if (internal::measured_size(payload) <= budget) return std::move(payload);

  std::int64_t keep = std::max<std::int64_t>(kMinBudgetColumns, config.max_columns_per_table / 2);
  keep_first_columns(payload, static_cast<std::size_t>(keep));
  if (internal::measured_size(payload) <= budget) return std::move(payload);

  keep_first_table(payload);
  return std::move(payload);
}

JsonMap Schemasift::_apply_output_budget(JsonMap selected_metadata) const {
  std::optional<JsonMap> trimmed = _trimmed_to_budget(selected_metadata);
  return trimmed ? std::move(*trimmed) : std::move(selected_metadata);
}

double Schemasift::_reduction_percent(std::int64_t before, std::int64_t after) {
  if (before <= 0) return 0.0;
  double percent = static_cast<double>(before - after) / static_cast<double>(before) * 100.0;
  return percent > 0.0 ? percent : 0.0;
}

}  // namespace tessarin::schemasift
