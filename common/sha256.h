// SHA-256 digest (FIPS 180-4), as hashlib.sha256.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessarin {

std::array<std::uint8_t, 32> sha256(std::string_view data);
// Lower-case hexadecimal digest, as hashlib.sha256(data).hexdigest().
std::string sha256_hex(std::string_view data);

// Whether the digest runs on the processor's SHA instructions.
bool sha256_accelerated();
// The digest by the portable code alone, to check the accelerated one.
std::string sha256_hex_portable(std::string_view data);

}  // namespace tessarin
