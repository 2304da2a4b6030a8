#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel {

// The SHA-256 digest of `n` bytes, as 64 lower-case hexadecimal digits.
std::string sha256Hex(const uint8_t* data, size_t n);

}  // namespace kestrel
