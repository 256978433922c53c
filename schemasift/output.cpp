// What the caller hands to its LLM: the selected slice of the catalog as a
// map, cut in three fixed stages to a character budget, and the metrics
// that compare its size with the catalog's.
//
// Sizes are code points of one fixed JSON form (insertion order, no
// indentation, non-ASCII unescaped). The catalog side is written straight
// from the records, with sorted keys: that text is hashed for catalog_hash,
// and sorting keys does not change its length.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "tessarin/common/display.h"
#include "tessarin/common/json_text.h"
#include "tessarin/common/sha256.h"
#include "tessarin/common/unicode.h"
#include "tessarin/schemasift/catalog_text.h"
#include "tessarin/schemasift/selector.h"
#include "tessarin/schemasift/selector_internal.h"

namespace tessarin::schemasift {

namespace {

// When the budget cuts columns (after dropping descriptions, synonyms and
// samples, before dropping tables), it keeps at least this many per table.
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

// A growing buffer of bytes written through a raw cursor: the catalog text
// runs to megabytes in many small pieces. Its room is never zero-filled,
// and growing a big block moves pages rather than bytes (realloc).
class Sink {
 public:
  explicit Sink(std::size_t room) { grow(room); }
  ~Sink() { std::free(data_); }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  void push_back(char c) { *extend(1) = c; }
  void append(const char* p, std::size_t k) { std::memcpy(extend(k), p, k); }
  // Room for k more characters, which the caller fills.
  char* extend(std::size_t k) {
    if (size_ + k > room_) [[unlikely]]
      grow(std::max(size_ + k, 2 * room_ + 64));
    char* at = data_ + size_;
    size_ += k;
    return at;
  }
  Sink& operator+=(std::string_view v) {
    append(v.data(), v.size());
    return *this;
  }
  std::string_view view() const { return std::string_view(data_, size_); }

 private:
  void grow(std::size_t room) {
    room = std::max<std::size_t>(room, 64);
    char* grown = static_cast<char*>(std::realloc(data_, room));
    if (!grown) throw std::bad_alloc();
    data_ = grown;
    room_ = room;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t room_ = 0;
};

class SortedWriter {
 public:
  explicit SortedWriter(Sink& out) : out_(out) {}

  void catalog(const MetadataCatalog& catalog, std::string_view database) {
    catalog_with(catalog, database,
                 [&] { list(catalog.tables, [&](const TableMeta& t) { table(t); }); });
  }

  // The same text in two pieces: the tables' items, one by one (with the
  // separators between them), and the rest around them.
  void table_item(const TableMeta& t, bool first) {
    if (!first) out_ += ", ";
    table(t);
  }
  void around_tables(const MetadataCatalog& catalog, std::string_view database,
                     std::string_view tables) {
    catalog_with(catalog, database, [&] {
      out_.push_back('[');
      out_ += tables;
      out_.push_back(']');
    });
  }

 private:
  // The catalog's map, its table list written by write_tables.
  template <class WriteTables>
  void catalog_with(const MetadataCatalog& catalog, std::string_view database,
                    const WriteTables& write_tables) {
    open();
    field(internal::kKeyDatabase);
    string(database);
    field(internal::kKeyRelationships);
    list(catalog.relationships, [&](const RelationshipMeta& r) { relationship(r); });
    field(internal::kKeyTables);
    write_tables();
    close();
  }
  void open() {
    out_.push_back('{');
    first_ = true;
  }
  void close() { out_.push_back('}'); }
  // Keys are this file's own plain ASCII names: no escaping needed.
  void field(std::string_view name) {
    char* at = out_.extend((first_ ? 0 : 2) + name.size() + 4);
    if (!first_) {
      *at++ = ',';
      *at++ = ' ';
    }
    *at++ = '"';
    std::memcpy(at, name.data(), name.size());
    at += name.size();
    *at++ = '"';
    *at++ = ':';
    *at = ' ';
    first_ = false;
  }
  // A JSON string as json.dumps(ensure_ascii=False) writes it: most need no
  // escaping and are copied straight in.
  void string(std::string_view text) {
    if (json_string_is_plain(text)) {
      char* at = out_.extend(text.size() + 2);
      at[0] = '"';
      std::memcpy(at + 1, text.data(), text.size());
      at[text.size() + 1] = '"';
      return;
    }
    scratch_.clear();
    append_json_string(scratch_, text, false);
    out_ += scratch_;
  }
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
  // One field of a record: its key, then its value as the kind is written.
  void put(std::string_view key, const std::string& text) {
    field(key);
    string(text);
  }
  void put(std::string_view key, bool b) {
    field(key);
    boolean(b);
  }
  void put(std::string_view key, const std::optional<std::string>& text) {
    field(key);
    optional_string(text);
  }
  void put(std::string_view key, const std::vector<std::string>& items) {
    field(key);
    strings(items);
  }
  void put(std::string_view key, const JsonMap& m) {
    field(key);
    map(m);
  }
  // Free-form values are written here as the JSON writer writes them with
  // sorted keys; float digits and escaped strings go through a scratch
  // string that keeps its capacity.
  void value(const JsonValue& v) {
    switch (v.kind()) {
      case JsonValue::Kind::Null:
        out_ += "null";
        return;
      case JsonValue::Kind::Bool:
        boolean(v.as_bool());
        return;
      case JsonValue::Kind::Int: {
        char digits[24];
        auto end = std::to_chars(digits, digits + sizeof digits, v.as_int()).ptr;
        out_.append(digits, static_cast<std::size_t>(end - digits));
        return;
      }
      case JsonValue::Kind::String:
        string(v.as_string());
        return;
      case JsonValue::Kind::List:
        list(v.as_list(), [&](const JsonValue& item) { value(item); });
        return;
      case JsonValue::Kind::Map:
        map(v.as_map());
        return;
      case JsonValue::Kind::Opaque:
        string(v.as_opaque().display);
        return;
      case JsonValue::Kind::Double: {
        double x = v.as_double();
        if (std::isnan(x)) {
          out_ += "NaN";
        } else if (std::isinf(x)) {
          out_ += x < 0 ? std::string_view("-Infinity") : std::string_view("Infinity");
        } else {
          scratch_.clear();
          append_float_repr(scratch_, x);
          out_ += scratch_;
        }
        return;
      }
    }
  }
  void map(const JsonMap& m) {
    // Most maps are small: their entries are sorted on the stack.
    constexpr std::size_t kOnStack = 16;
    const JsonMap::value_type* on_stack[kOnStack];
    std::vector<const JsonMap::value_type*> on_heap;
    const JsonMap::value_type** entries = on_stack;
    if (m.size() > kOnStack) {
      on_heap.resize(m.size());
      entries = on_heap.data();
    }
    std::size_t n = 0;
    for (const auto& entry : m) entries[n++] = &entry;
    std::sort(entries, entries + n,
              [](const auto* a, const auto* b) { return a->first < b->first; });
    out_.push_back('{');
    for (std::size_t i = 0; i < n; ++i) {
      if (i) out_ += ", ";
      string(entries[i]->first);
      out_ += ": ";
      value(entries[i]->second);
    }
    out_.push_back('}');
  }

  void column(const ColumnMeta& c) {
    open();
    put(internal::kKeyDescription, c.description);
    put(internal::kKeyExtra, c.extra);
    put(internal::kKeyIsForeignKey, c.is_foreign_key);
    put(internal::kKeyIsPrimaryKey, c.is_primary_key);
    put(internal::kKeyName, c.name);
    field(internal::kKeyNullable);
    if (c.nullable)
      boolean(*c.nullable);
    else
      out_ += "null";
    put(internal::kKeyRole, c.role);
    field(internal::kKeySampleValues);
    list(c.sample_values, [&](const JsonValue& v) { value(v); });
    put(internal::kKeySynonyms, c.synonyms);
    put(internal::kKeyTags, c.tags);
    put(internal::kKeyType, c.type);
    close();
  }

  void table(const TableMeta& t) {
    open();
    put(internal::kKeyBusinessName, t.business_name);
    field(internal::kKeyColumns);
    list(t.columns, [&](const ColumnMeta& c) { column(c); });
    put(internal::kKeyDefaultDate, t.default_date_column);
    put(internal::kKeyDefaultMetric, t.default_metric_column);
    put(internal::kKeyDescription, t.description);
    field(internal::kKeyRowCount);
    if (t.row_count)
      out_ += std::to_string(*t.row_count);
    else
      out_ += "null";
    put(internal::kKeyTableName, t.table_name);
    close();
  }

  void relationship(const RelationshipMeta& r) {
    open();
    put(internal::kKeyDescription, r.description);
    put(internal::kKeyExtra, r.extra);
    put(internal::kKeyFromColumn, r.from_column);
    put(internal::kKeyFromTable, r.from_table);
    put(internal::kKeyRelationshipType, r.relationship_type);
    put(internal::kKeyToColumn, r.to_column);
    put(internal::kKeyToTable, r.to_table);
    close();
  }

  Sink& out_;
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
    const auto n = static_cast<std::ptrdiff_t>(
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

namespace {

// Room for the catalog's text: more than it usually takes, which costs
// nothing while untouched.
std::size_t text_room(const MetadataCatalog& catalog) {
  std::size_t columns = 0;
  for (const TableMeta& t : catalog.tables) columns += t.columns.size();
  return 256 + catalog.tables.size() * 640 + columns * 640 + catalog.relationships.size() * 320;
}

}  // namespace

std::string sorted_prompt_text(const MetadataCatalog& catalog, std::string_view database) {
  Sink out(text_room(catalog));
  SortedWriter(out).catalog(catalog, database);
  return std::string(out.view());
}

CatalogTextMeasure measure_catalog_text(const MetadataCatalog& catalog, std::string_view database) {
  Sink out(text_room(catalog));
  SortedWriter(out).catalog(catalog, database);
  std::string_view text = out.view();
  return {static_cast<std::int64_t>(unicode::code_point_length(text)),
          sha256_hex(text).substr(0, kHashDigits)};
}

struct CatalogTextBuilder::Tables {
  Sink text{std::size_t{1} << 20};
  std::size_t count = 0;
};

CatalogTextBuilder::CatalogTextBuilder() : tables_(std::make_unique<Tables>()) {}
CatalogTextBuilder::~CatalogTextBuilder() = default;

void CatalogTextBuilder::add_table(const TableMeta& table) {
  SortedWriter(tables_->text).table_item(table, tables_->count++ == 0);
}

CatalogTextMeasure CatalogTextBuilder::finish(const MetadataCatalog& catalog,
                                              std::string_view database) {
  std::string_view tables = tables_->text.view();
  Sink out(tables.size() + catalog.relationships.size() * 320 + database.size() + 256);
  SortedWriter(out).around_tables(catalog, database, tables);
  tables_.reset();
  std::string_view text = out.view();
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
  return internal::selected_metadata_map(catalog.database, selected_tables, selected_relationships,
                                         config);
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
