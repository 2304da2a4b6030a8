// kestrel-fuzz-seeds DIR: writes the ELF files of the test suite's conversion cases into DIR, as
// the fuzzer's starting corpus.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "sim/elf_builder.h"

using kestrel::sim::ElfBuilder;
using kestrel::sim::patternBytes;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  std::filesystem::create_directories(argv[1]);
  int n = 0;
  auto write = [&](const std::vector<uint8_t>& bytes) {
    std::ofstream f(std::string(argv[1]) + "/seed" + std::to_string(n++) + ".out",
                    std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  };
  write(ElfBuilder().build());
  write(ElfBuilder().add(0x100, {1, 2, 3}).build());
  write(ElfBuilder().add(0x0, patternBytes(0x100, 1)).add(0x800, patternBytes(0x10, 2)).build());
  write(ElfBuilder()
            .add(0x0, patternBytes(513, 3))
            .add(0x1000, {0xEE})
            .trailer(patternBytes(600, 4))
            .build());
  write(ElfBuilder()
            .add(0x0, patternBytes(0x100, 1))
            .add(0x1000, patternBytes(0x100, 2))
            .add(0x800, patternBytes(0x100, 3))
            .build());
  write(ElfBuilder().add(0x0, {5}).add({0x300, {}, 0x400, 0}).build());
  write(ElfBuilder().add(0x0, {1}).add(0x3FE00, patternBytes(0x200, 1)).build());
  write(ElfBuilder().add(0x1000, {1}).add(0x0FFF, {2}).build());
  write(ElfBuilder().add(0x0, {1, 2}).withoutTerminator().build());
  auto firmware = ElfBuilder()
                      .add(0x08000000, patternBytes(0x2000, 9))
                      .add(0x08003000, patternBytes(0x40, 8))
                      .build();
  write(firmware);
  firmware.resize(0x1000);  // cut short inside its first segment
  write(firmware);
  return 0;
}
