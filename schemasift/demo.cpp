// The demonstration catalog and the demonstration run printed when the
// selector is run as a program.
#include "tessarin/common/json_text.h"
#include "tessarin/schemasift/selector.h"

namespace tessarin::schemasift {

namespace {

constexpr std::int64_t kDemoTopKTables = 2;
constexpr std::int64_t kDemoMaxColumns = 10;
constexpr int kDemoIndent = 2;

// Written as a user writes a catalog file.
constexpr std::string_view kDemoCatalog = R"json({
  "database": "client_abc_db",
  "tables": [
    {
      "table_name": "sales_orders",
      "business_name": "Sales Orders",
      "description": "Order-level sales transactions with revenue, region, product and order date.",
      "tags": ["sales", "orders", "revenue"],
      "default_date_column": "order_date",
      "default_metric_column": "revenue",
      "columns": [
        {"name": "order_id", "type": "String", "description": "Unique order identifier", "role": "primary_key", "is_primary_key": true},
        {"name": "order_date", "type": "Date", "description": "Date when the order was created", "synonyms": ["date", "sales date", "created date"], "role": "date"},
        {"name": "region", "type": "String", "description": "Sales region or zone", "synonyms": ["zone", "area", "location"], "role": "dimension"},
        {"name": "revenue", "type": "Float64", "description": "Revenue amount or sales amount", "synonyms": ["sales", "amount", "income", "value"], "role": "metric"},
        {"name": "product_name", "type": "String", "description": "Name of the product sold", "synonyms": ["product", "item"], "role": "dimension"}
      ]
    },
    {
      "table_name": "customers",
      "business_name": "Customers",
      "description": "Customer master data including customer profile and region.",
      "tags": ["customer", "profile"],
      "columns": [
        {"name": "customer_id", "type": "String", "role": "primary_key", "is_primary_key": true},
        {"name": "customer_name", "type": "String", "role": "dimension"},
        {"name": "age_group", "type": "String", "synonyms": ["age", "age band"], "role": "dimension"}
      ]
    }
  ],
  "relationships": [
    {"from_table": "sales_orders", "from_column": "customer_id", "to_table": "customers", "to_column": "customer_id"}
  ]
})json";

}  // namespace

const std::string_view kDemoQuestion = "Show total revenue by region for last 6 months";

JsonMap demo_catalog() {
  JsonValue catalog = parse_json(kDemoCatalog);
  return std::move(catalog.as_map());
}

std::string demo_output() {
  SelectMetadataOptions options;
  options.strategy = std::string(Strategy::HYBRID);
  options.top_k_tables = kDemoTopKTables;
  options.max_columns_per_table = kDemoMaxColumns;
  MetadataSelectionResult result = select_metadata(kDemoQuestion, demo_catalog(), options);

  JsonWriteOptions pretty;
  pretty.indent = kDemoIndent;
  pretty.ensure_ascii = true;
  std::string out = json_text(JsonValue(result.selected_metadata), pretty);
  out += '\n';
  out += result.metrics.summary();
  out += '\n';
  out += json_text(JsonValue(result.debug), pretty);
  out += '\n';
  return out;
}

}  // namespace tessarin::schemasift
