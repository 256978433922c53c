// The catalog normalizer: flexible catalog maps to MetadataCatalog records.
#include "schemasift/normalizer.h"

#include <array>
#include <cmath>

#include "common/display.h"
#include "common/json_text.h"
#include "common/unicode.h"

namespace tessarin::schemasift {

namespace {

using Keys = std::initializer_list<std::string_view>;

constexpr std::array<std::string_view, 5> kCatalogOwnKeys = {"database", "database_name", "db",
                                                             "tables", "relationships"};
constexpr std::array<std::string_view, 13> kTableOwnKeys = {
    "table_name",  "name",    "table", "source",  "business_name",       "display_name",
    "description", "comment", "tags",  "columns", "default_date_column", "default_metric_column",
    "row_count"};
constexpr std::array<std::string_view, 18> kColumnOwnKeys = {
    "name",        "column_name",   "column",         "type",        "data_type",
    "description", "comment",       "synonyms",       "aliases",     "role",
    "tags",        "nullable",      "is_primary_key", "primary_key", "is_foreign_key",
    "foreign_key", "sample_values", "samples"};
constexpr std::array<std::string_view, 15> kRelationshipOwnKeys = {
    "from_table",    "left_table",    "source_table",      "from_column",  "left_column",
    "source_column", "to_table",      "right_table",       "target_table", "to_column",
    "right_column",  "target_column", "relationship_type", "type",         "description"};

// ---- error paths, built only when a shape is wrong ----

struct PathStep {
  const PathStep* parent = nullptr;
  std::string_view key;  // map key, when is_index is false
  std::size_t index = 0;
  bool is_index = false;
};

std::string key_literal(std::string_view key) {
  JsonWriteOptions options;
  options.ensure_ascii = false;
  return json_text(JsonValue(key), options);
}

void append_path(std::string& out, const PathStep* step) {
  if (!step) {
    out += "catalog";
    return;
  }
  append_path(out, step->parent);
  out.push_back('[');
  out += step->is_index ? std::to_string(step->index) : key_literal(step->key);
  out.push_back(']');
}

[[noreturn]] void fail_shape(const PathStep* at, std::string_view expected,
                             const JsonValue& value) {
  std::string message;
  append_path(message, at);
  message += " must be ";
  message += expected;
  message += ", got ";
  message += python_kind_name(value);
  throw CatalogShapeError(message);
}

// ---- raw maps ----

// One raw table or column: either a map from a list, or the value of a
// map-shaped container whose key stands first under `key_field`.
class RawMap {
 public:
  explicit RawMap(const JsonMap* map) : map_(map) {}
  RawMap(const JsonMap* map, std::string_view key_field, const std::string& key)
      : map_(map), key_field_(key_field), key_value_(key), has_key_(true) {}

  const JsonValue* get(std::string_view key) const {
    if (has_key_ && key == key_field_) {
      const JsonValue* inner = map_ ? map_->find(key) : nullptr;
      return inner ? inner : &key_value_;
    }
    return map_ ? map_->find(key) : nullptr;
  }
  // The underlying entries; the key field is excluded from every extra map,
  // so the synthesized first entry never needs to be visited.
  const JsonMap* entries() const { return map_; }

 private:
  const JsonMap* map_;
  std::string_view key_field_;
  JsonValue key_value_;
  bool has_key_ = false;
};

template <class Raw>
const JsonValue* first_non_empty_of(const Raw& raw, Keys keys) {
  for (std::string_view key : keys) {
    const JsonValue* value = raw.get(key);
    if (value && !value->is_empty()) return value;
  }
  return nullptr;
}

template <class Raw>
std::string text_of(const Raw& raw, Keys keys) {
  const JsonValue* value = first_non_empty_of(raw, keys);
  return value ? display_text(*value) : std::string();
}

template <class Raw>
bool any_non_empty(const Raw& raw, Keys keys) {
  return first_non_empty_of(raw, keys) != nullptr;
}

struct MapView {
  const JsonMap& map;
  const JsonValue* get(std::string_view key) const { return map.find(key); }
};

// A list value copied as strings; any other non-empty value counts as a
// one-element list.
std::vector<std::string> string_list_of(const JsonValue* value) {
  std::vector<std::string> out;
  if (!value || value->is_empty()) return out;
  if (!value->is_list()) {
    out.push_back(display_text(*value));
    return out;
  }
  out.reserve(value->as_list().size());
  for (const JsonValue& item : value->as_list())
    out.push_back(item.is_string() ? item.as_string() : display_text(item));
  return out;
}

JsonList value_list_of(const JsonValue* value) {
  if (!value || value->is_empty()) return {};
  if (!value->is_list()) return JsonList{*value};
  return value->as_list();
}

template <std::size_t N>
bool is_one_of(std::string_view key, const std::array<std::string_view, N>& keys) {
  for (std::string_view k : keys)
    if (k == key) return true;
  return false;
}

template <std::size_t N>
JsonMap extra_of(const JsonMap* entries, const std::array<std::string_view, N>& own_keys) {
  JsonMap extra;
  if (!entries) return extra;
  for (const auto& [key, value] : *entries)
    if (!is_one_of(key, own_keys)) extra.append_new(key, value);
  return extra;
}

std::string lower_text(std::string text) {
  if (detail::has_non_ascii(text)) return unicode::to_lower(std::string_view(text));
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

bool contains_any(std::string_view text, Keys parts) {
  for (std::string_view part : parts)
    if (text.find(part) != std::string_view::npos) return true;
  return false;
}

std::optional<std::string_view> explicit_role(std::string_view role_text) {
  if (role_text == "measure" || role_text == "amount" || role_text == "numeric")
    return ColumnRole::METRIC;
  if (role_text == "category" || role_text == "group" || role_text == "label")
    return ColumnRole::DIMENSION;
  if (role_text == "timestamp") return ColumnRole::DATETIME;
  for (std::string_view role : ColumnRole::ALL)
    if (role == role_text) return role;
  return std::nullopt;
}

template <class Raw>
std::string infer_role(const Raw& raw) {
  const JsonValue* role_value = raw.get("role");
  if (role_value && !role_value->is_empty()) {
    std::string role_text = lower_text(display_text(*role_value));
    if (auto role = explicit_role(unicode::strip(std::string_view(role_text))))
      return std::string(*role);
  }
  std::string name = lower_text(text_of(raw, {"name", "column_name"}));
  std::string type = lower_text(text_of(raw, {"type", "data_type"}));
  if (any_non_empty(raw, {"is_primary_key", "primary_key"}))
    return std::string(ColumnRole::PRIMARY_KEY);
  if (any_non_empty(raw, {"is_foreign_key", "foreign_key"}))
    return std::string(ColumnRole::FOREIGN_KEY);
  if (contains_any(name, {"date", "time"}) || contains_any(type, {"date", "time"}))
    return std::string(type.find("time") != std::string::npos ? ColumnRole::DATETIME
                                                              : ColumnRole::DATE);
  if (name == "id" || name.ends_with("_id")) return std::string(ColumnRole::ID);
  if (contains_any(type, {"int", "float", "decimal", "double", "numeric"}))
    return std::string(ColumnRole::METRIC);
  if (type.find("bool") != std::string::npos) return std::string(ColumnRole::BOOLEAN);
  if (contains_any(type, {"string", "varchar", "text", "lowcardinality"}))
    return std::string(ColumnRole::DIMENSION);
  return std::string(ColumnRole::UNKNOWN);
}

// "Stored unchanged" into the typed optional fields: null stays null, values
// of another kind take their closest typed form.
std::optional<bool> optional_bool_of(const JsonValue* value) {
  if (!value || value->is_null()) return std::nullopt;
  if (value->is_bool()) return value->as_bool();
  return !value->is_empty();
}

std::optional<std::string> optional_text_of(const JsonValue* value) {
  if (!value || value->is_null()) return std::nullopt;
  return value->is_string() ? value->as_string() : display_text(*value);
}

std::optional<std::int64_t> optional_int_of(const JsonValue* value) {
  if (!value) return std::nullopt;
  if (value->is_int()) return value->as_int();
  if (value->is_bool()) return value->as_bool() ? 1 : 0;
  if (value->is_double()) {
    double d = value->as_double();
    if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9.2e18)
      return static_cast<std::int64_t>(d);
  }
  return std::nullopt;
}

ColumnMeta build_column(const RawMap& raw, std::string name) {
  ColumnMeta column;
  column.name = std::move(name);
  column.type = text_of(raw, {"type", "data_type"});
  column.description = text_of(raw, {"description", "comment"});
  column.synonyms = string_list_of(first_non_empty_of(raw, {"synonyms", "aliases"}));
  column.role = infer_role(raw);
  column.tags = string_list_of(raw.get("tags"));
  column.nullable = optional_bool_of(raw.get("nullable"));
  column.is_primary_key = any_non_empty(raw, {"is_primary_key", "primary_key"});
  column.is_foreign_key = any_non_empty(raw, {"is_foreign_key", "foreign_key"});
  column.sample_values = value_list_of(first_non_empty_of(raw, {"sample_values", "samples"}));
  column.extra = extra_of(raw.entries(), kColumnOwnKeys);
  return column;
}

// Entries of a list- or map-shaped container of tables or columns, checked
// before anything is built. `key_field` receives the key of map entries.
std::vector<RawMap> raw_entries(const JsonValue* container, std::string_view container_key,
                                std::string_view key_field, const PathStep* parent) {
  std::vector<RawMap> out;
  if (!container) return out;
  PathStep here{parent, container_key, 0, false};
  if (container->is_list()) {
    const JsonList& list = container->as_list();
    out.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (!list[i].is_map()) {
        PathStep item{&here, {}, i, true};
        fail_shape(&item, "a map", list[i]);
      }
      out.emplace_back(&list[i].as_map());
    }
    return out;
  }
  if (container->is_map()) {
    const JsonMap& map = container->as_map();
    out.reserve(map.size());
    for (const auto& [key, value] : map) {
      if (value.is_map()) {
        out.emplace_back(&value.as_map(), key_field, key);
      } else if (value.is_empty()) {
        out.emplace_back(nullptr, key_field, key);
      } else {
        PathStep item{&here, key, 0, false};
        fail_shape(&item, "a map", value);
      }
    }
    return out;
  }
  if (container->is_string() && container->as_string().empty()) return out;
  fail_shape(&here, "a list or a map", *container);
}

// The path step of the i-th raw entry of a container, for nested errors.
PathStep entry_step(const PathStep* container, const JsonValue* value, std::size_t i) {
  if (value && value->is_map())
    return PathStep{container, value->as_map().items()[i].first, 0, false};
  return PathStep{container, {}, i, true};
}

template <class Raw>
void append_relationships(const Raw& obj, const PathStep* at, std::vector<RelationshipMeta>& out) {
  std::string_view list_key = "relationships";
  const JsonValue* raw_list = obj.get(list_key);
  if (!raw_list || raw_list->is_empty()) {
    list_key = "joins";
    raw_list = obj.get(list_key);
  }
  if (!raw_list || raw_list->is_empty()) return;
  PathStep here{at, list_key, 0, false};
  if (!raw_list->is_list()) fail_shape(&here, "a list", *raw_list);
  const JsonList& list = raw_list->as_list();
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (!list[i].is_map()) {
      PathStep item{&here, {}, i, true};
      fail_shape(&item, "a map", list[i]);
    }
  }
  for (const JsonValue& item : list) {
    MapView raw{item.as_map()};
    std::string from_table = text_of(raw, {"from_table", "left_table", "source_table"});
    std::string from_column = text_of(raw, {"from_column", "left_column", "source_column"});
    std::string to_table = text_of(raw, {"to_table", "right_table", "target_table"});
    std::string to_column = text_of(raw, {"to_column", "right_column", "target_column"});
    if (from_table.empty() || from_column.empty() || to_table.empty() || to_column.empty())
      continue;
    RelationshipMeta relationship;
    relationship.from_table = std::move(from_table);
    relationship.from_column = std::move(from_column);
    relationship.to_table = std::move(to_table);
    relationship.to_column = std::move(to_column);
    std::string type = text_of(raw, {"relationship_type", "type"});
    if (!type.empty()) relationship.relationship_type = std::move(type);
    relationship.description = text_of(raw, {"description"});
    relationship.extra = extra_of(&item.as_map(), kRelationshipOwnKeys);
    out.push_back(std::move(relationship));
  }
}

TableMeta build_table(const RawMap& raw, std::string name, const PathStep* at) {
  TableMeta table;
  table.table_name = std::move(name);
  table.business_name = text_of(raw, {"business_name", "display_name"});
  table.description = text_of(raw, {"description", "comment"});
  table.tags = string_list_of(raw.get("tags"));
  const JsonValue* columns_value = raw.get("columns");
  std::vector<RawMap> raw_columns = raw_entries(columns_value, "columns", "name", at);
  table.columns.reserve(raw_columns.size());
  for (const RawMap& raw_column : raw_columns) {
    std::string column_name = text_of(raw_column, {"name", "column_name", "column"});
    if (column_name.empty()) continue;
    table.columns.push_back(build_column(raw_column, std::move(column_name)));
  }
  table.default_date_column = optional_text_of(raw.get("default_date_column"));
  table.default_metric_column = optional_text_of(raw.get("default_metric_column"));
  table.row_count = optional_int_of(raw.get("row_count"));
  table.extra = extra_of(raw.entries(), kTableOwnKeys);
  return table;
}

}  // namespace

const char* python_kind_name(const JsonValue& value) {
  switch (value.kind()) {
    case JsonValue::Kind::Null:
      return "NoneType";
    case JsonValue::Kind::Bool:
      return "bool";
    case JsonValue::Kind::Int:
      return "int";
    case JsonValue::Kind::Double:
      return "float";
    case JsonValue::Kind::String:
      return "str";
    case JsonValue::Kind::List:
      return "list";
    case JsonValue::Kind::Map:
      return "dict";
    case JsonValue::Kind::Opaque:
      return "object";
  }
  return "object";
}

MetadataCatalog CatalogNormalizer::normalize(const JsonMap& catalog,
                                             const std::optional<std::string>& database) {
  MetadataCatalog result;
  MapView root{catalog};
  if (database && !database->empty())
    result.database = *database;
  else
    result.database = text_of(root, {"database", "database_name", "db"});

  const JsonValue* tables_value = catalog.find("tables");
  std::vector<RawMap> raw_tables = raw_entries(tables_value, "tables", "table_name", nullptr);
  PathStep tables_step{nullptr, "tables", 0, false};

  result.tables.reserve(raw_tables.size());
  for (std::size_t i = 0; i < raw_tables.size(); ++i) {
    std::string name = text_of(raw_tables[i], {"table_name", "name", "table", "source"});
    if (name.empty()) continue;
    PathStep table_step = entry_step(&tables_step, tables_value, i);
    result.tables.push_back(build_table(raw_tables[i], std::move(name), &table_step));
  }

  append_relationships(root, nullptr, result.relationships);
  for (std::size_t i = 0; i < raw_tables.size(); ++i) {
    PathStep table_step = entry_step(&tables_step, tables_value, i);
    append_relationships(raw_tables[i], &table_step, result.relationships);
  }

  result.extra = extra_of(&catalog, kCatalogOwnKeys);
  return result;
}

MetadataCatalog CatalogNormalizer::normalize(const JsonValue& catalog,
                                             const std::optional<std::string>& database) {
  if (!catalog.is_map()) {
    std::string message = "catalog must be a map, got ";
    message += python_kind_name(catalog);
    throw CatalogShapeError(message);
  }
  return normalize(catalog.as_map(), database);
}

std::string CatalogNormalizer::_infer_role(const JsonMap& raw_col) {
  return infer_role(MapView{raw_col});
}

std::vector<RelationshipMeta> CatalogNormalizer::_normalize_relationships(const JsonMap& obj) {
  std::vector<RelationshipMeta> out;
  append_relationships(MapView{obj}, nullptr, out);
  return out;
}

}  // namespace tessarin::schemasift
