// Fuzz target: loading a prepared catalog from its serialized form. The
// input is the part after the checksum; its first byte says whether the
// checksum is made to match (so that the decoders are reached) or not.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "fuzz_input.h"
#include "tessarin/schemasift/catalog_codec.h"
#include "tessarin/schemasift/prepared.h"
#include "tessarin/schemasift/selector.h"

using namespace tessarin;
using namespace tessarin::schemasift;

namespace {

// The magic text and the format number, as any serialized form begins.
const std::string& head() {
  static const std::string text = PreparedCatalog(MetadataCatalog{}).serialize().substr(0, 27);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view body = fuzz::input_text(data + 1, size - 1);
  bool sealed = (data[0] & 1) != 0;
  std::uint64_t sum = codec::checksum(body) ^ (sealed ? 0 : 1);
  std::string form = head();
  for (int b = 0; b < 8; ++b) form.push_back(static_cast<char>((sum >> (8 * b)) & 0xFF));
  form.append(body);
  std::shared_ptr<PreparedCatalog> prepared;
  try {
    prepared = PreparedCatalog::deserialize(form);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  if (!sealed) std::abort();  // a wrong checksum was accepted
  static const Schemasift selector;
  for (const char* question : {"total revenue by region", "orders per customer last month"})
    (void)selector.select(question, *prepared);
  // What was read writes back as it was read.
  std::string written = prepared->serialize();
  if (PreparedCatalog::deserialize(written)->serialize() != written) std::abort();
  return 0;
}
