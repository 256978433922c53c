// Tests of table, column and join choice: required and excluded names, the
// top-k cut, intent columns and neighbour joins.
#include <gtest/gtest.h>

#include "schemasift_test_support.h"
#include "tessarin/schemasift/selector.h"

namespace tessarin::schemasift {
namespace {

using namespace test_support;

TEST(SchemasiftChoice, RequiredTablesFirstAndTopKCut) {
  SelectorConfig config = lexical_config();
  Schemasift selector(config);
  MetadataCatalog catalog = shop_catalog();
  QueryIntent intent = selector.intent_parser.parse("amount");
  std::vector<ScoredTable> scored =
      selector._score_tables("amount", catalog, intent, {}, {}, {"customers"});
  ASSERT_EQ(scored.size(), 3u);
  EXPECT_EQ(scored[1].reasons.back(), "required table");
  EXPECT_GE(scored[1].score, 100.0);
  std::vector<ScoredTable> chosen = selector._choose_tables(scored, {"customers"});
  EXPECT_EQ(chosen[0].table.table_name, "customers");

  config.top_k_tables = 1;
  std::vector<ScoredTable> both = Schemasift(config)._score_tables("products", catalog, intent, {},
                                                                   {}, {"customers", "products"});
  std::vector<ScoredTable> one = Schemasift(config)._choose_tables(both, {"customers", "products"});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].table.table_name, "products");
}

TEST(SchemasiftChoice, BelowMinimumGivesTheBestOneAndTiesKeepOrder) {
  SelectorConfig config = lexical_config();
  config.min_table_score = 0.9;
  Schemasift selector(config);
  std::vector<ScoredTable> entries = {scored(table("a"), 0.1), scored(table("b"), 0.3),
                                      scored(table("c"), 0.3)};
  std::vector<ScoredTable> chosen = selector._choose_tables(entries, {});
  ASSERT_EQ(chosen.size(), 1u);
  EXPECT_EQ(chosen[0].table.table_name, "b");
  config.min_table_score = 0.0;
  config.top_k_tables = 0;
  EXPECT_EQ(Schemasift(config)._choose_tables(entries, {}).size(), 1u);
  config.top_k_tables = 5;
  std::vector<ScoredTable> all = Schemasift(config)._choose_tables(entries, {});
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1].table.table_name, "c");
  EXPECT_TRUE(Schemasift(config)._choose_tables({}, {}).empty());
}

TEST(SchemasiftChoice, IdenticalTwinTablesAreChosenOnce) {
  SelectorConfig config = lexical_config();
  config.min_table_score = 0.0;
  MetadataCatalog catalog;
  catalog.tables = {table("t"), table("t"), table("u")};
  MetadataSelectionResult result = Schemasift(config).select("t", catalog);
  EXPECT_EQ(table_names(result.selected_metadata), (std::vector<std::string>{"t", "u"}));
}

TEST(SchemasiftChoice, BestColumnAddsAFifthOfItsLexicalScore) {
  Schemasift selector(lexical_config());
  TableMeta t = table("zz", {column("amount", "metric"), column("other")});
  std::string q = "amount";
  QueryIntent intent = selector.intent_parser.parse(q);
  double best = selector._lexical_score_column(q, t, t.columns[0], intent).first;
  MetadataCatalog catalog;
  catalog.tables = {t, table("empty")};
  std::vector<ScoredTable> scored = selector._score_tables(q, catalog, intent, {}, {}, {});
  EXPECT_EQ(scored[0].score, selector._lexical_score_table(q, t, intent).first + 0.2 * best);
  EXPECT_EQ(scored[1].score, 0.0);
}

TEST(SchemasiftChoice, ExcludedDefaultDateColumnIsNeverChosen) {
  Schemasift selector(lexical_config());
  TableMeta t = shop_catalog().tables[0];
  std::string q = "amount last month";
  QueryIntent intent = selector.intent_parser.parse(q);
  ASSERT_TRUE(intent.has_time_filter);
  std::vector<ScoredColumn> cols =
      selector._score_and_choose_columns(q, t, intent, {}, {}, {}, {"order_date"});
  for (const ScoredColumn& c : cols) EXPECT_NE(c.column.name, "order_date");
  std::vector<ScoredColumn> with_date =
      selector._score_and_choose_columns(q, t, intent, {}, {}, {}, {});
  EXPECT_EQ(with_date[0].column.name, "order_date");
  EXPECT_EQ(with_date[0].reasons.back(), "default date column for time intent");
}

TEST(SchemasiftChoice, TrendWithoutTimeFilterAddsADateColumnWithoutTheDefaultBonus) {
  Schemasift selector(lexical_config());
  TableMeta t = table("t", {column("a"), column("when", "date"), column("b")});
  t.default_date_column = "when";
  QueryIntent intent = bare_intent();
  intent.wants_trend = true;
  SelectorConfig strict = lexical_config();
  strict.min_column_score = 0.99;
  std::vector<ScoredColumn> cols =
      Schemasift(strict)._score_and_choose_columns("q", t, intent, {}, {}, {}, {});
  ASSERT_EQ(cols.size(), 1u);
  EXPECT_EQ(cols[0].column.name, "when");
  EXPECT_EQ(cols[0].reasons, std::vector<std::string>{"date role matches time/trend intent"});
}

TEST(SchemasiftChoice, IntentColumnsAreCutByTheColumnLimit) {
  SelectorConfig config = lexical_config();
  config.max_columns_per_table = 2;
  config.min_column_score = 0.3;  // the date column gets in only for the time intent
  TableMeta t = table("t", {column("amount", "metric"), column("price", "metric"),
                            column("cost", "metric"), column("day", "date")});
  std::string q = "amount price cost last month";
  Schemasift selector(config);
  QueryIntent intent = selector.intent_parser.parse(q);
  std::vector<ScoredColumn> cols = selector._score_and_choose_columns(q, t, intent, {}, {}, {}, {});
  ASSERT_EQ(cols.size(), 2u);
  config.max_columns_per_table = 4;
  std::vector<ScoredColumn> all =
      Schemasift(config)._score_and_choose_columns(q, t, intent, {}, {}, {}, {});
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[3].column.name, "day");
  for (const ScoredColumn& c : cols) EXPECT_NE(c.column.name, "day");
}

TEST(SchemasiftChoice, EnsureIntentColumnsAddsOneBestUnchosenPerRoleGroup) {
  QueryIntent intent = bare_intent();
  intent.has_time_filter = intent.wants_metric = intent.wants_grouping = true;
  std::vector<ScoredColumn> ranked = {
      scored(column("m1", "metric"), 0.5), scored(column("d1", "dimension"), 0.4),
      scored(column("t1", "text"), 0.3), scored(column("m2", "metric"), 0.2),
      scored(column("x", "datetime"), 0.1)};
  std::vector<ScoredColumn> selected = {ranked[0]};
  std::vector<ScoredColumn>& out =
      Schemasift::_ensure_intent_columns(TableMeta{}, ranked, selected, intent);
  EXPECT_EQ(&out, &selected);
  std::vector<std::string> names;
  for (const ScoredColumn& c : selected) names.push_back(c.column.name);
  EXPECT_EQ(names, (std::vector<std::string>{"m1", "x", "m2", "d1"}));
}

TEST(SchemasiftChoice, RequiredColumnsBelowTheMinimumAreKept) {
  SelectorConfig config = lexical_config();
  config.min_column_score = 0.5;
  TableMeta t = table("t", {column("a"), column("b"), column("c")});
  QueryIntent intent = bare_intent();
  std::vector<ScoredColumn> cols =
      Schemasift(config)._score_and_choose_columns("q", t, intent, {}, {}, {"c", "zz"}, {"a"});
  ASSERT_EQ(cols.size(), 1u);
  EXPECT_EQ(cols[0].column.name, "c");
  EXPECT_EQ(cols[0].score, 100.0);
  // Nothing passes: the best non-excluded column stays.
  std::vector<ScoredColumn> fallback =
      Schemasift(config)._score_and_choose_columns("q", t, intent, {}, {}, {}, {"a"});
  ASSERT_EQ(fallback.size(), 1u);
  EXPECT_EQ(fallback[0].column.name, "b");
}

TEST(SchemasiftChoice, RelationshipsAndNeighbourJoins) {
  MetadataCatalog catalog = shop_catalog();
  catalog.relationships.push_back(catalog.relationships[1]);  // a duplicate neighbour join
  SelectorConfig config = lexical_config();
  std::vector<ScoredTable> chosen = {scored(catalog.tables[0], 1.0),
                                     scored(catalog.tables[1], 0.5)};
  std::vector<RelationshipMeta> joins = Schemasift(config)._select_relationships(catalog, chosen);
  ASSERT_EQ(joins.size(), 1u);
  EXPECT_EQ(joins[0].to_table, "customers");
  config.include_neighbor_tables_for_joins = true;
  joins = Schemasift(config)._select_relationships(catalog, chosen);
  ASSERT_EQ(joins.size(), 2u);
  EXPECT_EQ(joins[1].to_table, "products");
  config.include_relationships = false;
  EXPECT_TRUE(Schemasift(config)._select_relationships(catalog, chosen).empty());
}

}  // namespace
}  // namespace tessarin::schemasift
