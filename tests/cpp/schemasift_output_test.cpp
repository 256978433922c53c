// Tests of the selection output: the map shape, the size budget and its
// stages, the measured sizes and the metrics.
#include <gtest/gtest.h>

#include <cmath>

#include "schemasift_test_support.h"
#include "tessarin/common/json_text.h"
#include "tessarin/common/unicode.h"
#include "tessarin/schemasift/selector.h"
#include "tessarin/schemasift/selector_internal.h"

namespace tessarin::schemasift {
namespace {

using namespace test_support;

std::size_t measured(const JsonMap& m) {
  JsonWriteOptions options;
  options.ensure_ascii = false;
  return unicode::code_point_length(json_text(JsonValue(m), options));
}

TEST(SchemasiftOutput, MapShapeAndConditionalKeys) {
  SelectorConfig config = lexical_config();
  config.include_sample_values = true;
  config.max_sample_values_per_column = 0;
  TableMeta t = table("t", {column("f", "foreign_key"), column("s")});
  t.row_count = 0;
  t.columns[1].sample_values = {1, 2};
  t.columns[1].is_foreign_key = true;
  TableMeta u = table("u");
  u.default_date_column = "";
  MetadataCatalog db_catalog;
  db_catalog.database = "db";
  ScoredTable st = scored(t, 0.1234566);
  st.columns = {scored(t.columns[0], 1.0 / 3), scored(t.columns[1], 0.5)};
  JsonMap out = Schemasift(config)._build_selected_metadata(db_catalog, {st, scored(u, 0.0)}, {});
  std::string text = json_text(JsonValue(out));
  EXPECT_EQ(text,
            "{\"database\": \"db\", \"tables\": [{\"table_name\": \"t\", \"score\": 0.123457, "
            "\"columns\": [{\"name\": \"f\", \"type\": \"\", \"role\": \"foreign_key\", \"score\": "
            "0.333333}, {\"name\": \"s\", \"type\": \"\", \"role\": \"unknown\", \"score\": 0.5, "
            "\"is_foreign_key\": true, \"sample_values\": []}], \"row_count\": 0}, "
            "{\"table_name\": \"u\", \"score\": 0.0, \"columns\": []}], \"relationships\": []}");
}

class SchemasiftOutputBudget : public ::testing::Test {
 protected:
  JsonMap built() {
    MetadataCatalog catalog;
    catalog.database = "db";
    std::vector<ScoredTable> tables;
    for (int t = 0; t < 2; ++t) {
      TableMeta meta = table(numbered("t", t));
      meta.description = std::string(40, 'd');
      ScoredTable st = scored(meta, 0.5);
      for (int c = 0; c < 8; ++c) {
        ColumnMeta col = column(numbered("c", c));
        col.description = "about " + col.name;
        col.synonyms = {"alias"};
        col.sample_values = {1};
        st.columns.push_back(scored(col, 0.1));
      }
      tables.push_back(st);
    }
    std::vector<RelationshipMeta> rels = {relationship("t0", "c0", "t1", "c0")};
    return Schemasift(config_)._build_selected_metadata(catalog, tables, rels);
  }
  void SetUp() override {
    config_.include_sample_values = true;
    config_.max_columns_per_table = 8;
  }
  SelectorConfig config_ = lexical_config();
};

TEST_F(SchemasiftOutputBudget, NoBudgetOrRoomyBudgetKeepsEverything) {
  JsonMap full = built();
  EXPECT_EQ(Schemasift(config_)._apply_output_budget(full), full);
  config_.max_output_chars = 0;
  EXPECT_FALSE(Schemasift(config_)._trimmed_to_budget(full));
  config_.max_output_chars = static_cast<std::int64_t>(measured(full));
  EXPECT_FALSE(Schemasift(config_)._trimmed_to_budget(full));
}

TEST_F(SchemasiftOutputBudget, StageOneDropsDescriptionsSynonymsAndSamplesOnly) {
  JsonMap full = built();
  JsonMap expected = full;
  for (JsonValue& t : expected.find("tables")->as_list()) {
    t.as_map().erase("description");
    for (JsonValue& c : t.as_map().find("columns")->as_list()) {
      c.as_map().erase("description");
      c.as_map().erase("synonyms");
      c.as_map().erase("sample_values");
    }
  }
  config_.max_output_chars = static_cast<std::int64_t>(measured(expected));
  EXPECT_EQ(Schemasift(config_)._apply_output_budget(full), expected);
}

TEST_F(SchemasiftOutputBudget, StageTwoKeepsHalfTheColumnLimitButAtLeastThree) {
  JsonMap full = built();
  config_.max_output_chars = static_cast<std::int64_t>(measured(full)) / 3;
  JsonMap trimmed = Schemasift(config_)._apply_output_budget(full);
  EXPECT_EQ(column_names(trimmed, 0), (std::vector<std::string>{"c0", "c1", "c2", "c3"}));
  EXPECT_EQ(trimmed.find("relationships")->as_list().size(), 1u);
  config_.max_columns_per_table = 2;
  JsonMap three = Schemasift(config_)._apply_output_budget(built());
  EXPECT_EQ(column_names(three, 1).size(), 3u);
}

TEST_F(SchemasiftOutputBudget, StageThreeKeepsOneTableWhateverItsSize) {
  config_.max_output_chars = 1;
  JsonMap trimmed = Schemasift(config_)._apply_output_budget(built());
  EXPECT_EQ(table_names(trimmed), std::vector<std::string>{"t0"});
  EXPECT_TRUE(trimmed.find("relationships")->as_list().empty());
  std::vector<std::string> keys;
  for (const auto& [k, v] : trimmed) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"database", "tables", "relationships"}));
  EXPECT_GT(measured(trimmed), 1u);
}

TEST(SchemasiftOutput, MeasuringCountsCodePoints) {
  EXPECT_EQ(internal::measured_size(JsonMap{{"a", "\xc3\xa9"}}), 10);
  EXPECT_EQ(Schemasift::_reduction_percent(0, 0), 0.0);
  EXPECT_EQ(Schemasift::_reduction_percent(10, 4), 60.0);
  EXPECT_EQ(Schemasift::_reduction_percent(3, 1), 66.66666666666666);
  EXPECT_EQ(Schemasift::_reduction_percent(4, 10), 0.0);
  EXPECT_EQ(Schemasift::_reduction_percent(-1, -5), 0.0);
}

TEST(SchemasiftOutput, CatalogTextIsThePromptFormWithSortedKeys) {
  MetadataCatalog catalog = shop_catalog();
  ColumnMeta& c = catalog.tables[0].columns[1];
  c.description = "quote \" back \\ nl \n tab \t bell \x07 del \x7f \xc3\xa9 \xf0\x9f\x98\x80";
  c.nullable = false;
  c.synonyms = {"b", "a"};
  c.sample_values = {
      1.5,  std::nan(""), JsonMap{{"z", 1}, {"a", JsonList{JsonMap{{"y", 2}, {"b", 3}}}}},
      -0.0, 1e16,         "s"};
  c.extra = JsonMap{{"zeta", true}, {"alpha", JsonValue()}, {"\xc3\xa9", 1}, {"Z", 2}};
  catalog.tables[1].row_count = 12;
  catalog.tables[1].default_metric_column = "x";
  catalog.relationships[0].extra = JsonMap{{"b", 1}, {"a", 2}};
  JsonWriteOptions sorted;
  sorted.sort_keys = true;
  sorted.ensure_ascii = false;
  JsonValue prompt(catalog.to_prompt_dict());
  EXPECT_EQ(internal::sorted_prompt_text(catalog, catalog.database), json_text(prompt, sorted));
  internal::CatalogMeasure m =
      internal::measure_catalog(internal::measure_catalog_text(catalog, catalog.database), 4.0);
  EXPECT_EQ(m.hash, stable_hash(prompt));
  JsonWriteOptions plain;
  plain.ensure_ascii = false;
  EXPECT_EQ(m.chars,
            static_cast<std::int64_t>(unicode::code_point_length(json_text(prompt, plain))));
}

TEST(SchemasiftOutput, MetricsFollowTheBudgetedOutput) {
  MetadataCatalog catalog = shop_catalog();
  SelectorConfig config = lexical_config();
  config.max_output_chars = 1;
  MetadataSelectionResult r = Schemasift(config).select("orders customers products", catalog);
  const SelectionMetrics& m = r.metrics;
  EXPECT_EQ(m.input_tables, 3);
  EXPECT_EQ(m.input_columns, 8);
  EXPECT_EQ(m.output_tables, 1);
  EXPECT_EQ(m.output_columns,
            static_cast<std::int64_t>(column_names(r.selected_metadata, 0).size()));
  EXPECT_EQ(m.output_chars, static_cast<std::int64_t>(measured(r.selected_metadata)));
  EXPECT_EQ(m.output_estimated_tokens,
            estimate_tokens(internal::measuring_text(r.selected_metadata)));
  EXPECT_EQ(m.table_reduction_percent, Schemasift::_reduction_percent(3, 1));
  EXPECT_EQ(m.compression_ratio,
            static_cast<double>(m.input_estimated_tokens) / m.output_estimated_tokens);
  EXPECT_EQ(m.catalog_hash, stable_hash(JsonValue(catalog.to_prompt_dict())));
}

}  // namespace
}  // namespace tessarin::schemasift
