// Python surface of the value services: json_text, parse_json, display_text,
// and private hooks (leading underscore) that expose the Unicode, rounding and
// digest helpers to the property tests.
#include <algorithm>
#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "convert.h"
#include "register.h"
#include "tessarin/common/display.h"
#include "tessarin/common/json_text.h"
#include "tessarin/common/sha256.h"
#include "tessarin/common/unicode.h"

namespace tessarin::py {

namespace {

constexpr const char* kJsonTextDoc =
    "json_text(value, *, sort_keys=False, indent=None, ensure_ascii=True) -> str\n\n"
    "JSON text of value, character for character as json.dumps writes it with the\n"
    "same arguments. NaN and the infinities are written as NaN, Infinity and\n"
    "-Infinity; objects without a JSON form are written as the JSON string of\n"
    "their str(). Integers must fit in 64 bits (OverflowError otherwise).";

constexpr const char* kParseJsonDoc =
    "parse_json(text) -> object\n\n"
    "Reads JSON text as json.loads does (NaN, Infinity and -Infinity accepted,\n"
    "key order kept, a repeated key keeps its first position and last value).\n"
    "Numbers with a fraction or exponent become floats, others ints. Raises\n"
    "ValueError naming the character offset on malformed text, integers beyond\n"
    "64 bits, unpaired surrogate escapes and nesting deeper than 1000 levels.";

constexpr const char* kDisplayTextDoc =
    "display_text(value) -> str\n\n"
    "The text str() gives for value: a str is itself; lists and dicts show the\n"
    "repr of their items; other objects show their str().";

nb::str to_python_str(const std::string& text) { return nb::str(text.data(), text.size()); }

std::u32string code_points_of(nb::handle text) {
  return unicode::decode_utf8(to_utf8(text, "text"));
}

enum CharFlag : int { kSpace = 1, kAlnum = 2, kDecimal = 4, kPrintable = 8, kWord = 16 };

int char_flags(char32_t cp) {
  int flags = 0;
  if (unicode::is_space(cp)) flags |= kSpace;
  if (unicode::is_alnum(cp)) flags |= kAlnum;
  if (unicode::is_decimal(cp)) flags |= kDecimal;
  if (unicode::is_printable(cp)) flags |= kPrintable;
  if (unicode::is_word(cp)) flags |= kWord;
  return flags;
}

void register_test_hooks(nb::module_& m) {
  m.def("_round_to", &round_to, nb::arg("x"), nb::arg("ndigits"));
  m.def("_format_fixed", &format_fixed, nb::arg("x"), nb::arg("ndigits"));
  m.def("_float_repr", &float_repr, nb::arg("x"));
  m.def(
      "_lower",
      [](nb::handle text) { return to_python_str(unicode::to_lower(to_utf8(text, "text"))); },
      nb::arg("text"));
  m.def(
      "_strip",
      [](nb::handle text) {
        return to_python_str(std::string(unicode::strip(to_utf8(text, "text"))));
      },
      nb::arg("text"));
  m.def(
      "_sha256_hex", [](nb::handle text) { return sha256_hex(to_utf8(text, "text")); },
      nb::arg("text"));
  // One flag set per character: 1 space, 2 alnum, 4 decimal, 8 printable, 16 word.
  m.def(
      "_char_flags",
      [](nb::handle text) {
        std::vector<int> out;
        for (char32_t cp : code_points_of(text)) out.push_back(char_flags(cp));
        return out;
      },
      nb::arg("text"));
  m.def(
      "_decimal_values",
      [](nb::handle text) {
        std::vector<int> out;
        for (char32_t cp : code_points_of(text)) out.push_back(unicode::decimal_value(cp));
        return out;
      },
      nb::arg("text"));
  m.def(
      "_simple_fold",
      [](nb::handle text) {
        std::u32string folded = code_points_of(text);
        for (char32_t& cp : folded) cp = unicode::simple_fold(cp);
        return to_python_str(unicode::encode_utf8(folded));
      },
      nb::arg("text"));
  // The other characters sharing the fold of the one character given, sorted.
  m.def(
      "_case_variants",
      [](nb::handle text) {
        std::u32string cps = code_points_of(text);
        if (cps.size() != 1) throw nb::value_error("one character expected");
        std::u32string variants;
        unicode::for_each_case_variant(cps[0], [&](char32_t c) { variants.push_back(c); });
        std::sort(variants.begin(), variants.end());
        return to_python_str(unicode::encode_utf8(variants));
      },
      nb::arg("text"));
  m.attr("_unicode_version") = unicode::kUnicodeVersion;
}

}  // namespace

void register_json(nb::module_& m) {
  m.def(
      "json_text",
      [](nb::handle value, bool sort_keys, std::optional<long long> indent, bool ensure_ascii) {
        JsonValue converted = to_json(value);
        JsonWriteOptions options;
        options.sort_keys = sort_keys;
        options.ensure_ascii = ensure_ascii;
        // As json.dumps: any integer indent breaks lines; a negative one indents by nothing.
        if (indent)
          options.indent =
              static_cast<int>(std::clamp(*indent, 0LL, static_cast<long long>(INT_MAX)));
        std::string text;
        {
          nb::gil_scoped_release release;
          append_json_text(text, converted, options);
        }
        return to_python_str(text);
      },
      nb::arg("value").none(), nb::kw_only(), nb::arg("sort_keys") = false,
      nb::arg("indent").none() = nb::none(), nb::arg("ensure_ascii") = true, kJsonTextDoc);

  m.def(
      "parse_json",
      [](nb::handle text) {
        std::string utf8 = to_utf8(text, "text");
        JsonValue value;
        {
          nb::gil_scoped_release release;
          value = parse_json(utf8);
        }
        return from_json(value);
      },
      nb::arg("text"), kParseJsonDoc);

  m.def(
      "display_text", [](nb::handle value) { return to_python_str(display_text(to_json(value))); },
      nb::arg("value").none(), kDisplayTextDoc);

  register_test_hooks(m);
}

}  // namespace tessarin::py
