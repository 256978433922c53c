// SHA-256 with the x86 SHA extensions when the processor has them, else the
// portable digest of common/sha256.h. Hashing the catalog's text is the
// largest single cost of a selection on a large catalog.
#pragma once

#include <string>
#include <string_view>

namespace tessarin::schemasift {

// Lower-case hexadecimal SHA-256 of data, the same as sha256_hex(data).
std::string sha256_hex_accelerated(std::string_view data);

// Whether sha256_hex_accelerated uses the processor's SHA instructions.
bool sha256_accelerated();

}  // namespace tessarin::schemasift
