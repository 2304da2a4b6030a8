#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sim/elf_builder.h"
#include "sim/serial_boot_device.h"
#include "support/fake_window.h"

namespace kestrel::test {

// What the serial tests share: the COM port they use, the success box, the image they send and
// what every ending leaves behind.
inline constexpr int kSerialTestCom = 2;

inline const Shown kDownloadFinished{"Download Finished!", "Update"};

inline std::vector<uint8_t> serialTestImage(size_t n) {
  return sim::patternBytes(n, 17);
}

// The state every serial update leaves behind, however it ended.
inline void expectSerialAtRest(const FakeWindow& w) {
  EXPECT_FALSE(w.serialPortHandle.isOpen());
  EXPECT_FALSE(w.serialPortClaim.held());
  EXPECT_EQ(w.BaudIndex.load(), 0);
  EXPECT_EQ(int(w.searchStopped.load()), 1);
  EXPECT_FALSE(w.serialUpdateRunning.load());
  EXPECT_TRUE(w.runEnabled());
}

// Every byte reached the device at the speed it was written at: no change of the line's settings
// came while bytes were still on their way.
inline void expectNothingGarbled(const sim::SerialBootDevice& device) {
  for (const sim::LineByte& b : device.received()) {
    EXPECT_NE(b.baud, 0u) << "byte 0x" << std::hex << int(b.byte) << std::dec << " at " << b.ms
                          << " ms left the port after its settings changed";
  }
}

// The device's flash holds `image`, zero-padded to whole blocks.
inline void expectFlashed(const sim::SerialBootDevice& device, std::vector<uint8_t> image) {
  auto flash = device.image();
  image.resize(flash.size(), 0);
  EXPECT_EQ(flash, image);
  EXPECT_EQ(device.checksumErrors(), 0);
}

}  // namespace kestrel::test
