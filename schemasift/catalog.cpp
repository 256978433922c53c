// Searchable texts, membership tests and the prompt form of the catalog model.
#include "tessarin/schemasift/catalog.h"

#include <algorithm>

#include "tessarin/common/display.h"

namespace tessarin::schemasift {

namespace {

void append_joined(std::string& out, const std::vector<std::string>& items) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out.push_back(' ');
    out += items[i];
  }
}

// How many leading columns contribute descriptions and synonyms to a table's text.
constexpr std::size_t kTableTextColumnLimit = 50;
// Segment labels shared by the column and table texts.
constexpr std::string_view kTableLabel = "table ";
constexpr std::string_view kDescriptionLabel = "description ";
constexpr std::string_view kTagsLabel = "tags ";

void append_label(std::string& out, std::string_view label) {
  out.push_back(' ');
  out += label;
}

// How many sample values enter a column's text.
constexpr std::size_t kColumnTextSampleLimit = 10;

template <class Names>
bool contains_name(const Names& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

std::string ColumnMeta::searchable_text(std::string_view table_name,
                                        std::string_view table_business_name) const {
  std::string out;
  out.reserve(160 + name.size() + description.size());
  out += kTableLabel;
  out += table_name;
  out += " table business name ";
  out += table_business_name;
  out += " column ";
  out += name;
  out += " type ";
  out += type;
  append_label(out, kDescriptionLabel);
  out += description;
  out += " synonyms ";
  append_joined(out, synonyms);
  out += " role ";
  out += role;
  append_label(out, kTagsLabel);
  append_joined(out, tags);
  out += " sample values ";
  std::size_t samples = std::min(sample_values.size(), kColumnTextSampleLimit);
  for (std::size_t i = 0; i < samples; ++i) {
    if (i) out.push_back(' ');
    append_display_text(out, sample_values[i]);
  }
  return out;
}

std::string TableMeta::searchable_text() const {
  std::string out;
  out += kTableLabel;
  out += table_name;
  out += " business name ";
  out += business_name;
  append_label(out, kDescriptionLabel);
  out += description;
  append_label(out, kTagsLabel);
  append_joined(out, tags);
  out += " columns ";
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i) out.push_back(' ');
    out += columns[i].name;
  }
  std::size_t limited = std::min(columns.size(), kTableTextColumnLimit);
  out += " column descriptions ";
  for (std::size_t i = 0; i < limited; ++i) {
    if (i) out.push_back(' ');
    out += columns[i].description;
  }
  out += " column synonyms ";
  for (std::size_t i = 0; i < limited; ++i) {
    if (i) out.push_back(' ');
    append_joined(out, columns[i].synonyms);
  }
  out += " default date column ";
  if (default_date_column) out += *default_date_column;
  out += " default metric column ";
  if (default_metric_column) out += *default_metric_column;
  return out;
}

bool RelationshipMeta::involves(const WordSet& table_names) const {
  return table_names.contains(from_table) && table_names.contains(to_table);
}
bool RelationshipMeta::involves(const std::vector<std::string>& table_names) const {
  return contains_name(table_names, from_table) && contains_name(table_names, to_table);
}
bool RelationshipMeta::touches(const WordSet& table_names) const {
  return table_names.contains(from_table) || table_names.contains(to_table);
}
bool RelationshipMeta::touches(const std::vector<std::string>& table_names) const {
  return contains_name(table_names, from_table) || contains_name(table_names, to_table);
}

JsonMap column_prompt_dict(const ColumnMeta& column) {
  JsonMap out;
  out.reserve(11);
  out.append_new("name", column.name);
  out.append_new("type", column.type);
  out.append_new("description", column.description);
  out.append_new("synonyms", json_list(column.synonyms));
  out.append_new("role", column.role);
  out.append_new("tags", json_list(column.tags));
  out.append_new("nullable", column.nullable ? JsonValue(*column.nullable) : JsonValue());
  out.append_new("is_primary_key", column.is_primary_key);
  out.append_new("is_foreign_key", column.is_foreign_key);
  out.append_new("sample_values", column.sample_values);
  out.append_new("extra", column.extra);
  return out;
}

JsonMap table_prompt_dict(const TableMeta& table) {
  JsonMap out;
  out.reserve(7);
  out.append_new("table_name", table.table_name);
  out.append_new("business_name", table.business_name);
  out.append_new("description", table.description);
  JsonList columns;
  columns.reserve(table.columns.size());
  for (const ColumnMeta& column : table.columns) columns.emplace_back(column_prompt_dict(column));
  out.append_new("columns", std::move(columns));
  out.append_new("default_date_column", json_or_null(table.default_date_column));
  out.append_new("default_metric_column", json_or_null(table.default_metric_column));
  out.append_new("row_count", table.row_count ? JsonValue(static_cast<long long>(*table.row_count))
                                              : JsonValue());
  return out;
}

JsonMap relationship_dict(const RelationshipMeta& relationship) {
  JsonMap out;
  out.reserve(7);
  out.append_new("from_table", relationship.from_table);
  out.append_new("from_column", relationship.from_column);
  out.append_new("to_table", relationship.to_table);
  out.append_new("to_column", relationship.to_column);
  out.append_new("relationship_type", relationship.relationship_type);
  out.append_new("description", relationship.description);
  out.append_new("extra", relationship.extra);
  return out;
}

JsonMap MetadataCatalog::to_prompt_dict() const {
  JsonMap out;
  out.reserve(3);
  out.append_new("database", database);
  JsonList table_maps;
  table_maps.reserve(tables.size());
  for (const TableMeta& table : tables) table_maps.emplace_back(table_prompt_dict(table));
  out.append_new("tables", std::move(table_maps));
  JsonList relationship_maps;
  relationship_maps.reserve(relationships.size());
  for (const RelationshipMeta& relationship : relationships)
    relationship_maps.emplace_back(relationship_dict(relationship));
  out.append_new("relationships", std::move(relationship_maps));
  return out;
}

}  // namespace tessarin::schemasift
