#include "tessarin/common/json_value.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tessarin {
namespace {

TEST(JsonValue, EmptinessFollowsTheConventions) {
  EXPECT_TRUE(JsonValue().is_empty());
  EXPECT_TRUE(JsonValue(false).is_empty());
  EXPECT_TRUE(JsonValue(0).is_empty());
  EXPECT_TRUE(JsonValue(-0.0).is_empty());
  EXPECT_TRUE(JsonValue("").is_empty());
  EXPECT_TRUE(JsonValue(JsonList{}).is_empty());
  EXPECT_TRUE(JsonValue(JsonMap{}).is_empty());
  EXPECT_FALSE(JsonValue(std::nan("")).is_empty());
  EXPECT_FALSE(JsonValue(JsonOpaque{"", nullptr}).is_empty());
  EXPECT_FALSE(JsonValue(JsonList{JsonValue()}).is_empty());
}

TEST(OrderedMap, KeepsInsertionOrderAndReplacesInPlace) {
  JsonMap m;
  m.set("b", 1);
  m.set("a", 2.5);
  m.set("b", "x");
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m.begin()->first, "b");
  EXPECT_EQ(m.find("b")->as_string(), "x");
  EXPECT_TRUE(m.erase("b"));
  EXPECT_EQ(m.begin()->first, "a");
  EXPECT_EQ(m["new"], JsonValue());
  EXPECT_EQ(m.size(), 2u);
}

TEST(OrderedMap, EmplaceNewBuildsTheValueInPlaceAtTheEnd) {
  JsonMap m{{"a", 1}};
  std::string_view text = "long enough to live on the heap, not in the string";
  JsonValue& added = m.emplace_new("b", text);
  EXPECT_EQ(added.as_string(), text);
  m.emplace_new("c", JsonList{JsonValue(true)});
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m.items()[1].first, "b");
  EXPECT_EQ(*m.find("c"), JsonValue(JsonList{JsonValue(true)}));
}

}  // namespace
}  // namespace tessarin
