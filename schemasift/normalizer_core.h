// The catalog normalizer's rules, written once over a value source so that
// they run both on JsonValue catalogs and, in the bindings, directly on host
// objects without converting the whole catalog first.
//
// A Source provides:
//   using Value = ...;           // a cheap handle; Value{} means "missing"
//   using Map = ...;             // a handle of a map value
//   struct KeyStore { Value hold(std::string_view key, Value key_object); };
//   static bool missing(Value), is_null(Value), is_empty(Value);
//   static bool is_list(Value), is_map(Value), is_empty_string(Value);
//   static Map as_map(Value);
//   static std::size_t list_size(Value); static Value list_item(Value, std::size_t);
//   static void for_each(Map, F f);  // f(std::string_view key, Value key_object, Value value)
//   static Value find(Map, std::string_view key);
//   static std::string text(Value);        // display text
//   static JsonValue json(Value);          // the value as JsonValue
//   static std::string kind_name(Value);   // host type name for errors
//   static std::string_view key_text(Value);  // text of a value held by KeyStore
// Sources may throw to abandon the run; nothing is returned partially.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tessarin/common/json_text.h"
#include "tessarin/common/json_value.h"
#include "tessarin/common/unicode.h"
#include "tessarin/schemasift/catalog.h"
#include "tessarin/schemasift/normalizer.h"
#include "tessarin/schemasift/text.h"

namespace tessarin::schemasift::normalizer_core {

inline constexpr std::array<std::string_view, 5> kCatalogOwnKeys = {
    "database", "database_name", "db", "tables", "relationships"};
// The 13 keys a table owns, then "relationships" and "joins", which are read
// but stay in the table's extra map.
inline constexpr std::array<std::string_view, 15> kTableKeys = {"table_name",
                                                                "name",
                                                                "table",
                                                                "source",
                                                                "business_name",
                                                                "display_name",
                                                                "description",
                                                                "comment",
                                                                "tags",
                                                                "columns",
                                                                "default_date_column",
                                                                "default_metric_column",
                                                                "row_count",
                                                                "relationships",
                                                                "joins"};
inline constexpr std::size_t kTableOwnCount = 13;
inline constexpr std::array<std::string_view, 18> kColumnOwnKeys = {
    "name",        "column_name",   "column",         "type",        "data_type",
    "description", "comment",       "synonyms",       "aliases",     "role",
    "tags",        "nullable",      "is_primary_key", "primary_key", "is_foreign_key",
    "foreign_key", "sample_values", "samples"};
inline constexpr std::array<std::string_view, 15> kRelationshipOwnKeys = {
    "from_table",    "left_table",    "source_table",      "from_column",  "left_column",
    "source_column", "to_table",      "right_table",       "target_table", "to_column",
    "right_column",  "target_column", "relationship_type", "type",         "description"};

// Positions in the key tables above.
enum ColumnKey : int {
  kColName,
  kColColumnName,
  kColColumn,
  kColType,
  kColDataType,
  kColDescription,
  kColComment,
  kColSynonyms,
  kColAliases,
  kColRole,
  kColTags,
  kColNullable,
  kColIsPrimaryKey,
  kColPrimaryKey,
  kColIsForeignKey,
  kColForeignKey,
  kColSampleValues,
  kColSamples
};
enum TableKey : int {
  kTabTableName,
  kTabName,
  kTabTable,
  kTabSource,
  kTabBusinessName,
  kTabDisplayName,
  kTabDescription,
  kTabComment,
  kTabTags,
  kTabColumns,
  kTabDefaultDate,
  kTabDefaultMetric,
  kTabRowCount,
  kTabRelationships,
  kTabJoins
};
enum RelationshipKey : int {
  kRelFromTable,
  kRelLeftTable,
  kRelSourceTable,
  kRelFromColumn,
  kRelLeftColumn,
  kRelSourceColumn,
  kRelToTable,
  kRelRightTable,
  kRelTargetTable,
  kRelToColumn,
  kRelRightColumn,
  kRelTargetColumn,
  kRelType,
  kRelTypeAlias,
  kRelDescription
};

template <std::size_t N>
int index_of(std::string_view key, const std::array<std::string_view, N>& keys) {
  // The keys are short and mostly differ in length or first byte.
  for (std::size_t i = 0; i < N; ++i)
    if (keys[i].size() == key.size() && keys[i][0] == key[0] &&
        std::char_traits<char>::compare(keys[i].data(), key.data(), key.size()) == 0)
      return static_cast<int>(i);
  return -1;
}

template <std::size_t N>
bool is_one_of(std::string_view key, const std::array<std::string_view, N>& keys) {
  return index_of(key, keys) >= 0;
}

// ---- error paths, built only when a shape is wrong ----

struct PathStep {
  const PathStep* parent = nullptr;
  std::string_view key;  // map key, when is_index is false
  std::size_t index = 0;
  bool is_index = false;
};

inline void append_path(std::string& out, const PathStep* step) {
  if (!step) {
    out += "catalog";
    return;
  }
  append_path(out, step->parent);
  out.push_back('[');
  if (step->is_index) {
    out += std::to_string(step->index);
  } else {
    JsonWriteOptions options;
    options.ensure_ascii = false;
    append_json_text(out, JsonValue(step->key), options);
  }
  out.push_back(']');
}

[[noreturn]] inline void fail_shape(const PathStep* at, std::string_view expected,
                                    const std::string& kind) {
  std::string message;
  append_path(message, at);
  message += " must be ";
  message += expected;
  message += ", got ";
  message += kind;
  throw CatalogShapeError(message);
}

// ---- role inference ----

inline std::string lower_ascii_or_full(std::string text) {
  if (detail::has_non_ascii(text)) return unicode::to_lower(std::string_view(text));
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

inline bool contains_any(std::string_view text, std::initializer_list<std::string_view> parts) {
  for (std::string_view part : parts)
    if (text.find(part) != std::string_view::npos) return true;
  return false;
}

inline std::optional<std::string_view> explicit_role(std::string_view role_text) {
  if (role_text == "measure" || role_text == "amount" || role_text == "numeric")
    return ColumnRole::METRIC;
  if (role_text == "category" || role_text == "group" || role_text == "label")
    return ColumnRole::DIMENSION;
  if (role_text == "timestamp") return ColumnRole::DATETIME;
  for (std::string_view role : ColumnRole::ALL)
    if (role == role_text) return role;
  return std::nullopt;
}

// Rules 5 to 10 of role inference, on the lower-cased name and type texts.
inline std::string role_from_name_and_type(const std::string& name, const std::string& type) {
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

// ---- the rules over a source ----

template <class S>
class Normalizer {
 public:
  using Value = typename S::Value;
  using Map = typename S::Map;

  // One raw table or column: a map from a list, or the value of a map-shaped
  // container whose key stands first under `key_field` (map may be missing
  // when that value was empty).
  struct RawMap {
    std::optional<Map> map;
    std::string_view key_field;
    Value key_value{};
    bool has_key = false;
  };

  // The values of the known keys of one raw map, found in a single pass.
  // Entries whose key is not among the first `own_count` keys go to `extra`.
  class Slots {
   public:
    static constexpr std::size_t kMax = 18;
    template <std::size_t N>
    Slots(const RawMap& raw, const std::array<std::string_view, N>& keys, std::size_t own_count,
          JsonMap* extra) {
      static_assert(N <= kMax);
      if (raw.has_key) {
        int k = index_of(raw.key_field, keys);
        if (k >= 0) slot_[k] = raw.key_value;
      }
      if (!raw.map) return;
      // The extra entries are gathered first, so that the map is made at
      // its size (past kGathered of them, the rest are added as they come).
      std::array<std::pair<std::string_view, Value>, kGathered> gathered;
      std::size_t count = 0;
      S::for_each(*raw.map, [&](std::string_view key, Value, Value value) {
        int k = index_of(key, keys);
        if (k >= 0) slot_[k] = value;
        if (!extra || (k >= 0 && static_cast<std::size_t>(k) < own_count)) return;
        if (count < kGathered) {
          gathered[count++] = {key, value};
          return;
        }
        if (count == kGathered) {
          add_extras(*extra, gathered.data(), count);
          ++count;
        }
        extra->append_new(std::string(key), S::json(value));
      });
      if (extra && count <= kGathered) add_extras(*extra, gathered.data(), count);
    }
    Slots(const Slots&) = delete;
    Slots& operator=(const Slots&) = delete;

    Value operator[](int i) const { return slot_[i]; }
    Value first(std::initializer_list<int> ids) const {
      for (int i : ids)
        if (!S::missing(slot_[i]) && !S::is_empty(slot_[i])) return slot_[i];
      return Value{};
    }
    bool any(std::initializer_list<int> ids) const { return !S::missing(first(ids)); }

   private:
    static constexpr std::size_t kGathered = 16;
    static void add_extras(JsonMap& extra, const std::pair<std::string_view, Value>* entries,
                           std::size_t n) {
      if (n == 0) return;
      extra.reserve(extra.size() + n);
      for (std::size_t i = 0; i < n; ++i)
        extra.append_new(std::string(entries[i].first), S::json(entries[i].second));
    }

    std::array<Value, kMax> slot_{};
  };

  // Called after each table added to the records, with the tables so far.
  // They stay where they are: the list is reserved before the first.
  using TableAdded = void (*)(void* context, const TableMeta* tables, std::size_t count);
  void on_table_added(TableAdded added, void* context) {
    table_added_ = added;
    table_added_context_ = context;
  }

  MetadataCatalog normalize(Map catalog, const std::optional<std::string>& database) {
    MetadataCatalog result;
    normalize_into(catalog, database, result);
    return result;
  }

  // normalize() into an empty MetadataCatalog owned by the caller, which
  // keeps what was read so far when this throws.
  void normalize_into(Map catalog, const std::optional<std::string>& database,
                      MetadataCatalog& result) {
    if (database && !database->empty()) {
      result.database = *database;
    } else {
      for (std::string_view key : {"database", "database_name", "db"}) {
        Value v = S::find(catalog, key);
        if (!S::missing(v) && !S::is_empty(v)) {
          result.database = S::text(v);
          break;
        }
      }
    }

    Value tables_value = S::find(catalog, "tables");
    std::vector<RawMap> raw_tables = raw_entries(tables_value, "tables", "table_name", nullptr);
    PathStep tables_step{nullptr, "tables", 0, false};

    result.tables.reserve(raw_tables.size());
    for (std::size_t i = 0; i < raw_tables.size(); ++i) {
      JsonMap extra;
      Slots s(raw_tables[i], kTableKeys, kTableOwnCount, &extra);
      std::string name = text_of(s.first({kTabTableName, kTabName, kTabTable, kTabSource}));
      if (name.empty()) continue;
      PathStep table_step = entry_step(&tables_step, raw_tables[i], i);
      result.tables.push_back(build_table(s, std::move(name), std::move(extra), &table_step));
      if (table_added_)
        table_added_(table_added_context_, result.tables.data(), result.tables.size());
    }

    append_relationships(S::find(catalog, "relationships"), S::find(catalog, "joins"), nullptr,
                         result.relationships);
    for (std::size_t i = 0; i < raw_tables.size(); ++i) {
      if (!raw_tables[i].map) continue;
      PathStep table_step = entry_step(&tables_step, raw_tables[i], i);
      append_relationships(S::find(*raw_tables[i].map, "relationships"),
                           S::find(*raw_tables[i].map, "joins"), &table_step, result.relationships);
    }

    S::for_each(catalog, [&](std::string_view key, Value, Value value) {
      if (!is_one_of(key, kCatalogOwnKeys))
        result.extra.append_new(std::string(key), S::json(value));
    });
  }

  std::string infer_role(Map raw_col) {
    RawMap raw{raw_col, {}, Value{}, false};
    Slots s(raw, kColumnOwnKeys, 0, nullptr);
    return role_of(s);
  }

  std::vector<RelationshipMeta> relationships(Map obj) {
    std::vector<RelationshipMeta> out;
    append_relationships(S::find(obj, "relationships"), S::find(obj, "joins"), nullptr, out);
    return out;
  }

 private:
  static std::string text_of(Value v) { return S::missing(v) ? std::string() : S::text(v); }

  // A list with each item converted; any other non-empty value counts as a
  // one-element list.
  template <class List, class Convert>
  static List list_of(Value v, Convert convert) {
    List out;
    if (S::missing(v) || S::is_empty(v)) return out;
    if (!S::is_list(v)) {
      out.push_back(convert(v));
      return out;
    }
    std::size_t n = S::list_size(v);
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.push_back(convert(S::list_item(v, i)));
    return out;
  }

  static std::vector<std::string> string_list_of(Value v) {
    return list_of<std::vector<std::string>>(v, [](Value item) { return S::text(item); });
  }

  static JsonList value_list_of(Value v) {
    return list_of<JsonList>(v, [](Value item) { return S::json(item); });
  }

  // Typed optional fields take the value unchanged when it has their type;
  // null stays null and other kinds take their closest typed form.
  static std::optional<bool> optional_bool_of(Value v) {
    if (S::missing(v) || S::is_null(v)) return std::nullopt;
    JsonValue j = S::json(v);
    if (j.is_bool()) return j.as_bool();
    return !j.is_empty();
  }
  static std::optional<std::string> optional_text_of(Value v) {
    if (S::missing(v) || S::is_null(v)) return std::nullopt;
    return S::text(v);
  }
  static std::optional<std::int64_t> optional_int_of(Value v) {
    if (S::missing(v) || S::is_null(v)) return std::nullopt;
    JsonValue j = S::json(v);
    if (j.is_int()) return j.as_int();
    if (j.is_bool()) return j.as_bool() ? 1 : 0;
    if (j.is_double()) {
      double d = j.as_double();
      if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9.2e18)
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
  }

  static std::string role_of(const Slots& s) {
    Value role = s[kColRole];
    if (!S::missing(role) && !S::is_empty(role)) {
      std::string role_text = lower_ascii_or_full(S::text(role));
      if (auto explicit_value = explicit_role(unicode::strip(std::string_view(role_text))))
        return std::string(*explicit_value);
    }
    if (s.any({kColIsPrimaryKey, kColPrimaryKey})) return std::string(ColumnRole::PRIMARY_KEY);
    if (s.any({kColIsForeignKey, kColForeignKey})) return std::string(ColumnRole::FOREIGN_KEY);
    return role_from_name_and_type(
        lower_ascii_or_full(text_of(s.first({kColName, kColColumnName}))),
        lower_ascii_or_full(text_of(s.first({kColType, kColDataType}))));
  }

  static ColumnMeta build_column(const Slots& s, std::string name, JsonMap extra) {
    ColumnMeta column;
    column.name = std::move(name);
    column.type = text_of(s.first({kColType, kColDataType}));
    column.description = text_of(s.first({kColDescription, kColComment}));
    column.synonyms = string_list_of(s.first({kColSynonyms, kColAliases}));
    column.role = role_of(s);
    column.tags = string_list_of(s[kColTags]);
    column.nullable = optional_bool_of(s[kColNullable]);
    column.is_primary_key = s.any({kColIsPrimaryKey, kColPrimaryKey});
    column.is_foreign_key = s.any({kColIsForeignKey, kColForeignKey});
    column.sample_values = value_list_of(s.first({kColSampleValues, kColSamples}));
    column.extra = std::move(extra);
    return column;
  }

  // Entries of a list- or map-shaped container of tables or columns, checked
  // before anything is built. `key_field` receives the key of map entries.
  std::vector<RawMap> raw_entries(Value container, std::string_view container_key,
                                  std::string_view key_field, const PathStep* parent) {
    std::vector<RawMap> out;
    if (S::missing(container)) return out;
    PathStep here{parent, container_key, 0, false};
    if (S::is_list(container)) {
      std::size_t n = S::list_size(container);
      out.reserve(n);
      for (std::size_t i = 0; i < n; ++i) {
        Value item = S::list_item(container, i);
        if (!S::is_map(item)) {
          PathStep at{&here, {}, i, true};
          fail_shape(&at, "a map", S::kind_name(item));
        }
        out.push_back(RawMap{S::as_map(item), {}, Value{}, false});
      }
      return out;
    }
    if (S::is_map(container)) {
      S::for_each(S::as_map(container), [&](std::string_view key, Value key_object, Value value) {
        RawMap raw{std::nullopt, key_field, keys_.hold(key, key_object), true};
        if (S::is_map(value)) {
          raw.map = S::as_map(value);
        } else if (!S::is_empty(value)) {
          PathStep at{&here, key, 0, false};
          fail_shape(&at, "a map", S::kind_name(value));
        }
        out.push_back(raw);
      });
      return out;
    }
    if (S::is_empty_string(container)) return out;
    fail_shape(&here, "a list or a map", S::kind_name(container));
  }

  // The path step of a raw entry, for errors inside it.
  static PathStep entry_step(const PathStep* container, const RawMap& raw, std::size_t i) {
    if (raw.has_key) return PathStep{container, S::key_text(raw.key_value), 0, false};
    return PathStep{container, {}, i, true};
  }

  void append_relationships(Value relationships, Value joins, const PathStep* at,
                            std::vector<RelationshipMeta>& out) {
    std::string_view list_key = "relationships";
    Value raw_list = relationships;
    if (S::missing(raw_list) || S::is_empty(raw_list)) {
      list_key = "joins";
      raw_list = joins;
    }
    if (S::missing(raw_list) || S::is_empty(raw_list)) return;
    PathStep here{at, list_key, 0, false};
    if (!S::is_list(raw_list)) fail_shape(&here, "a list", S::kind_name(raw_list));
    std::size_t n = S::list_size(raw_list);
    for (std::size_t i = 0; i < n; ++i) {
      if (!S::is_map(S::list_item(raw_list, i))) {
        PathStep item{&here, {}, i, true};
        fail_shape(&item, "a map", S::kind_name(S::list_item(raw_list, i)));
      }
    }
    for (std::size_t i = 0; i < n; ++i) {
      JsonMap extra;
      RawMap raw{S::as_map(S::list_item(raw_list, i)), {}, Value{}, false};
      Slots s(raw, kRelationshipOwnKeys, kRelationshipOwnKeys.size(), &extra);
      RelationshipMeta r;
      r.from_table = text_of(s.first({kRelFromTable, kRelLeftTable, kRelSourceTable}));
      r.from_column = text_of(s.first({kRelFromColumn, kRelLeftColumn, kRelSourceColumn}));
      r.to_table = text_of(s.first({kRelToTable, kRelRightTable, kRelTargetTable}));
      r.to_column = text_of(s.first({kRelToColumn, kRelRightColumn, kRelTargetColumn}));
      if (r.from_table.empty() || r.from_column.empty() || r.to_table.empty() ||
          r.to_column.empty())
        continue;
      Value type = s.first({kRelType, kRelTypeAlias});
      if (!S::missing(type)) r.relationship_type = S::text(type);
      r.description = text_of(s.first({kRelDescription}));
      r.extra = std::move(extra);
      out.push_back(std::move(r));
    }
  }

  TableMeta build_table(const Slots& s, std::string name, JsonMap extra, const PathStep* at) {
    TableMeta table;
    table.table_name = std::move(name);
    table.business_name = text_of(s.first({kTabBusinessName, kTabDisplayName}));
    table.description = text_of(s.first({kTabDescription, kTabComment}));
    table.tags = string_list_of(s[kTabTags]);
    std::vector<RawMap> raw_columns = raw_entries(s[kTabColumns], "columns", "name", at);
    table.columns.reserve(raw_columns.size());
    for (const RawMap& raw_column : raw_columns) {
      JsonMap column_extra;
      Slots cs(raw_column, kColumnOwnKeys, kColumnOwnKeys.size(), &column_extra);
      std::string column_name = text_of(cs.first({kColName, kColColumnName, kColColumn}));
      if (column_name.empty()) continue;
      table.columns.push_back(build_column(cs, std::move(column_name), std::move(column_extra)));
    }
    table.default_date_column = optional_text_of(s[kTabDefaultDate]);
    table.default_metric_column = optional_text_of(s[kTabDefaultMetric]);
    table.row_count = optional_int_of(s[kTabRowCount]);
    table.extra = std::move(extra);
    return table;
  }

  typename S::KeyStore keys_;
  TableAdded table_added_ = nullptr;
  void* table_added_context_ = nullptr;
};

}  // namespace tessarin::schemasift::normalizer_core
