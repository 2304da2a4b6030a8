#include "core/device_text.h"

namespace kestrel {

std::string deviceText(const uint8_t* bytes, size_t n) {
  std::string text;
  for (size_t i = 0; i < n && bytes[i] != 0; ++i) {
    uint8_t b = bytes[i];
    if (b < 0x80) {
      text.push_back(char(b));
    } else {
      text.push_back(char(0xC0 | (b >> 6)));
      text.push_back(char(0x80 | (b & 0x3F)));
    }
  }
  return text;
}

bool isAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace kestrel
