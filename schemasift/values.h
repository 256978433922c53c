// Readings of catalog values: the flattened text, the stable hash and the
// forgiving float conversion.
#pragma once

#include <string>

#include "tessarin/common/json_value.h"

namespace tessarin::schemasift {

// Flattens a value to text: lists joined by blanks, maps as "key value" pairs.
std::string normalize_text(const JsonValue& text);

// First 16 hex digits of the SHA-256 of the value's sorted-key JSON text.
std::string stable_hash(const JsonValue& value);

// float(value), or default_value when the value does not convert.
double safe_float(const JsonValue& value, double default_value = 0.0);

}  // namespace tessarin::schemasift
