#pragma once

#include <cstdint>

namespace kestrel {

// The three bytes "U5U" with which the boot loader acknowledges a command or a block, on either
// link.
inline constexpr uint8_t kAckToken[] = {'U', '5', 'U'};
inline constexpr unsigned kAckTokenSize = sizeof kAckToken;

}  // namespace kestrel
