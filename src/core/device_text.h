#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel {

// Bytes from the device, shown as text: each byte is the single-byte (Latin-1) character of its
// code, and the text ends at the first 0x00 as a C string would. The result is UTF-8, like every
// text the window shows.
std::string deviceText(const uint8_t* bytes, size_t n);

// True when every byte of `text` is ASCII: a character is then one byte on the line.
bool isAscii(const std::string& text);

}  // namespace kestrel
