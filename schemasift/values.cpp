// Readings of catalog values: flattened text, stable hash, forgiving float.
#include "tessarin/schemasift/values.h"

#include <stdexcept>

#include "tessarin/common/display.h"
#include "tessarin/common/json_text.h"
#include "tessarin/common/python_float.h"
#include "tessarin/common/sha256.h"

namespace tessarin::schemasift {

namespace {

void append_normalized(std::string& out, const JsonValue& value, int depth);

void append_normalized_list(std::string& out, const JsonList& list, int depth) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i) out.push_back(' ');
    append_normalized(out, list[i], depth + 1);
  }
}

void append_normalized_map(std::string& out, const JsonMap& map, int depth) {
  bool first = true;
  for (const auto& [key, item] : map) {
    if (!first) out.push_back(' ');
    first = false;
    out += key;
    out.push_back(' ');
    append_normalized(out, item, depth + 1);
  }
}

// Values from Python are acyclic but may be deep; refuse depths that would
// exhaust the native stack.
constexpr int kMaxDepth = 10000;

void append_normalized(std::string& out, const JsonValue& value, int depth) {
  if (depth > kMaxDepth) throw std::overflow_error("value nested too deeply");
  switch (value.kind()) {
    case JsonValue::Kind::Null:
      return;
    case JsonValue::Kind::List:
      append_normalized_list(out, value.as_list(), depth);
      return;
    case JsonValue::Kind::Map:
      append_normalized_map(out, value.as_map(), depth);
      return;
    default:
      append_display_text(out, value);
  }
}

}  // namespace

std::string normalize_text(const JsonValue& text) {
  std::string out;
  append_normalized(out, text, 0);
  return out;
}

std::string stable_hash(const JsonValue& value) {
  JsonWriteOptions options;
  options.sort_keys = true;
  options.indent = -1;
  options.ensure_ascii = false;
  return sha256_hex(json_text(value, options)).substr(0, 16);
}

double safe_float(const JsonValue& value, double default_value) {
  switch (value.kind()) {
    case JsonValue::Kind::Null:
      return default_value;
    case JsonValue::Kind::Bool:
      return value.as_bool() ? 1.0 : 0.0;
    case JsonValue::Kind::Int:
      return static_cast<double>(value.as_int());
    case JsonValue::Kind::Double:
      return value.as_double();
    case JsonValue::Kind::String:
      return parse_python_float(value.as_string()).value_or(default_value);
    default:
      return default_value;
  }
}

}  // namespace tessarin::schemasift
