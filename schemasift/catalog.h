// The normalized catalog model: tables with their columns, and the
// relationships that join tables, plus the texts and the prompt form built
// from them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tessarin/common/json_value.h"
#include "tessarin/schemasift/text.h"

namespace tessarin::schemasift {

struct ColumnMeta {
  std::string name;
  std::string type;
  std::string description;
  std::vector<std::string> synonyms;
  std::string role = std::string(ColumnRole::UNKNOWN);
  std::vector<std::string> tags;
  std::optional<bool> nullable;
  bool is_primary_key = false;
  bool is_foreign_key = false;
  JsonList sample_values;
  JsonMap extra;

  // Nine labelled segments joined by blanks; empty ones are kept.
  std::string searchable_text(std::string_view table_name = "",
                              std::string_view table_business_name = "") const;

  friend bool operator==(const ColumnMeta&, const ColumnMeta&) = default;
};

struct TableMeta {
  std::string table_name;
  std::string business_name;
  std::string description;
  std::vector<std::string> tags;
  std::vector<ColumnMeta> columns;
  std::optional<std::string> default_date_column;
  std::optional<std::string> default_metric_column;
  std::optional<std::int64_t> row_count;
  JsonMap extra;

  // Nine labelled segments; column descriptions and synonyms of the first 50
  // columns only, names of all columns.
  std::string searchable_text() const;

  friend bool operator==(const TableMeta&, const TableMeta&) = default;
};

struct RelationshipMeta {
  std::string from_table;
  std::string from_column;
  std::string to_table;
  std::string to_column;
  std::string relationship_type = "many_to_one";
  std::string description;
  JsonMap extra;

  // Both ends among the names.
  bool involves(const WordSet& table_names) const;
  bool involves(const std::vector<std::string>& table_names) const;
  // Either end among the names.
  bool touches(const WordSet& table_names) const;
  bool touches(const std::vector<std::string>& table_names) const;

  friend bool operator==(const RelationshipMeta&, const RelationshipMeta&) = default;
};

struct MetadataCatalog {
  std::string database;
  std::vector<TableMeta> tables;
  std::vector<RelationshipMeta> relationships;
  JsonMap extra;

  // A fresh map: "database", "tables" (without tags and extra), "relationships".
  JsonMap to_prompt_dict() const;

  friend bool operator==(const MetadataCatalog&, const MetadataCatalog&) = default;
};

// Map forms used by to_prompt_dict, exposed for the output stage.
JsonMap column_prompt_dict(const ColumnMeta& column);
JsonMap table_prompt_dict(const TableMeta& table);
JsonMap relationship_dict(const RelationshipMeta& relationship);

}  // namespace tessarin::schemasift
