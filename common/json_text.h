// JSON text of a JsonValue, written as Python's json.dumps writes it, and
// read back (standard JSON plus NaN, Infinity, -Infinity).
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tessarin/common/json_value.h"

namespace tessarin {

struct JsonWriteOptions {
  bool sort_keys = false;
  int indent = -1;  // blanks per level; negative: no indentation
  bool ensure_ascii = true;
};

// json.dumps(value, sort_keys=..., indent=..., ensure_ascii=...).
std::string json_text(const JsonValue& value, const JsonWriteOptions& options = {});
void append_json_text(std::string& out, const JsonValue& value,
                      const JsonWriteOptions& options = {});

// The JSON string of s, quotes included, as json.dumps(s, ensure_ascii=...)
// writes it.
void append_json_string(std::string& out, std::string_view s, bool ensure_ascii);
// Whether json.dumps(s, ensure_ascii=False) is s between quotes: no byte of
// s is '"', '\\' or below 0x20. Reads eight bytes at a time.
bool json_string_is_plain(std::string_view s);

// Malformed JSON text; offset is the code-point offset of the fault.
class JsonParseError : public std::invalid_argument {
 public:
  JsonParseError(const std::string& what, std::size_t offset)
      : std::invalid_argument(what), offset(offset) {}
  std::size_t offset;
};

// json.loads(text) for the values of this system: key order kept, numbers
// with fraction or exponent as doubles, others as integers (int64; larger
// integers raise JsonParseError).
JsonValue parse_json(std::string_view text);

// The JSON text of a double as the writer gives it: repr() digits, NaN,
// Infinity and -Infinity.
void append_json_double(std::string& out, double x);

}  // namespace tessarin
