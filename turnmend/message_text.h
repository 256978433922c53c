// Text helpers of the resolver steps that read the message: the message as
// lower-cased code points, regex group text, and the values of matched digit
// runs (any script's decimal digits).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tessarin/common/regex.h"

namespace tessarin::turnmend::detail {

// The message lower-cased, as code points.
std::u32string lowered_code_points(std::string_view text);

// Whether the text holds a decimal digit of any script (what \\d matches):
// patterns that need one cannot match without.
bool has_decimal_digit(std::u32string_view text);

// UTF-8 text of a matched group (empty when the group is unset).
std::string group_text(const RegexMatch& match, std::u32string_view text, std::size_t group);

// Value of a run of decimal digits of any script; saturates at the largest
// int64 (such a number names no real turn or count). Null when a character is
// not a decimal digit or the run is empty.
std::optional<std::int64_t> digits_to_int64(std::u32string_view digits);

// Value of digits with at most one full stop, as float() reads them: correctly
// rounded, infinity past the double range, 0.0 below it. Null when the text
// is not of that form.
std::optional<double> decimal_to_double(std::u32string_view text);

}  // namespace tessarin::turnmend::detail
