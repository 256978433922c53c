// Display text of values (the text Python's str() gives for the equivalent
// Python value), shortest round-trip float text, and decimal rounding and
// fixed-point formatting with exact ties-to-even (round(x, n), format(x, '.nf')).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tessarin/common/json_value.h"

namespace tessarin {

// str(value): a string is itself; None, True, False; ints in decimal; floats
// as float_repr; lists and maps with the literal form of their items.
std::string display_text(const JsonValue& value);
void append_display_text(std::string& out, const JsonValue& value);
// repr(value): a string in quotes with Python's escapes; else display text.
std::string literal_text(const JsonValue& value);
void append_literal_text(std::string& out, const JsonValue& value);
// repr() of a Python str.
std::string string_literal(std::string_view text);
void append_string_literal(std::string& out, std::string_view text);

// repr() of a Python float: shortest round-trip digits, "2.0", "1e-05",
// "1e+16", "inf", "-inf", "nan".
std::string float_repr(double x);
// The same with other spellings of NaN and infinity (a negative infinity
// is "-" and `infinity`).
void append_float_repr(std::string& out, double x, std::string_view nan = "nan",
                       std::string_view infinity = "inf");

// round(x, ndigits) for a float, on the exact binary value, ties to even.
double round_to(double x, int ndigits);
// format(x, '.{ndigits}f'), exact, ties to even.
std::string format_fixed(double x, int ndigits);

}  // namespace tessarin
