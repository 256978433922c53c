// Tests of the selector's model: text primitives, catalog records, the
// catalog normalizer, the intent parser and the selection records.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "schemasift_test_support.h"
#include "tessarin/common/json_text.h"
#include "tessarin/common/sha256.h"
#include "tessarin/common/unicode.h"
#include "tessarin/schemasift/catalog.h"
#include "tessarin/schemasift/intent.h"
#include "tessarin/schemasift/normalizer.h"
#include "tessarin/schemasift/records.h"
#include "tessarin/schemasift/text.h"

namespace tessarin::schemasift {
namespace {

using Strings = std::vector<std::string>;

JsonValue parse(std::string_view text) { return parse_json(text); }
JsonMap parse_map(std::string_view text) { return parse_json(text).as_map(); }

// ---------------------------------------------------------------- text

TEST(SchemasiftText, SplitIdentifier) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"OrderDate", "order date"},
      {"customerID", "customer i d"},
      {"URLPath", "u r l path"},
      {"order_date", "order date"},
      {"Order_Date", "order  date"},
      {"sales.orders-v2", "sales orders v2"},
      {"", ""},
      {"A", "a"},
      {"a B", "a  b"},
      {"\xC3\x89t\xC3\xA9"
       "Date",
       "\xC3\xA9t\xC3\xA9 date"},  // ÉtéDate
      {"\xE2\x84\xAA"
       "ey",
       "key"},  // KELVIN SIGN lowers to k
  };
  for (const auto& [input, expected] : cases)
    EXPECT_EQ(_split_identifier(input), expected) << input;
}

// Splitting inserts blanks, so the offset must be checked on the text given.
TEST(SchemasiftText, MalformedTextIsReportedAtItsOwnOffset) {
  for (std::string text : {"OrderDate\xC3", "a_B_c\xFF\xC3\xA9"}) {
    const std::size_t bad = text.find_first_of("\xC3\xFF");
    const std::function<void()> calls[] = {[&] { _split_identifier(text); },
                                           [&] { tokenize(text); },
                                           [&] { tokenize(text, &DATE_TERMS); }};
    for (const auto& call : calls) {
      try {
        call();
        ADD_FAILURE() << text;
      } catch (const unicode::Utf8Error& e) {
        EXPECT_EQ(e.byte_offset, bad) << text;
      }
    }
  }
}

TEST(SchemasiftText, Tokenize) {
  WordSet none;
  EXPECT_TRUE(tokenize("").empty());
  EXPECT_TRUE(tokenize("the data").empty());
  EXPECT_EQ(tokenize("the data", &none), (Strings{"the", "data"}));
  EXPECT_EQ(tokenize("customerID by Region"), (Strings{"customer", "i", "d", "region"}));
  EXPECT_EQ(tokenize("order_date2023"), (Strings{"order", "date2023"}));
  EXPECT_EQ(tokenize("Show total revenue by region for last 6 months"),
            (Strings{"total", "revenue", "region", "last", "6", "months"}));
  EXPECT_EQ(tokenize("caf\xC3\xA9"), (Strings{"caf"}));
  EXPECT_EQ(tokenize("na\xC3\xAFve"), (Strings{"na", "ve"}));
  EXPECT_EQ(tokenize("\xC4\xB0stanbul"), (Strings{"i", "stanbul"}));  // İ -> i + U+0307
  EXPECT_EQ(tokenize("sales sales"), (Strings{"sales", "sales"}));
  WordSet custom = {"sales"};
  EXPECT_EQ(tokenize("the sales", &custom), (Strings{"the"}));
}

// The hand-written scanner must equal the pattern route: separators to
// blanks, _CAMEL_RE blanks, lower case, _WORD_RE runs.
Strings tokenize_by_patterns(const std::string& text) {
  std::u32string decoded = unicode::decode_utf8(text);
  for (char32_t& c : decoded)
    if (c == U'_' || c == U'-' || c == U'.') c = U' ';
  std::u32string split = unicode::to_lower(CAMEL_RE.replace_all(decoded, U" "));
  Strings out;
  for (const RegexMatch& m : WORD_RE.find_all(split)) {
    std::string token = unicode::encode_utf8(m.group(split));
    if (!DEFAULT_STOPWORDS.contains(token)) out.push_back(token);
  }
  return out;
}

TEST(SchemasiftText, ScannerEqualsPatterns) {
  const std::vector<std::string> alphabet = {
      "a",        "Z",        "q",  "T",   "7",  "_",        "-",        ".",
      " ",        "\t",       "by", "The", "ID", "\xC3\xA9", "\xC4\xB0", "\xE2\x84\xAA",
      "\xD9\xA3", "\xCE\xA3", "!",  "x"};
  std::mt19937 rng(12345);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    int length = static_cast<int>(rng() % 12);
    for (int i = 0; i < length; ++i) text += alphabet[rng() % alphabet.size()];
    ASSERT_EQ(tokenize(text), tokenize_by_patterns(text)) << text;
    std::u32string separated = unicode::decode_utf8(text);
    for (char32_t& c : separated)
      if (c == U'_' || c == U'-' || c == U'.') c = U' ';
    std::string expected_split =
        unicode::encode_utf8(unicode::to_lower(CAMEL_RE.replace_all(separated, U" ")));
    ASSERT_EQ(_split_identifier(text), expected_split) << text;
  }
}

TEST(SchemasiftText, NormalizeText) {
  EXPECT_EQ(normalize_text(JsonValue()), "");
  EXPECT_EQ(normalize_text(parse(R"({"a": [1, null]})")), "a 1 ");
  EXPECT_EQ(normalize_text(parse("[]")), "");
  EXPECT_EQ(normalize_text(parse(R"([["x", {"k": true}], 2.0, "Y"])")), "x k True 2.0 Y");
  EXPECT_EQ(normalize_text(parse(R"({"a": {}, "b": "c"})")), "a  b c");
  EXPECT_EQ(normalize_text(JsonValue(1e-05)), "1e-05");
}

TEST(SchemasiftText, EstimateTokens) {
  EXPECT_EQ(estimate_tokens(""), 0);
  EXPECT_EQ(estimate_tokens("abcd"), 1);
  EXPECT_EQ(estimate_tokens("abcde"), 2);
  EXPECT_EQ(estimate_tokens("abcdefghi"), 3);
  EXPECT_EQ(estimate_tokens("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"), 2);  // 5 code points
  EXPECT_EQ(estimate_tokens("abcdefghi", -2.0), 1);
  EXPECT_EQ(estimate_tokens("abc", 0.5), 6);
  EXPECT_EQ(estimate_tokens("", 0.0), 0);
  EXPECT_THROW(estimate_tokens("a", 0.0), ZeroDivisionError);
  EXPECT_THROW(estimate_tokens("a", std::nan("")), std::domain_error);
  // ceil(-inf) has no integer value, as in Python.
  EXPECT_THROW(estimate_tokens("a", -1e-320), std::overflow_error);
  EXPECT_THROW(estimate_tokens("a", 1e-320), std::overflow_error);
}

TEST(SchemasiftText, StableHash) {
  EXPECT_EQ(stable_hash(parse(R"({"b": 1, "a": 2})")), stable_hash(parse(R"({"a": 2, "b": 1})")));
  EXPECT_NE(stable_hash(parse("[1, 2]")), stable_hash(parse("[2, 1]")));
  EXPECT_EQ(stable_hash(JsonValue("abc")), sha256_hex("\"abc\"").substr(0, 16));
  EXPECT_EQ(stable_hash(JsonValue("\xC3\xA9")), sha256_hex("\"\xC3\xA9\"").substr(0, 16));
  EXPECT_EQ(stable_hash(parse(R"({"b": [1, {"d": 1, "c": 2}], "a": null})")),
            sha256_hex(R"({"a": null, "b": [1, {"c": 2, "d": 1}]})").substr(0, 16));
  EXPECT_EQ(stable_hash(JsonValue()).size(), 16u);
}

TEST(SchemasiftText, SafeFloat) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::string text;
    double expected;
  };
  const std::vector<Case> converts = {
      {" 2.5 ", 2.5},
      {"1_000", 1000.0},
      {"-1e3", -1000.0},
      {"+.5", 0.5},
      {"1.", 1.0},
      {"1e1_0", 1e10},
      {"inf", inf},
      {"-Infinity", -inf},
      {"1e999", inf},
      {"-1e999", -inf},
      {"1e-999", 0.0},
      {"\n\t7\r\f\v", 7.0},
      {"\xD9\xA1\xD9\xA2", 12.0},  // Arabic-Indic digits
      {"\xE2\x80\x83"
       "3\xC2\xA0",
       3.0},                        // EM SPACE, NO-BREAK SPACE
      {"\xD9\xA1_\xD9\xA2", 12.0},  // underscore between other-script digits
      {"0.1e-5", 1e-6},
      {"00012", 12.0},
      {"1E+2", 100.0},
      {"123456789012345678901234567890", 1.2345678901234568e29},
  };
  for (const Case& c : converts)
    EXPECT_EQ(safe_float(JsonValue(c.text), -7.0), c.expected) << c.text;
  EXPECT_TRUE(std::isnan(safe_float(JsonValue("nan"))));
  EXPECT_TRUE(std::isnan(safe_float(JsonValue("-NaN"))));
  EXPECT_TRUE(std::signbit(safe_float(JsonValue("-1e-999"))));

  const std::vector<std::string> rejects = {
      "abc",
      "",
      " ",
      ".",
      "e5",
      "1e",
      "1__0",
      "_1",
      "1_",
      "1_.5",
      "1._5",
      "0x10",
      "1 2",
      "- 1",
      "+-1",
      "infinit",
      "nan1",
      "in_f",
      std::string("1\0", 2),
      "\x1c"
      "1",
      "1\x1f",
      "1,5",
      "\xE2\x85\xA0",  // ROMAN NUMERAL ONE is not a decimal digit
  };
  for (const std::string& text : rejects) EXPECT_EQ(safe_float(JsonValue(text), 7.0), 7.0) << text;

  EXPECT_EQ(safe_float(JsonValue(), 3.0), 3.0);
  EXPECT_EQ(safe_float(JsonValue(true)), 1.0);
  EXPECT_EQ(safe_float(JsonValue(false), 9.0), 0.0);
  EXPECT_EQ(safe_float(JsonValue(7)), 7.0);
  EXPECT_EQ(safe_float(parse("[1]"), 4.0), 4.0);
  EXPECT_EQ(safe_float(parse("{}"), 4.0), 4.0);
}

// ---------------------------------------------------------------- catalog

using test_support::relationship;

TEST(SchemasiftCatalog, ColumnSearchableText) {
  ColumnMeta revenue;
  revenue.name = "revenue";
  EXPECT_EQ(revenue.searchable_text(),
            "table  table business name  column revenue type  description  synonyms  role unknown "
            "tags  sample values ");

  ColumnMeta full;
  full.name = "amount";
  full.type = "Float64";
  full.synonyms = {"value", "total"};
  full.tags = {"money"};
  for (int i = 0; i < 12; ++i)
    if (i == 1)
      full.sample_values.emplace_back(true);
    else
      full.sample_values.emplace_back(i);
  EXPECT_EQ(full.searchable_text("sales", "Sales"),
            "table sales table business name Sales column amount type Float64 description  "
            "synonyms value total role unknown tags money sample values 0 True 2 3 4 5 6 7 8 9");
}

TEST(SchemasiftCatalog, TableSearchableText) {
  TableMeta table;
  table.table_name = "wide";
  for (int i = 0; i < 60; ++i) {
    ColumnMeta column;
    column.name = "c" + std::to_string(i);
    column.description = "d" + std::to_string(i);
    if (i % 2 == 0) column.synonyms = {"s" + std::to_string(i)};
    table.columns.push_back(column);
  }
  std::string text = table.searchable_text();
  EXPECT_NE(text.find(" c59 column descriptions "), std::string::npos);
  EXPECT_NE(text.find(" d49 column synonyms "), std::string::npos);
  EXPECT_EQ(text.find("d50"), std::string::npos);
  EXPECT_NE(text.find("column synonyms s0  s2 "), std::string::npos);
  EXPECT_EQ(text.find("s50"), std::string::npos);
  EXPECT_TRUE(text.ends_with(" s48  default date column  default metric column "));

  TableMeta plain;
  plain.table_name = "t";
  plain.tags = {"x", "y"};
  plain.default_date_column = "";
  plain.default_metric_column = "amount";
  EXPECT_EQ(plain.searchable_text(),
            "table t business name  description  tags x y columns  column descriptions  column "
            "synonyms  default date column  default metric column amount");
}

TEST(SchemasiftCatalog, RelationshipMembership) {
  RelationshipMeta r = relationship("orders", "customer_id", "customers", "id");
  EXPECT_FALSE(r.involves(Strings{"orders"}));
  EXPECT_TRUE(r.touches(Strings{"orders"}));
  EXPECT_TRUE(r.touches(Strings{"customers"}));
  EXPECT_TRUE(r.involves(WordSet{"customers", "orders"}));
  EXPECT_FALSE(r.involves(Strings{}));
  EXPECT_FALSE(r.touches(WordSet{}));
  EXPECT_FALSE(r.touches(Strings{"Orders", "CUSTOMERS"}));
  EXPECT_EQ(r.relationship_type, "many_to_one");
}

TEST(SchemasiftCatalog, PromptDict) {
  MetadataCatalog empty;
  EXPECT_EQ(json_text(JsonValue(empty.to_prompt_dict())),
            R"({"database": "", "tables": [], "relationships": []})");

  MetadataCatalog catalog;
  catalog.database = "db";
  catalog.extra.set("owner", "x");
  TableMeta table;
  table.table_name = "t";
  table.tags = {"hidden"};
  table.extra.set("secret", 1);
  ColumnMeta column;
  column.name = "c";
  column.nullable = false;
  column.sample_values = {JsonValue(1)};
  table.columns.push_back(column);
  catalog.tables.push_back(table);
  catalog.relationships.push_back(relationship("t", "c", "u", "d"));
  EXPECT_EQ(json_text(JsonValue(catalog.to_prompt_dict())),
            R"({"database": "db", "tables": [{"table_name": "t", "business_name": "", )"
            R"("description": "", "columns": [{"name": "c", "type": "", "description": "", )"
            R"("synonyms": [], "role": "unknown", "tags": [], "nullable": false, )"
            R"("is_primary_key": false, "is_foreign_key": false, "sample_values": [1], )"
            R"("extra": {}}], "default_date_column": null, "default_metric_column": null, )"
            R"("row_count": null}], "relationships": [{"from_table": "t", "from_column": "c", )"
            R"("to_table": "u", "to_column": "d", "relationship_type": "many_to_one", )"
            R"("description": "", "extra": {}}]})");
}

// ---------------------------------------------------------------- normalizer

TEST(SchemasiftNormalizer, MapShapedTablesAndColumns) {
  JsonMap raw = parse_map(R"({"tables": {"orders": {"columns": {"id": {"type": "Int64"}}}}})");
  MetadataCatalog catalog = CatalogNormalizer::normalize(raw);
  ASSERT_EQ(catalog.tables.size(), 1u);
  EXPECT_EQ(catalog.tables[0].table_name, "orders");
  ASSERT_EQ(catalog.tables[0].columns.size(), 1u);
  const ColumnMeta& id = catalog.tables[0].columns[0];
  EXPECT_EQ(id.name, "id");
  EXPECT_EQ(id.type, "Int64");
  EXPECT_EQ(id.role, "id");
  EXPECT_TRUE(id.extra.empty());
  EXPECT_TRUE(catalog.tables[0].extra.empty());

  // An inner table_name replaces the key; empty entry values give bare tables.
  MetadataCatalog renamed = CatalogNormalizer::normalize(
      parse_map(R"({"tables": {"k": {"table_name": "real"}, "bare": null, "z": ""}})"));
  ASSERT_EQ(renamed.tables.size(), 3u);
  EXPECT_EQ(renamed.tables[0].table_name, "real");
  EXPECT_EQ(renamed.tables[1].table_name, "bare");
  EXPECT_EQ(renamed.tables[2].table_name, "z");
}

TEST(SchemasiftNormalizer, DatabaseName) {
  JsonMap raw = parse_map(R"({"database": "dev", "database_name": "n", "db": "d"})");
  EXPECT_EQ(CatalogNormalizer::normalize(raw, std::string("prod")).database, "prod");
  EXPECT_EQ(CatalogNormalizer::normalize(raw, std::string("")).database, "dev");
  EXPECT_EQ(
      CatalogNormalizer::normalize(parse_map(R"({"database": "", "database_name": "n"})")).database,
      "n");
  EXPECT_EQ(CatalogNormalizer::normalize(parse_map(R"({"db": 7})")).database, "7");
  EXPECT_EQ(CatalogNormalizer::normalize(parse_map("{}")).database, "");
}

TEST(SchemasiftNormalizer, TableAndColumnFields) {
  JsonMap raw = parse_map(R"j({
    "tables": [
      {"source": "events", "comment": "All events", "display_name": "Events", "tags": "core",
       "row_count": 10, "default_date_column": "ts", "owner": "ops",
       "joins": [{"from_table": "events", "from_column": "u", "to_table": "users",
                  "to_column": "id"}],
       "columns": [
         {"column": "amount", "data_type": "decimal(18,2)", "precision": 2, "unit": "eur"},
         {"column": "order_date"},
         {"name": "customer_id", "primary_key": 1, "aliases": "client", "samples": [1, "a"],
          "nullable": true},
         {"name": "", "column_name": "", "column": ""},
         {"name": "flag", "type": "Bool", "foreign_key": false, "tags": [1, "t"]}
       ]
},
      {"name": "", "relationships": [{"left_table": "a", "left_column": "b",
                                       "right_table": "c", "right_column": "d",
                                       "type": "one_to_one", "note": "n"}]}
    ],
    "relationships": [{"from_table": "x", "from_column": "y", "to_table": "z",
                       "to_column": ""}],
    "joins": [{"from_table": "j", "from_column": "k", "to_table": "l", "to_column": "m"}],
    "version": 3
})j");
  MetadataCatalog catalog = CatalogNormalizer::normalize(raw);
  ASSERT_EQ(catalog.tables.size(), 1u);
  const TableMeta& events = catalog.tables[0];
  EXPECT_EQ(events.table_name, "events");
  EXPECT_EQ(events.business_name, "Events");
  EXPECT_EQ(events.description, "All events");
  EXPECT_EQ(events.tags, (Strings{"core"}));
  EXPECT_EQ(events.row_count, 10);
  EXPECT_EQ(events.default_date_column, "ts");
  EXPECT_FALSE(events.default_metric_column.has_value());
  EXPECT_EQ(json_text(JsonValue(events.extra)),
            R"({"owner": "ops", "joins": [{"from_table": "events", "from_column": "u", )"
            R"("to_table": "users", "to_column": "id"}]})");

  ASSERT_EQ(events.columns.size(), 4u);
  const ColumnMeta& amount = events.columns[0];
  EXPECT_EQ(amount.name, "amount");
  EXPECT_EQ(amount.type, "decimal(18,2)");
  EXPECT_EQ(amount.role, "metric");
  EXPECT_EQ(json_text(JsonValue(amount.extra)), R"({"precision": 2, "unit": "eur"})");
  EXPECT_EQ(events.columns[1].name, "order_date");
  EXPECT_EQ(events.columns[1].role, "unknown");
  const ColumnMeta& customer = events.columns[2];
  EXPECT_EQ(customer.role, "primary_key");
  EXPECT_TRUE(customer.is_primary_key);
  EXPECT_FALSE(customer.is_foreign_key);
  EXPECT_EQ(customer.synonyms, (Strings{"client"}));
  EXPECT_EQ(customer.sample_values, (JsonList{JsonValue(1), JsonValue("a")}));
  EXPECT_EQ(customer.nullable, true);
  EXPECT_EQ(events.columns[3].role, "boolean");
  EXPECT_EQ(events.columns[3].tags, (Strings{"1", "t"}));
  EXPECT_FALSE(events.columns[3].nullable.has_value());

  // The catalog's "relationships" entry lacks an endpoint, so nothing comes
  // from the catalog ("joins" is read only when "relationships" is empty).
  ASSERT_EQ(catalog.relationships.size(), 2u);
  EXPECT_EQ(catalog.relationships[0].to_table, "users");
  const RelationshipMeta& left = catalog.relationships[1];
  EXPECT_EQ(left.from_table, "a");
  EXPECT_EQ(left.to_column, "d");
  EXPECT_EQ(left.relationship_type, "one_to_one");
  EXPECT_EQ(json_text(JsonValue(left.extra)), R"({"note": "n"})");
  EXPECT_EQ(json_text(JsonValue(catalog.extra)),
            R"({"joins": [{"from_table": "j", "from_column": "k", "to_table": "l", )"
            R"("to_column": "m"}], "version": 3})");
}

TEST(SchemasiftNormalizer, RelationshipsFallBackToJoins) {
  auto rels = CatalogNormalizer::_normalize_relationships(parse_map(
      R"({"relationships": null, "joins": [{"source_table": "a", "source_column": "b",
          "target_table": "c", "target_column": "d", "relationship_type": "",
          "type": "m2m", "description": 5}]})"));
  ASSERT_EQ(rels.size(), 1u);
  EXPECT_EQ(rels[0].relationship_type, "m2m");
  EXPECT_EQ(rels[0].description, "5");
  EXPECT_TRUE(CatalogNormalizer::_normalize_relationships(parse_map("{}")).empty());
}

TEST(SchemasiftNormalizer, InferRole) {
  struct Case {
    const char* column;
    const char* role;
  };
  const std::vector<Case> cases = {
      {R"({"role": " Measure "})", "metric"},
      {R"({"role": "AMOUNT"})", "metric"},
      {R"({"role": "label"})", "dimension"},
      {R"({"role": "timestamp"})", "datetime"},
      {R"({"role": "unknown", "type": "int"})", "unknown"},
      {R"({"role": "Primary_Key"})", "primary_key"},
      {R"({"role": "kpi", "type": "int"})", "metric"},
      {R"({"role": 0, "type": "int"})", "metric"},
      {R"j({"name": "created_at", "type": "DateTime64(3)"})j", "datetime"},
      {R"({"name": "created_at", "type": "Date"})", "date"},
      {R"({"name": "created_at"})", "unknown"},
      {R"({"name": "order_date"})", "date"},
      {R"({"name": "created_time"})", "date"},
      {R"({"name": "customer_id", "primary_key": 1})", "primary_key"},
      {R"({"name": "customer_id", "is_foreign_key": true})", "foreign_key"},
      {R"({"name": "customer_id", "type": "Int64"})", "id"},
      {R"({"name": "ID"})", "id"},
      {R"({"name": "flag", "type": "Bool"})", "boolean"},
      {R"({"name": "city", "type": "String"})", "dimension"},
      {R"({"name": "candidate_name", "type": "String"})", "date"},
      {R"({"name": "uptime_hours", "type": "Timestamp"})", "datetime"},
      {R"j({"name": "n", "type": "Nullable(Float64)"})j", "metric"},
      {R"({"name": "n", "type": "UInt32"})", "metric"},
      {R"j({"name": "n", "type": "LowCardinality(String)"})j", "dimension"},
      {R"({"column": "order_date", "column_name": "x_id"})", "id"},
      {R"({"name": "blob", "data_type": "bytes"})", "unknown"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CatalogNormalizer::_infer_role(parse_map(c.column)), c.role) << c.column;
}

TEST(SchemasiftNormalizer, MalformedShapesNameTheirPath) {
  struct Case {
    const char* catalog;
    const char* message;
  };
  const std::vector<Case> cases = {
      {R"({"tables": null})", R"(catalog["tables"] must be a list or a map, got NoneType)"},
      {R"({"tables": 3})", R"(catalog["tables"] must be a list or a map, got int)"},
      {R"({"tables": true})", R"(catalog["tables"] must be a list or a map, got bool)"},
      {R"({"tables": "orders"})", R"(catalog["tables"] must be a list or a map, got str)"},
      {R"({"tables": [{"name": "a"}, {}, {}, "x"]})",
       R"(catalog["tables"][3] must be a map, got str)"},
      {R"({"tables": {"orders": [1]}})", R"(catalog["tables"]["orders"] must be a map, got list)"},
      {R"({"tables": [{"name": "a", "columns": 1.5}]})",
       R"(catalog["tables"][0]["columns"] must be a list or a map, got float)"},
      {R"({"tables": {"t": {"columns": [{"name": "a"}, null]}}})",
       R"(catalog["tables"]["t"]["columns"][1] must be a map, got NoneType)"},
      {R"({"tables": [{"name": "t", "columns": {"c": "text"}}]})",
       R"(catalog["tables"][0]["columns"]["c"] must be a map, got str)"},
      {R"({"relationships": {"a": 1}})", R"(catalog["relationships"] must be a list, got dict)"},
      {R"({"relationships": [], "joins": "x"})", R"(catalog["joins"] must be a list, got str)"},
      {R"({"relationships": [["a"]]})", R"(catalog["relationships"][0] must be a map, got list)"},
      {R"({"tables": [{"relationships": [{}, 2]}]})",
       R"(catalog["tables"][0]["relationships"][1] must be a map, got int)"},
      {R"({"tables": {"q\"t": {"joins": 1}}})",
       R"(catalog["tables"]["q\"t"]["joins"] must be a list, got int)"},
  };
  for (const Case& c : cases) {
    JsonValue raw = parse(c.catalog);
    JsonValue before = raw;
    try {
      CatalogNormalizer::normalize(raw);
      ADD_FAILURE() << "no error for " << c.catalog;
    } catch (const CatalogShapeError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
    EXPECT_EQ(raw, before);
  }
  EXPECT_THROW(CatalogNormalizer::normalize(parse("[]")), CatalogShapeError);
}

TEST(SchemasiftNormalizer, EmptyContainersAreNoError) {
  // Tables without a name are skipped before their columns are read.
  EXPECT_NO_THROW(CatalogNormalizer::normalize(parse(R"({"tables": [{"columns": 5}]})")));
  for (const char* text :
       {R"({"tables": ""})", R"({"tables": []})", R"({"tables": {}})",
        R"({"tables": [{"name": "t", "columns": ""}]})", R"({"relationships": "", "joins": null})",
        R"({"relationships": 0, "joins": {}})"}) {
    EXPECT_NO_THROW(CatalogNormalizer::normalize(parse(text))) << text;
  }
  MetadataCatalog catalog =
      CatalogNormalizer::normalize(parse(R"({"tables": [{"name": "t", "columns": ""}]})"));
  ASSERT_EQ(catalog.tables.size(), 1u);
  EXPECT_TRUE(catalog.tables[0].columns.empty());
}

TEST(SchemasiftNormalizer, TypedOptionalFields) {
  MetadataCatalog catalog = CatalogNormalizer::normalize(parse(R"({"tables": [
      {"name": "a", "row_count": 0, "default_date_column": null},
      {"name": "b", "row_count": 12.0, "default_metric_column": 5},
      {"name": "c", "row_count": "many"}]})"));
  ASSERT_EQ(catalog.tables.size(), 3u);
  EXPECT_EQ(catalog.tables[0].row_count, 0);
  EXPECT_FALSE(catalog.tables[0].default_date_column.has_value());
  EXPECT_EQ(catalog.tables[1].row_count, 12);
  EXPECT_EQ(catalog.tables[1].default_metric_column, "5");
  EXPECT_FALSE(catalog.tables[2].row_count.has_value());
}

// ---------------------------------------------------------------- intent

TEST(SchemasiftIntent, WorkedExample) {
  QueryIntent intent = IntentParser().parse("Show total revenue by region for last 6 months");
  EXPECT_EQ(intent.raw_question, "Show total revenue by region for last 6 months");
  EXPECT_EQ(intent.tokens, (Strings{"total", "revenue", "region", "last", "6", "months"}));
  EXPECT_EQ(intent.metric_terms, (Strings{"revenue", "total"}));
  EXPECT_EQ(intent.dimension_terms, (Strings{"region"}));
  EXPECT_EQ(intent.date_terms, (Strings{"last"}));
  EXPECT_TRUE(intent.has_time_filter);
  EXPECT_FALSE(intent.wants_trend);
  EXPECT_TRUE(intent.wants_metric);
  EXPECT_TRUE(intent.wants_grouping);
  EXPECT_FALSE(intent.wants_table_rows);
  EXPECT_FALSE(intent.top_n.has_value());
  EXPECT_FALSE(intent.bottom_n.has_value());
}

TEST(SchemasiftIntent, Signals) {
  IntentParser parser;
  QueryIntent top = parser.parse("Top 10 products by sales");
  EXPECT_EQ(top.top_n, 10);
  EXPECT_EQ(top.metric_terms, (Strings{"sales"}));
  EXPECT_TRUE(top.dimension_terms.empty());
  EXPECT_TRUE(top.wants_grouping);

  for (const char* q : {"top10 customers", "laptop 3", "top 10k"})
    EXPECT_FALSE(parser.parse(q).top_n.has_value()) << q;
  EXPECT_EQ(parser.parse("TOP\t\t7").top_n, 7);
  EXPECT_EQ(parser.parse("Top 5 and top 7 items").top_n, 5);
  EXPECT_EQ(parser.parse("top \xD9\xA3\xD9\xA4").top_n, 34);  // Arabic-Indic 3 4
  EXPECT_EQ(parser.parse("top 99999999999999999999999").top_n,
            std::numeric_limits<std::int64_t>::max());

  QueryIntent bottom = parser.parse("show me the bottom 3 regions");
  EXPECT_EQ(bottom.bottom_n, 3);
  EXPECT_TRUE(bottom.wants_metric);
  EXPECT_TRUE(bottom.metric_terms.empty());

  QueryIntent rows = parser.parse("list all records from orders");
  EXPECT_TRUE(rows.wants_table_rows);
  EXPECT_EQ(rows.tokens, (Strings{"orders"}));
  EXPECT_TRUE(parser.parse("show rowsets").wants_table_rows);
  EXPECT_TRUE(parser.parse("A DETAILED TABLE please").wants_table_rows);

  QueryIntent daily = parser.parse("daily active users");
  EXPECT_TRUE(daily.wants_trend);
  EXPECT_TRUE(daily.has_time_filter);
  QueryIntent trend = parser.parse("trend of cost");
  EXPECT_TRUE(trend.wants_trend && trend.has_time_filter);
  EXPECT_EQ(trend.metric_terms, (Strings{"cost"}));

  EXPECT_TRUE(parser.parse("by region").wants_grouping);
  EXPECT_TRUE(parser.parse("sort by").wants_grouping);
  EXPECT_TRUE(parser.parse("by").wants_grouping);
  EXPECT_FALSE(parser.parse("nearby,by.").wants_grouping);
  QueryIntent commas = parser.parse("revenue,by,region");
  EXPECT_TRUE(commas.wants_grouping);
  EXPECT_EQ(commas.dimension_terms, (Strings{"region"}));
  EXPECT_FALSE(parser.parse("revenue,by,x").wants_grouping);

  QueryIntent empty = parser.parse("");
  EXPECT_EQ(empty, QueryIntent{});
}

// ---------------------------------------------------------------- records

TEST(SchemasiftRecords, ConfigDefaults) {
  SelectorConfig config;
  EXPECT_EQ(config.strategy, "hybrid");
  EXPECT_EQ(config.top_k_tables, 3);
  EXPECT_EQ(config.max_columns_per_table, 25);
  EXPECT_DOUBLE_EQ(config.min_table_score, 0.03);
  EXPECT_FALSE(config.max_output_chars.has_value());
  EXPECT_FALSE(config.include_sample_values);
  EXPECT_FALSE(config.use_embeddings_if_available);
  EXPECT_TRUE(config.include_debug);
}

SelectionMetrics metrics_of(double table_cut, double ratio) {
  SelectionMetrics m;
  m.input_tables = 2;
  m.output_tables = 1;
  m.table_reduction_percent = table_cut;
  m.input_columns = 8;
  m.output_columns = 4;
  m.column_reduction_percent = 50.0;
  m.input_estimated_tokens = 400;
  m.output_estimated_tokens = 100;
  m.token_reduction_percent = 75.0;
  m.compression_ratio = ratio;
  return m;
}

TEST(SchemasiftRecords, Summary) {
  EXPECT_EQ(metrics_of(50.0, 4.0).summary(),
            "tables 2 \u2192 1 (50.0% cut), columns 8 \u2192 4 (50.0% cut), tokens ~400 \u2192 "
            "~100 (75.0% cut), compression 4.00x");
  EXPECT_NE(metrics_of(66.666, 4.0).summary().find("(66.7% cut)"), std::string::npos);
  EXPECT_NE(metrics_of(50.0, 1.005).summary().find("compression 1.00x"), std::string::npos);
  EXPECT_NE(metrics_of(-12.5, 4.0).summary().find("(-12.5% cut)"), std::string::npos);
  EXPECT_NE(metrics_of(0.25, 4.0).summary().find("(0.2% cut)"), std::string::npos);
}

TEST(SchemasiftRecords, ResultToDict) {
  MetadataSelectionResult result;
  result.intent.raw_question = "q";
  result.intent.top_n = 3;
  result.metrics.catalog_hash = "abc";
  JsonMap plain = result.to_dict();
  ASSERT_EQ(plain.size(), 3u);
  EXPECT_EQ(plain.items()[0].first, "selected_metadata");
  EXPECT_EQ(plain.items()[2].first, "intent");
  JsonMap with_debug = result.to_dict(true);
  ASSERT_EQ(with_debug.size(), 4u);
  EXPECT_EQ(with_debug.items()[3].first, "debug");
  const JsonMap& metrics = plain.find("metrics")->as_map();
  ASSERT_EQ(metrics.size(), 14u);
  EXPECT_EQ(metrics.items()[13].first, "catalog_hash");
  const JsonMap& intent = plain.find("intent")->as_map();
  ASSERT_EQ(intent.size(), 12u);
  EXPECT_EQ(*intent.find("top_n"), JsonValue(3));
  EXPECT_TRUE(intent.find("bottom_n")->is_null());
}

}  // namespace
}  // namespace tessarin::schemasift
