// Tests of display text, float repr, rounding and fixed-point formatting,
// and of the SHA-256 digest.
#include "tessarin/common/display.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

#include "tessarin/common/sha256.h"
#include "test_support.h"

namespace tessarin {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(DisplayFloatRepr, MatchesPythonRepr) {
  struct Case {
    double x;
    const char* repr;
  };
  const Case cases[] = {
      {0.5, "0.5"},
      {100.0, "100.0"},
      {2.0, "2.0"},
      {0.1, "0.1"},
      {0.0001, "0.0001"},
      {1e-05, "1e-05"},
      {1.5e-07, "1.5e-07"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {1e100, "1e+100"},
      {123456789012345.6, "123456789012345.6"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {-2.5, "-2.5"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {kInf, "inf"},
      {-kInf, "-inf"},
      {kNaN, "nan"},
  };
  for (const Case& c : cases) EXPECT_EQ(float_repr(c.x), c.repr);
}

TEST(DisplayText, MatchesPythonStr) {
  JsonMap map;
  map.set("k", 1.0);
  map.set("it's", JsonList{JsonValue(), true});
  JsonValue list = JsonList{
      JsonValue(), true, false, 7, -3.0, "a'b\"c", "x", map, JsonOpaque{"{1, 2}", nullptr}};
  EXPECT_EQ(display_text(list),
            "[None, True, False, 7, -3.0, 'a\\'b\"c', 'x', {'k': 1.0, \"it's\": [None, True]}, "
            "{1, 2}]");
  EXPECT_EQ(display_text("plain 'text'"), "plain 'text'");
  EXPECT_EQ(display_text(JsonList{}), "[]");
  EXPECT_EQ(display_text(JsonMap{}), "{}");
  EXPECT_EQ(display_text(JsonOpaque{"Card(1)", nullptr}), "Card(1)");
  EXPECT_EQ(literal_text(JsonValue(2)), "2");
}

TEST(DisplayStringLiteral, EscapesAsPythonRepr) {
  const test_support::TextCase cases[] = {
      {"abc", "'abc'"},
      {"it's", "\"it's\""},
      {"'\"", "'\\'\"'"},
      {"a\\b", "'a\\\\b'"},
      {"\t\n\r", "'\\t\\n\\r'"},
      {"\x01\x7f", "'\\x01\\x7f'"},
      {"caf\xc3\xa9", "'caf\xc3\xa9'"},
      {"\xc2\xa0", "'\\xa0'"},                // no-break space is not printable
      {"\xe2\x80\xa8", "'\\u2028'"},          // line separator
      {"\xf3\xa0\x80\x81", "'\\U000e0001'"},  // language tag
      {"\xf0\x9f\x98\x80", "'\xf0\x9f\x98\x80'"},
  };
  for (const auto& [text, repr] : cases) EXPECT_EQ(string_literal(text), repr) << text;
}

TEST(DisplayRoundTo, RoundsExactBinaryValueTiesToEven) {
  struct Case {
    double x;
    int n;
    double expected;
  };
  const Case cases[] = {
      {0.1234565, 6, 0.123456},                    // binary value lies below the tie
      {2.675, 2, 2.67},         {0.125, 2, 0.12},  // exact tie to even
      {0.375, 2, 0.38},         {2.5, 0, 2.0},        {3.5, 0, 4.0},       {1234.5, -2, 1200.0},
      {1250.0, -2, 1200.0},     {1350.0, -2, 1400.0}, {999.9, -3, 1000.0}, {0.5, -1, 0.0},
      {-0.4, 0, -0.0},          {1e300, -301, 0.0},   {5e-324, 323, 0.0},  {5e-324, 324, 5e-324},
      {123.456, 400, 123.456},
  };
  for (const Case& c : cases) {
    double r = round_to(c.x, c.n);
    EXPECT_EQ(r, c.expected) << c.x << " " << c.n;
    EXPECT_EQ(std::signbit(r), std::signbit(c.expected)) << c.x << " " << c.n;
  }
  EXPECT_TRUE(std::signbit(round_to(-1e300, -400)));
  EXPECT_TRUE(std::isnan(round_to(kNaN, 2)));
  EXPECT_EQ(round_to(-kInf, 2), -kInf);
  EXPECT_THROW(round_to(1.7976931348623157e308, -308), std::overflow_error);
}

TEST(DisplayFormatFixed, MatchesPythonFormat) {
  struct Case {
    double x;
    int n;
    const char* text;
  };
  const Case cases[] = {
      {2.675, 2, "2.67"},
      {0.125, 2, "0.12"},
      {2.5, 0, "2"},
      {3.5, 0, "4"},
      {-0.001, 2, "-0.00"},
      {-0.0, 1, "-0.0"},
      {0.0, 3, "0.000"},
      {9.995, 2, "9.99"},
      {9.9951, 2, "10.00"},
      {1e-7, 3, "0.000"},
      {0.5, 0, "0"},
      {1.5, 0, "2"},
      {12.0, 4, "12.0000"},
      {1e22, 1, "10000000000000000000000.0"},
      {0.1, 20, "0.10000000000000000555"},
      {kInf, 2, "inf"},
      {-kInf, 2, "-inf"},
      {kNaN, 2, "nan"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_fixed(c.x, c.n), c.text) << c.x << " " << c.n;
}

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // Lengths around the padding boundary (55, 56, 64 bytes).
  EXPECT_EQ(sha256_hex(std::string(55, 'a')),
            "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(sha256_hex(std::string(56, 'a')),
            "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
  EXPECT_EQ(sha256_hex(std::string(64, 'a')),
            "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
  EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, AcceleratedDigestEqualsThePortableOne) {
  std::mt19937 rng(11);
  // Every tail length around the one- and two-block paddings, and many blocks.
  for (std::size_t n : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 100000}) {
    std::string data(n, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    ASSERT_EQ(sha256_hex(data), sha256_hex_portable(data)) << n;
  }
  EXPECT_EQ(sha256_hex_portable("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace tessarin
