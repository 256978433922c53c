// Tests of the JSON writer (json.dumps form) and reader (json.loads).
#include "tessarin/common/json_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace tessarin {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

JsonMap b_then_a() {
  JsonMap map;
  map.set("b", 1);
  map.set("a", 2.5);
  return map;
}

JsonWriteOptions options(bool sort_keys, int indent, bool ensure_ascii) {
  JsonWriteOptions o;
  o.sort_keys = sort_keys;
  o.indent = indent;
  o.ensure_ascii = ensure_ascii;
  return o;
}

TEST(JsonWrite, Scalars) {
  struct Case {
    JsonValue value;
    const char* text;
  };
  const Case cases[] = {
      {JsonValue(), "null"},
      {true, "true"},
      {false, "false"},
      {JsonValue(static_cast<long long>(-9223372036854775807LL - 1)), "-9223372036854775808"},
      {0.5, "0.5"},
      {100.0, "100.0"},
      {1e-05, "1e-05"},
      {1.5e16, "1.5e+16"},
      {-0.0, "-0.0"},
      {std::nan(""), "NaN"},
      {kInf, "Infinity"},
      {-kInf, "-Infinity"},
      {JsonOpaque{"Card(id=1)", nullptr}, "\"Card(id=1)\""},
  };
  for (const Case& c : cases) EXPECT_EQ(json_text(c.value), c.text);
}

TEST(JsonWrite, StringEscapes) {
  const JsonWriteOptions unicode = options(false, -1, false);
  EXPECT_EQ(json_text("caf\xc3\xa9"), "\"caf\\u00e9\"");
  EXPECT_EQ(json_text("caf\xc3\xa9", unicode), "\"caf\xc3\xa9\"");
  EXPECT_EQ(json_text("\xf0\x9f\x98\x80"), "\"\\ud83d\\ude00\"");
  EXPECT_EQ(json_text("\xf0\x9f\x98\x80", unicode), "\"\xf0\x9f\x98\x80\"");
  EXPECT_EQ(json_text("\"\\/\b\f\n\r\t"), "\"\\\"\\\\/\\b\\f\\n\\r\\t\"");
  EXPECT_EQ(json_text(std::string("\x00\x1f", 2)), "\"\\u0000\\u001f\"");
  EXPECT_EQ(json_text("\x7f"), "\"\\u007f\"");
  EXPECT_EQ(json_text("\x7f", unicode), "\"\x7f\"");
}

TEST(JsonWrite, PlainStringsAtEveryAlignment) {
  // Each byte that needs escaping, and some that do not, at every place of
  // the eight-byte words the scan reads: a string is plain exactly when
  // the writer copies it unchanged.
  const std::string specials[] = {"\"", "\\",   std::string(1, '\0'), "\x1f", "\n",
                                  " ",  "\x7f", "\xc3\xa9",           "~"};
  for (const std::string& special : specials) {
    for (std::size_t at = 0; at < 20; ++at) {
      std::string s = std::string(at, 'a') + special + std::string(19 - at, 'b');
      std::string written;
      append_json_string(written, s, false);
      EXPECT_EQ(json_string_is_plain(s), written == "\"" + s + "\"")
          << "byte " << static_cast<int>(static_cast<unsigned char>(special[0])) << " at " << at;
    }
  }
  EXPECT_TRUE(json_string_is_plain(""));
}

TEST(JsonWrite, MapOrderAndSeparators) {
  EXPECT_EQ(json_text(b_then_a()), "{\"b\": 1, \"a\": 2.5}");
  EXPECT_EQ(json_text(b_then_a(), options(true, -1, true)), "{\"a\": 2.5, \"b\": 1}");
  JsonMap nested;
  nested.set("\xc3\xa9", 1);  // é sorts after z by code point
  nested.set("z", b_then_a());
  nested.set("Z", JsonList{});
  EXPECT_EQ(json_text(nested, options(true, -1, false)),
            "{\"Z\": [], \"z\": {\"a\": 2.5, \"b\": 1}, \"\xc3\xa9\": 1}");
}

TEST(JsonWrite, Indentation) {
  JsonMap map = b_then_a();
  map.set("list", JsonList{1, JsonList{}, JsonMap{}, JsonList{JsonValue()}});
  EXPECT_EQ(json_text(map, options(false, 2, true)),
            "{\n  \"b\": 1,\n  \"a\": 2.5,\n  \"list\": [\n    1,\n    [],\n    {},\n    [\n"
            "      null\n    ]\n  ]\n}");
  EXPECT_EQ(json_text(JsonList{1, 2}, options(false, 0, true)), "[\n1,\n2\n]");
  EXPECT_EQ(json_text(JsonList{}, options(false, 4, true)), "[]");
}

TEST(JsonRead, ValuesAndOrder) {
  JsonValue v = parse_json(
      " {\"b\": [1, -0, 2.5, -0.0, 1E2, true, false, null], \"a\": \"x\\u00e9\\ud83d\\ude00\\/\","
      " \"b\": 3, \"n\": NaN, \"i\": -Infinity}\n");
  ASSERT_TRUE(v.is_map());
  const JsonMap& map = v.as_map();
  ASSERT_EQ(map.size(), 4u);
  EXPECT_EQ(map.items()[0].first, "b");  // a repeated key keeps its first place
  EXPECT_EQ(*map.find("b"), JsonValue(3));
  EXPECT_EQ(*map.find("a"), JsonValue("x\xc3\xa9\xf0\x9f\x98\x80/"));
  EXPECT_TRUE(std::isnan(map.find("n")->as_double()));
  EXPECT_EQ(map.find("i")->as_double(), -kInf);
  JsonValue list = parse_json("[1, -0, 2.5, -0.0, 1E2, 1e400, -1e-400, 5e-324]");
  const JsonList& items = list.as_list();
  EXPECT_TRUE(items[1].is_int());
  EXPECT_TRUE(items[3].is_double());
  EXPECT_TRUE(std::signbit(items[3].as_double()));
  EXPECT_EQ(items[4], JsonValue(100.0));
  EXPECT_EQ(items[5].as_double(), kInf);
  EXPECT_EQ(items[6].as_double(), 0.0);
  EXPECT_TRUE(std::signbit(items[6].as_double()));
  EXPECT_EQ(items[7].as_double(), 5e-324);
}

TEST(JsonRead, DuplicateKeysInLargeMaps) {
  std::string text = "{";
  for (int i = 0; i < 40; ++i)
    text += "\"k" + std::to_string(i) + "\": " + std::to_string(i) + ", ";
  text += "\"k3\": \"again\", \"k39\": -1}";
  JsonValue v = parse_json(text);
  ASSERT_EQ(v.as_map().size(), 40u);
  EXPECT_EQ(v.as_map().items()[3].second, JsonValue("again"));
  EXPECT_EQ(v.as_map().items()[39].second, JsonValue(-1));
}

TEST(JsonRead, MalformedTextNamesCodePointOffset) {
  struct Case {
    std::string text;
    std::size_t offset;
  };
  const Case cases[] = {
      {"", 0},
      {"[1,]", 3},
      {"{\"a\" 1}", 5},
      {"[1 2]", 3},
      {"\"abc", 0},
      {"01", 1},
      {"\"\xc3\xa9\xc3\xa9\" x", 5},  // offsets count code points
      {"\"a\nb\"", 2},
      {"\"\\x\"", 1},
      {"\"\\u12G4\"", 2},  // at the u, as json.loads
      {"\"\\ud800\"", 1},  // unpaired surrogate: no UTF-8 form
      {"\"\\udc00\\ud800\"", 1},
      {"9223372036854775808", 0},
      {"-Inf", 0},
      {"1.", 1},
      {"1e", 1},
      {"{\"a\":1,}", 7},
      {"\"\xff\"", 1},
      {std::string(1001, '['), 1000},
  };
  for (const Case& c : cases) {
    try {
      parse_json(c.text);
      ADD_FAILURE() << "accepted " << c.text;
    } catch (const JsonParseError& e) {
      EXPECT_EQ(e.offset, c.offset) << c.text << ": " << e.what();
    }
  }
  EXPECT_EQ(parse_json(std::string(1000, '[') + std::string(1000, ']')).is_list(), true);
}

TEST(JsonRoundTrip, WriteThenRead) {
  JsonMap map = b_then_a();
  map.set("text", "line\n\t\"q\" \xe2\x82\xac \xf0\x9f\x98\x80");
  map.set("list", JsonList{JsonValue(), true, -7, 1e-300, JsonMap{}});
  for (bool ascii : {true, false})
    for (int indent : {-1, 2})
      EXPECT_EQ(parse_json(json_text(map, options(false, indent, ascii))), JsonValue(map));
}

}  // namespace
}  // namespace tessarin
