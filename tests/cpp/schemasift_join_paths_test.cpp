// Tests of join-path completion: bridge tables between chosen tables, on
// small catalogs, directly and through a selection.
#include <gtest/gtest.h>

#include "tessarin/schemasift/join_paths.h"
#include "tessarin/schemasift/selector.h"

namespace tessarin::schemasift {
namespace {

using internal::bridge_tables;

MetadataCatalog catalog_of(std::vector<std::string> names,
                           std::vector<std::pair<std::string, std::string>> joins) {
  MetadataCatalog catalog;
  for (std::string& name : names) {
    TableMeta t;
    t.table_name = name;
    ColumnMeta id;
    id.name = name + "_id";
    t.columns.push_back(id);
    catalog.tables.push_back(std::move(t));
  }
  for (auto& [from, to] : joins) {
    RelationshipMeta r;
    r.from_table = from;
    r.from_column = to + "_id";
    r.to_table = to;
    r.to_column = to + "_id";
    catalog.relationships.push_back(std::move(r));
  }
  return catalog;
}

std::vector<std::string> bridge_names(const MetadataCatalog& catalog,
                                      const std::vector<std::size_t>& chosen,
                                      std::size_t max_length) {
  std::vector<std::string> out;
  for (const auto& bridge : bridge_tables(catalog, chosen, max_length))
    out.push_back(catalog.tables[bridge.position].table_name);
  return out;
}

// students -- enrolments -- courses, and an unrelated table.
MetadataCatalog school() {
  return catalog_of({"students", "courses", "enrolments", "weather"},
                    {{"enrolments", "students"}, {"enrolments", "courses"}});
}

TEST(JoinPaths, JunctionTableIsAddedWithItsReason) {
  MetadataCatalog catalog = school();
  auto bridges = bridge_tables(catalog, {0, 1}, 2);
  ASSERT_EQ(bridges.size(), 1u);
  EXPECT_EQ(bridges[0].position, 2u);
  EXPECT_EQ(bridges[0].reason, "bridge table between courses and students");
}

TEST(JoinPaths, NothingAddedWithoutAShortEnoughPath) {
  MetadataCatalog catalog = school();
  EXPECT_TRUE(bridge_names(catalog, {0, 3}, 3).empty());  // weather joins nothing
  EXPECT_TRUE(bridge_names(catalog, {0, 1}, 1).empty());  // one join needs no bridge
  EXPECT_TRUE(bridge_names(catalog, {0, 1}, 0).empty());
  EXPECT_TRUE(bridge_names(catalog, {0, 2}, 2).empty());  // already joined directly
  EXPECT_TRUE(bridge_names(catalog, {}, 2).empty());
  // a -- b -- c -- d: three joins from a to d.
  MetadataCatalog chain = catalog_of({"a", "b", "c", "d"}, {{"a", "b"}, {"b", "c"}, {"c", "d"}});
  EXPECT_TRUE(bridge_names(chain, {0, 3}, 2).empty());
  EXPECT_EQ(bridge_names(chain, {0, 3}, 3), (std::vector<std::string>{"c", "b"}));
}

TEST(JoinPaths, CyclesEndAndTakeTheShortestPath) {
  // a ring a-b-c-d-e-a plus a self join and a repeated relationship.
  MetadataCatalog ring = catalog_of(
      {"a", "b", "c", "d", "e"},
      {{"a", "b"}, {"b", "c"}, {"c", "d"}, {"d", "e"}, {"e", "a"}, {"c", "c"}, {"a", "b"}});
  EXPECT_EQ(bridge_names(ring, {0, 2}, 4), (std::vector<std::string>{"b"}));
  EXPECT_EQ(bridge_names(ring, {0, 3}, 4), (std::vector<std::string>{"e"}));
  // Every table chosen: nothing to add, and the search ends.
  EXPECT_TRUE(bridge_names(ring, {0, 1, 2, 3, 4}, 10).empty());
}

TEST(JoinPaths, LaterTablesJoinAnyConnectedOneAndBridgesComeOnce) {
  // hub joins x, y and z; x, y, z are chosen: one bridge, named once.
  MetadataCatalog star =
      catalog_of({"x", "y", "z", "hub"}, {{"hub", "x"}, {"hub", "y"}, {"hub", "z"}});
  auto bridges = bridge_tables(star, {0, 1, 2}, 2);
  ASSERT_EQ(bridges.size(), 1u);
  EXPECT_EQ(star.tables[bridges[0].position].table_name, "hub");
  EXPECT_EQ(bridges[0].reason, "bridge table between y and x");
}

TEST(JoinPaths, RelationshipsToTablesOutsideTheCatalogLeadNowhere) {
  // The junction was excluded: its relationships remain, its table does not.
  MetadataCatalog catalog = catalog_of({"students", "courses"}, {});
  catalog.relationships = school().relationships;
  EXPECT_TRUE(bridge_names(catalog, {0, 1}, 4).empty());
}

SelectorConfig bridging_config() {
  SelectorConfig config;
  config.strategy = "lexical";
  config.top_k_tables = 2;
  config.max_join_path_length = 2;
  return config;
}

TEST(JoinPaths, SelectionEmitsTheBridgeAndTheJoinsOfTheTree) {
  Schemasift selector(bridging_config());
  MetadataCatalog catalog = school();
  MetadataSelectionResult result = selector.select("students and courses", catalog);
  const JsonList& tables = result.selected_metadata.find("tables")->as_list();
  ASSERT_EQ(tables.size(), 3u);
  EXPECT_EQ(tables[2].as_map().find("table_name")->as_string(), "enrolments");
  EXPECT_EQ(result.selected_metadata.find("relationships")->as_list().size(), 2u);
  // The default configuration (no completion) keeps the two tables unjoined.
  MetadataCatalog again = school();
  SelectorConfig plain = bridging_config();
  plain.max_join_path_length = 0;
  MetadataSelectionResult before = Schemasift(plain).select("students and courses", again);
  EXPECT_EQ(before.selected_metadata.find("tables")->as_list().size(), 2u);
  EXPECT_TRUE(before.selected_metadata.find("relationships")->as_list().empty());
}

TEST(JoinPaths, ExcludedTablesAreNeverAdded) {
  Schemasift selector(bridging_config());
  for (bool prepared : {false, true}) {
    SelectOptions options;
    options.excluded_tables = {"enrolments"};
    MetadataSelectionResult result;
    if (prepared) {
      PreparedCatalog catalog(school());
      result = selector.select("students and courses", catalog, options);
    } else {
      MetadataCatalog catalog = school();
      result = selector.select("students and courses", catalog, options);
    }
    for (const JsonValue& t : result.selected_metadata.find("tables")->as_list())
      EXPECT_NE(t.as_map().find("table_name")->as_string(), "enrolments") << prepared;
  }
}

}  // namespace
}  // namespace tessarin::schemasift
