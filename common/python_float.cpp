// float() of Python over text.
#include "tessarin/common/python_float.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string>

#include "tessarin/common/unicode.h"

namespace tessarin {

namespace {

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Python first maps non-ASCII white space to " " and non-ASCII decimal
// digits to ASCII ones; any other non-ASCII character makes the text invalid.
bool to_ascii_float_text(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  if (std::none_of(text.begin(), text.end(), [](char c) { return c & 0x80; })) {
    out.assign(text);
    return true;
  }
  for (char32_t c : unicode::decode_utf8(text)) {
    if (c < 127) {
      out.push_back(static_cast<char>(c));
    } else if (unicode::is_space(c)) {
      out.push_back(' ');
    } else if (int digit = unicode::decimal_value(c); digit >= 0) {
      out.push_back(static_cast<char>('0' + digit));
    } else {
      return false;
    }
  }
  return true;
}

// Underscores are allowed only between two digits; they are dropped.
bool drop_underscores(std::string& text) {
  if (text.find('_') == std::string::npos) return true;
  std::string out;
  out.reserve(text.size());
  char prev = '\0';
  for (char c : text) {
    if (c == '_') {
      if (!is_ascii_digit(prev)) return false;
    } else {
      if (prev == '_' && !is_ascii_digit(c)) return false;
      out.push_back(c);
    }
    prev = c;
  }
  if (prev == '_') return false;
  text = std::move(out);
  return true;
}

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
  if (text.size() != lower_word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower_word[i]) return false;
  }
  return true;
}

// digits ["." digits] | "." digits, then optionally [eE] [sign] digits.
bool is_decimal_literal(std::string_view body) {
  std::size_t i = 0, n = body.size();
  std::size_t int_digits = 0, frac_digits = 0;
  while (i < n && is_ascii_digit(body[i])) ++i, ++int_digits;
  if (i < n && body[i] == '.') {
    ++i;
    while (i < n && is_ascii_digit(body[i])) ++i, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return false;
  if (i < n && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    if (i < n && (body[i] == '+' || body[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < n && is_ascii_digit(body[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == n;
}

// Sign of the decimal exponent of the first significant digit, to tell an
// overflow from an underflow when the value is out of range.
bool magnitude_above_one(std::string_view body) {
  std::size_t exp_pos = body.find_first_of("eE");
  std::string_view mantissa = body.substr(0, exp_pos);
  long long exponent = 0;
  if (exp_pos != std::string_view::npos) {
    std::string_view e = body.substr(exp_pos + 1);
    bool negative = !e.empty() && e[0] == '-';
    if (!e.empty() && (e[0] == '+' || e[0] == '-')) e.remove_prefix(1);
    for (char c : e) {
      exponent = exponent * 10 + (c - '0');
      if (exponent > 1000000000LL) break;
    }
    if (negative) exponent = -exponent;
  }
  std::size_t point = mantissa.find('.');
  if (point == std::string_view::npos) point = mantissa.size();
  for (std::size_t i = 0; i < mantissa.size(); ++i) {
    if (mantissa[i] == '.' || mantissa[i] == '0') continue;
    long long position =
        i < point ? static_cast<long long>(point - i - 1) : -static_cast<long long>(i - point);
    return position + exponent >= 0;
  }
  return false;
}

}  // namespace

std::optional<double> parse_python_float(std::string_view text) {
  std::string ascii;
  if (!to_ascii_float_text(text, ascii)) return std::nullopt;
  if (ascii.find('\0') != std::string::npos) return std::nullopt;
  if (!drop_underscores(ascii)) return std::nullopt;
  std::string_view s = ascii;
  while (!s.empty() && is_c_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_c_space(s.back())) s.remove_suffix(1);
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  double value;
  if (equals_ignoring_case(s, "inf") || equals_ignoring_case(s, "infinity")) {
    value = std::numeric_limits<double>::infinity();
  } else if (equals_ignoring_case(s, "nan")) {
    value = std::numeric_limits<double>::quiet_NaN();
  } else {
    if (!is_decimal_literal(s)) return std::nullopt;
    auto result = std::from_chars(s.data(), s.data() + s.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
      value = magnitude_above_one(s) ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (result.ec != std::errc() || result.ptr != s.data() + s.size()) {
      return std::nullopt;
    }
  }
  return negative ? -value : value;
}

}  // namespace tessarin
