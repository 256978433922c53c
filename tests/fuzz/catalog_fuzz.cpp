// Fuzz target: the catalog normalizer on any JSON value read from the input.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tessarin/common/json_text.h"
#include "tessarin/schemasift/normalizer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  tessarin::JsonValue value;
  try {
    value = tessarin::parse_json(text);
  } catch (const tessarin::JsonParseError&) {
    return 0;
  }
  try {
    (void)tessarin::schemasift::CatalogNormalizer::normalize(value);
    (void)tessarin::schemasift::CatalogNormalizer::normalize(value, std::string("db"));
  } catch (const tessarin::schemasift::CatalogShapeError&) {
  }
  return 0;
}
