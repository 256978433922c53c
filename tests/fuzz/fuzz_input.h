// What the fuzz targets read their input as: the bytes as text, and the JSON
// value they hold, if they hold one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "tessarin/common/json_text.h"

namespace tessarin::fuzz {

inline std::string_view input_text(const std::uint8_t* data, std::size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

// The value the input reads as, or nothing for input that is not JSON.
inline std::optional<JsonValue> input_json(const std::uint8_t* data, std::size_t size) {
  try {
    return parse_json(input_text(data, size));
  } catch (const JsonParseError&) {
    return std::nullopt;
  }
}

}  // namespace tessarin::fuzz
