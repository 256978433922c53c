// Text helpers of the resolver steps that read the message: code points,
// regex group text and the values of matched digit runs.
#include "tessarin/turnmend/message_text.h"

#include <charconv>
#include <limits>

#include "tessarin/common/unicode.h"

namespace tessarin::turnmend::detail {

std::u32string lowered_code_points(std::string_view text) {
  return unicode::to_lower(std::u32string_view(unicode::decode_utf8(text)));
}

bool has_decimal_digit(std::u32string_view text) {
  for (char32_t c : text)
    if (unicode::is_decimal(c)) return true;
  return false;
}

std::string group_text(const RegexMatch& match, std::u32string_view text, std::size_t group) {
  return unicode::encode_utf8(match.group(text, group));
}

std::optional<std::int64_t> digits_to_int64(std::u32string_view digits) {
  if (digits.empty()) return std::nullopt;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t value = 0;
  for (char32_t c : digits) {
    int digit = unicode::decimal_value(c);
    if (digit < 0) return std::nullopt;
    if (value > (kMax - digit) / 10) {
      value = kMax;
    } else {
      value = value * 10 + digit;
    }
  }
  return value;
}

std::optional<double> decimal_to_double(std::u32string_view text) {
  std::string ascii;
  ascii.reserve(text.size());
  bool seen_point = false, digit_before_point = false, digit_after_point = false;
  bool nonzero_integer_part = false;
  for (char32_t c : text) {
    if (c == U'.') {
      if (seen_point) return std::nullopt;
      seen_point = true;
      ascii.push_back('.');
      continue;
    }
    int digit = unicode::decimal_value(c);
    if (digit < 0) return std::nullopt;
    (seen_point ? digit_after_point : digit_before_point) = true;
    if (!seen_point && digit != 0) nonzero_integer_part = true;
    ascii.push_back(static_cast<char>('0' + digit));
  }
  if (!digit_before_point && !digit_after_point) return std::nullopt;
  double value = 0.0;
  auto [end, error] = std::from_chars(ascii.data(), ascii.data() + ascii.size(), value);
  if (error == std::errc::result_out_of_range)
    return nonzero_integer_part ? std::numeric_limits<double>::infinity() : 0.0;
  if (error != std::errc() || end != ascii.data() + ascii.size()) return std::nullopt;
  return value;
}

}  // namespace tessarin::turnmend::detail
