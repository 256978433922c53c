// Fuzz target: the JSON reader on any bytes, and the writer on what it reads
// (the text written must read back to a value that writes the same text).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "tessarin/common/display.h"
#include "tessarin/common/json_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::optional<tessarin::JsonValue> input = tessarin::fuzz::input_json(data, size);
  if (!input) return 0;
  const tessarin::JsonValue& value = *input;
  for (bool sort_keys : {false, true}) {
    tessarin::JsonWriteOptions options;
    options.sort_keys = sort_keys;
    options.ensure_ascii = !sort_keys;
    if (sort_keys) options.indent = 1;
    std::string written;
    tessarin::append_json_text(written, value, options);
    std::string again;
    tessarin::append_json_text(again, tessarin::parse_json(written), options);
    if (again != written) std::abort();
  }
  (void)tessarin::display_text(value);
  return 0;
}
