// Records and catalogs the selector tests build: bare columns and tables,
// scored entries, relationships, a small shop catalog, and readers of the
// names in a selected-metadata map.
#pragma once

#include <string>
#include <vector>

#include "tessarin/common/json_value.h"
#include "tessarin/schemasift/records.h"

namespace tessarin::schemasift::test_support {

inline ColumnMeta column(std::string name, std::string role = "unknown") {
  ColumnMeta c;
  c.name = std::move(name);
  c.role = std::move(role);
  return c;
}

inline TableMeta table(std::string name, std::vector<ColumnMeta> columns = {}) {
  TableMeta t;
  t.table_name = std::move(name);
  t.columns = std::move(columns);
  return t;
}

inline RelationshipMeta relationship(std::string from_table, std::string from_column,
                                     std::string to_table, std::string to_column) {
  RelationshipMeta r;
  r.from_table = std::move(from_table);
  r.from_column = std::move(from_column);
  r.to_table = std::move(to_table);
  r.to_column = std::move(to_column);
  return r;
}

inline QueryIntent bare_intent() {
  QueryIntent intent;
  intent.raw_question = "q";
  return intent;
}

inline ScoredTable scored(TableMeta t, double score) {
  ScoredTable s;
  s.table = std::move(t);
  s.score = score;
  return s;
}

inline ScoredColumn scored(ColumnMeta c, double score) {
  ScoredColumn s;
  s.column = std::move(c);
  s.score = score;
  return s;
}

inline SelectorConfig lexical_config() {
  SelectorConfig config;
  config.strategy = "lexical";
  return config;
}

// Prefix and number, built without operator+ (GCC 12 misreports it).
inline std::string numbered(const char* prefix, int n) {
  std::string out = prefix;
  out += std::to_string(n);
  return out;
}

inline std::vector<std::string> table_names(const JsonMap& selected) {
  std::vector<std::string> out;
  for (const JsonValue& t : selected.find("tables")->as_list())
    out.push_back(t.get("table_name")->as_string());
  return out;
}

inline std::vector<std::string> column_names(const JsonMap& selected, std::size_t table_index) {
  std::vector<std::string> out;
  const JsonValue& t = selected.find("tables")->as_list()[table_index];
  for (const JsonValue& c : t.get("columns")->as_list()) out.push_back(c.get("name")->as_string());
  return out;
}

inline MetadataCatalog shop_catalog() {
  TableMeta orders =
      table("orders", {column("order_id", "primary_key"), column("order_date", "date"),
                       column("amount", "metric"), column("status", "dimension")});
  orders.columns[0].is_primary_key = true;
  orders.default_date_column = "order_date";
  TableMeta customers =
      table("customers", {column("customer_id", "primary_key"), column("city", "dimension")});
  TableMeta products = table("products", {column("product_id", "id"), column("price", "metric")});
  MetadataCatalog catalog;
  catalog.database = "shop";
  catalog.tables = {orders, customers, products};
  catalog.relationships = {relationship("orders", "customer_id", "customers", "customer_id"),
                           relationship("orders", "product_id", "products", "product_id")};
  return catalog;
}

}  // namespace tessarin::schemasift::test_support
