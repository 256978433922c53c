// float() of Python over text: white space around (Unicode white space
// counts), an optional sign, decimal digits of any script with single
// underscores between digits, a point and an exponent, or inf / infinity /
// nan in any case. Out-of-range values become infinity or 0.0 as Python's
// do. Nothing else is accepted (an embedded NUL included).
#pragma once

#include <optional>
#include <string_view>

namespace tessarin {

// The value, or nothing where float(text) raises ValueError. Throws
// unicode::Utf8Error on invalid UTF-8.
std::optional<double> parse_python_float(std::string_view utf8);

}  // namespace tessarin
