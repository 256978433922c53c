// Fuzz target: the catalog normalizer on any JSON value read from the input.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_input.h"
#include "tessarin/common/json_text.h"
#include "tessarin/schemasift/normalizer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::optional<tessarin::JsonValue> input = tessarin::fuzz::input_json(data, size);
  if (!input) return 0;
  const tessarin::JsonValue& value = *input;
  try {
    (void)tessarin::schemasift::CatalogNormalizer::normalize(value);
    (void)tessarin::schemasift::CatalogNormalizer::normalize(value, std::string("db"));
  } catch (const tessarin::schemasift::CatalogShapeError&) {
  }
  return 0;
}
