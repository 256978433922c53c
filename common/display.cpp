// Display and literal text of values, float repr, and exact decimal rounding.
#include "tessarin/common/display.h"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <system_error>

#include "tessarin/common/unicode.h"

namespace tessarin {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void append_hex(std::string& out, char32_t cp, int width) {
  for (int shift = (width - 1) * 4; shift >= 0; shift -= 4)
    out.push_back(kHexDigits[(cp >> shift) & 0xF]);
}

void append_int(std::string& out, std::int64_t v) {
  char buf[24];
  auto result = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, result.ptr);
}

// Shortest round-trip digits of a finite |x| and the decimal exponent of the
// first digit: |x| = d0.d1d2... * 10^exponent.
struct ShortestDigits {
  char digits[20];
  int count = 0;
  int exponent = 0;
};

ShortestDigits shortest_digits(double x) {
  char buf[32];
  auto result = std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
  ShortestDigits d;
  const char* p = buf;
  for (; p != result.ptr && *p != 'e'; ++p)
    if (*p != '.') d.digits[d.count++] = *p;
  std::from_chars(p + 1 + (p[1] == '+'), result.ptr, d.exponent);
  return d;
}

void append_repr_digits(std::string& out, double x) {
  if (std::signbit(x)) out.push_back('-');
  ShortestDigits d = shortest_digits(x);
  if (d.exponent >= -4 && d.exponent < 16) {
    if (d.exponent < 0) {
      out.append("0.");
      out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
      out.append(d.digits, static_cast<std::size_t>(d.count));
      return;
    }
    int integer_digits = d.exponent + 1;
    for (int i = 0; i < integer_digits; ++i) out.push_back(i < d.count ? d.digits[i] : '0');
    out.push_back('.');
    if (d.count > integer_digits) {
      out.append(d.digits + integer_digits, static_cast<std::size_t>(d.count - integer_digits));
    } else {
      out.push_back('0');
    }
    return;
  }
  out.push_back(d.digits[0]);
  if (d.count > 1) {
    out.push_back('.');
    out.append(d.digits + 1, static_cast<std::size_t>(d.count - 1));
  }
  out.push_back('e');
  int e = d.exponent;
  out.push_back(e < 0 ? '-' : '+');
  if (e < 0) e = -e;
  if (e < 10) out.push_back('0');
  append_int(out, e);
}

// The digits of |x| rounded to ndigits places after the point (ties to
// even, on the exact binary value): |x| ~ digits * 10^-ndigits. Empty when
// the result is zero.
std::string rounded_digits(double x, int ndigits) {
  int binary_exponent = 0;
  std::frexp(x, &binary_exponent);
  // Enough fraction digits to hold the exact value of the double.
  int precision = std::min(1074, std::max(0, 53 - binary_exponent));
  std::string exact(static_cast<std::size_t>(precision) + 320, '\0');
  auto result = std::to_chars(exact.data(), exact.data() + exact.size(), std::fabs(x),
                              std::chars_format::fixed, precision);
  exact.resize(static_cast<std::size_t>(result.ptr - exact.data()));

  std::size_t point = exact.find('.');
  std::string digits;
  if (point == std::string::npos) {
    digits = exact;
    point = exact.size();
  } else {
    digits = exact.substr(0, point) + exact.substr(point + 1);
  }
  long long keep = static_cast<long long>(point) + ndigits;
  if (keep < 0) return {};
  if (static_cast<std::size_t>(keep) >= digits.size()) {
    digits.append(static_cast<std::size_t>(keep) - digits.size(), '0');
    return digits;
  }
  std::size_t k = static_cast<std::size_t>(keep);
  bool up;
  char first_dropped = digits[k];
  if (first_dropped != '5') {
    up = first_dropped > '5';
  } else {
    bool beyond_half = digits.find_first_not_of('0', k + 1) != std::string::npos;
    bool last_odd = k > 0 && (digits[k - 1] - '0') % 2 == 1;
    up = beyond_half || last_odd;
  }
  digits.resize(k);
  if (up) {
    std::size_t i = k;
    while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
    if (i == 0) {
      digits.insert(digits.begin(), '1');
    } else {
      ++digits[i - 1];
    }
  }
  return digits;
}

// Python's limits on round()'s ndigits for floats: beyond them the result is
// x itself or a signed zero.
constexpr int kMaxRoundDigits = 323;
constexpr int kMinRoundDigits = -308;

}  // namespace

void append_string_literal(std::string& out, std::string_view text) {
  bool has_single = text.find('\'') != std::string_view::npos;
  bool has_double = text.find('"') != std::string_view::npos;
  char quote = has_single && !has_double ? '"' : '\'';
  out.push_back(quote);
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (b >= 0x20 && b < 0x7F) {
      if (b == static_cast<unsigned char>(quote) || b == '\\') out.push_back('\\');
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    if (b < 0x80) {
      ++i;
      if (b == '\t') {
        out.append("\\t");
      } else if (b == '\n') {
        out.append("\\n");
      } else if (b == '\r') {
        out.append("\\r");
      } else {
        out.append("\\x");
        append_hex(out, b, 2);
      }
      continue;
    }
    std::size_t start = i;
    char32_t cp = unicode::next_code_point(text, i);
    if (unicode::is_printable(cp)) {
      out.append(text.substr(start, i - start));
    } else if (cp <= 0xFF) {
      out.append("\\x");
      append_hex(out, cp, 2);
    } else if (cp <= 0xFFFF) {
      out.append("\\u");
      append_hex(out, cp, 4);
    } else {
      out.append("\\U");
      append_hex(out, cp, 8);
    }
  }
  out.push_back(quote);
}

std::string string_literal(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  append_string_literal(out, text);
  return out;
}

void append_float_repr(std::string& out, double x, std::string_view nan,
                       std::string_view infinity) {
  if (std::isnan(x)) {
    out.append(nan);
  } else if (std::isinf(x)) {
    if (x < 0) out.push_back('-');
    out.append(infinity);
  } else {
    append_repr_digits(out, x);
  }
}

std::string float_repr(double x) {
  std::string out;
  append_float_repr(out, x);
  return out;
}

void append_literal_text(std::string& out, const JsonValue& value) {
  if (value.is_string()) {
    append_string_literal(out, value.as_string());
  } else {
    append_display_text(out, value);
  }
}

std::string literal_text(const JsonValue& value) {
  std::string out;
  append_literal_text(out, value);
  return out;
}

void append_display_text(std::string& out, const JsonValue& value) {
  switch (value.kind()) {
    case JsonValue::Kind::Null:
      out.append("None");
      return;
    case JsonValue::Kind::Bool:
      out.append(value.as_bool() ? "True" : "False");
      return;
    case JsonValue::Kind::Int:
      append_int(out, value.as_int());
      return;
    case JsonValue::Kind::Double:
      append_float_repr(out, value.as_double());
      return;
    case JsonValue::Kind::String:
      out.append(value.as_string());
      return;
    case JsonValue::Kind::List: {
      out.push_back('[');
      bool first = true;
      for (const JsonValue& item : value.as_list()) {
        if (!first) out.append(", ");
        first = false;
        append_literal_text(out, item);
      }
      out.push_back(']');
      return;
    }
    case JsonValue::Kind::Map: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, item] : value.as_map()) {
        if (!first) out.append(", ");
        first = false;
        append_string_literal(out, key);
        out.append(": ");
        append_literal_text(out, item);
      }
      out.push_back('}');
      return;
    }
    case JsonValue::Kind::Opaque:
      out.append(value.as_opaque().display);
      return;
  }
}

std::string display_text(const JsonValue& value) {
  if (value.is_string()) return value.as_string();
  std::string out;
  append_display_text(out, value);
  return out;
}

double round_to(double x, int ndigits) {
  if (!std::isfinite(x) || ndigits > kMaxRoundDigits) return x;
  if (ndigits < kMinRoundDigits) return std::copysign(0.0, x);
  std::string text;
  if (std::signbit(x)) text.push_back('-');
  std::string digits = rounded_digits(x, ndigits);
  text.append(digits.empty() ? "0" : digits);
  text.push_back('e');
  append_int(text, -static_cast<std::int64_t>(ndigits));
  double rounded = 0.0;
  auto result = std::from_chars(text.data(), text.data() + text.size(), rounded);
  if (result.ec == std::errc::result_out_of_range) {
    // Only overflow is possible: every non-zero result is at least 1e-323.
    throw std::overflow_error("rounded value too large to represent");
  }
  return rounded;
}

std::string format_fixed(double x, int ndigits) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  std::size_t places = static_cast<std::size_t>(std::max(0, ndigits));
  std::string digits = rounded_digits(x, static_cast<int>(places));
  if (digits.size() < places + 1) digits.insert(0, places + 1 - digits.size(), '0');
  std::size_t integer_digits = digits.size() - places;
  std::size_t leading_zeros = 0;
  while (leading_zeros + 1 < integer_digits && digits[leading_zeros] == '0') ++leading_zeros;
  std::string out;
  out.reserve(digits.size() + 2);
  if (std::signbit(x)) out.push_back('-');
  out.append(digits, leading_zeros, integer_digits - leading_zeros);
  if (places > 0) {
    out.push_back('.');
    out.append(digits, integer_digits, places);
  }
  return out;
}

}  // namespace tessarin
