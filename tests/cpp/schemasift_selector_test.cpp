// Tests of the selector pipeline end to end: blank questions, exclusions,
// the database argument, the debug record, and the demonstration run.
#include <gtest/gtest.h>

#include <stdexcept>

#include "schemasift_test_support.h"
#include "tessarin/schemasift/normalizer.h"
#include "tessarin/schemasift/selector.h"

namespace tessarin::schemasift {
namespace {

using namespace test_support;

// ======================= pipeline =======================

class SchemasiftPipelineBlank : public ::testing::TestWithParam<std::string> {};

TEST_P(SchemasiftPipelineBlank, BlankQuestionFailsBeforeAnyOtherWork) {
  Schemasift selector;
  // The catalog map is malformed: the question check must come first.
  JsonMap bad{{"tables", 5}};
  try {
    selector.select(GetParam(), bad);
    FAIL() << "no error";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "question is required");
  }
}

INSTANTIATE_TEST_SUITE_P(Blanks, SchemasiftPipelineBlank,
                         ::testing::Values("", " ", "\t\n ", "\xe3\x80\x80"));

TEST(SchemasiftPipeline, OneLetterQuestionPasses) {
  MetadataCatalog catalog = shop_catalog();
  MetadataSelectionResult result = Schemasift(lexical_config()).select("x", catalog);
  EXPECT_EQ(result.metrics.output_tables, 1);
}

TEST(SchemasiftPipeline, ExclusionRewritesTheCallersCatalogAndItsMetrics) {
  MetadataCatalog catalog = shop_catalog();
  SelectOptions options;
  options.excluded_tables = {"customers"};
  options.required_tables = {"customers"};
  MetadataSelectionResult result =
      Schemasift(lexical_config()).select("customers by city", catalog, options);
  ASSERT_EQ(catalog.tables.size(), 2u);
  EXPECT_EQ(catalog.tables[0].table_name, "orders");
  EXPECT_EQ(catalog.tables[1].table_name, "products");
  EXPECT_EQ(result.metrics.input_tables, 2);
  EXPECT_EQ(result.metrics.input_columns, 6);
  for (const std::string& name : table_names(result.selected_metadata))
    EXPECT_NE(name, "customers");
}

TEST(SchemasiftPipeline, DatabaseArgument) {
  Schemasift selector(lexical_config());
  MetadataCatalog catalog = shop_catalog();
  SelectOptions empty_db;
  empty_db.database = "";
  selector.select("orders", catalog, empty_db);
  EXPECT_EQ(catalog.database, "shop");
  SelectOptions x_db;
  x_db.database = "x";
  selector.select("orders", catalog, x_db);
  EXPECT_EQ(catalog.database, "x");

  JsonMap map{{"database", "dev"}, {"tables", JsonList{JsonMap{{"table_name", "t"}}}}};
  MetadataSelectionResult result = selector.select("t", map, x_db);
  EXPECT_EQ(result.selected_metadata.find("database")->as_string(), "x");
  EXPECT_EQ(map.find("database")->as_string(), "dev");
}

TEST(SchemasiftPipeline, DebugRecordShapeAndLimits) {
  MetadataCatalog catalog;
  for (int i = 0; i < 25; ++i) catalog.tables.push_back(table(numbered("t", i)));
  MetadataSelectionResult result = Schemasift(lexical_config()).select("t3 rows", catalog);
  const JsonMap& debug = result.debug;
  std::vector<std::string> keys;
  for (const auto& [k, v] : debug) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"table_rankings", "selected_column_rankings",
                                            "strategy", "tfidf_available", "embedding_available"}));
  const JsonList& rankings = debug.find("table_rankings")->as_list();
  ASSERT_EQ(rankings.size(), 20u);
  EXPECT_EQ(rankings[0].get("table_name")->as_string(), "t3");
  // Equal scores keep catalog order after the best one.
  EXPECT_EQ(rankings[1].get("table_name")->as_string(), "t0");
  EXPECT_EQ(rankings[2].get("table_name")->as_string(), "t1");

  SelectorConfig quiet = lexical_config();
  quiet.include_debug = false;
  EXPECT_TRUE(Schemasift(quiet).select("t3", catalog).debug.empty());
}

TEST(SchemasiftPipeline, NothingMatchesStillOneTableAndEmptyCatalogNone) {
  MetadataCatalog catalog = shop_catalog();
  MetadataSelectionResult result = Schemasift(lexical_config()).select("zzz qqq", catalog);
  EXPECT_EQ(table_names(result.selected_metadata), std::vector<std::string>{"orders"});

  MetadataCatalog empty;
  MetadataSelectionResult none = Schemasift(lexical_config()).select("zzz", empty);
  EXPECT_TRUE(none.selected_metadata.find("tables")->as_list().empty());
  EXPECT_EQ(none.metrics.output_tables, 0);
}

TEST(SchemasiftPipeline, RequiredColumnsOfAnUnchosenTableChangeNothing) {
  Schemasift selector(lexical_config());
  SelectorConfig one = lexical_config();
  one.top_k_tables = 1;
  MetadataCatalog a = shop_catalog(), b = shop_catalog();
  SelectOptions options;
  options.required_columns.set("products", {"price"});
  MetadataSelectionResult with = Schemasift(one).select("order amount", a, options);
  MetadataSelectionResult without = Schemasift(one).select("order amount", b);
  EXPECT_EQ(with.selected_metadata, without.selected_metadata);
}

TEST(SchemasiftPipeline, SelectMetadataWithEmbeddingsButNoModelRunsNoEmbedding) {
  SelectMetadataOptions options;
  options.use_embeddings = true;
  JsonMap catalog = demo_catalog();
  MetadataSelectionResult result = select_metadata("revenue", catalog, options);
  EXPECT_EQ(*result.debug.find("embedding_available"), JsonValue(false));
  EXPECT_EQ(*result.debug.find("strategy"), JsonValue("hybrid"));
}
// ======================= demonstration =======================

TEST(SchemasiftDemo, CatalogShape) {
  JsonMap demo = demo_catalog();
  MetadataCatalog catalog = CatalogNormalizer::normalize(demo);
  ASSERT_EQ(catalog.tables.size(), 2u);
  EXPECT_EQ(catalog.tables[0].columns.size(), 5u);
  EXPECT_EQ(catalog.tables[1].columns[2].synonyms, (std::vector<std::string>{"age", "age band"}));
  EXPECT_EQ(catalog.relationships.size(), 1u);
  std::vector<std::string> keys;
  for (const auto& [k, v] : demo.find("tables")->as_list()[1].as_map()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"table_name", "business_name", "description", "tags",
                                            "columns"}));
}

TEST(SchemasiftDemo, OutputLines) {
  std::string out = demo_output();
  EXPECT_NE(out.find("\ntables 2 \xe2\x86\x92 2 (0.0% cut), columns 8 \xe2\x86\x92 8 (0.0% cut), "
                     "tokens ~671 \xe2\x86\x92 ~452 (32.6% cut), compression 1.48x\n"),
            std::string::npos);
  EXPECT_TRUE(out.ends_with("  \"tfidf_available\": true,\n  \"embedding_available\": false\n}\n"));
  EXPECT_EQ(out.substr(0, 52), "{\n  \"database\": \"client_abc_db\",\n  \"tables\": [\n    {");
}

}  // namespace
}  // namespace tessarin::schemasift
