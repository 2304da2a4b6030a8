// kestrel-sample-firmware: writes an ELF file with two loadable segments, for the demo.
//
//   kestrel-sample-firmware OUT.out [IMAGE_BYTES]

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "sim/elf_builder.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUT.out [IMAGE_BYTES]\n", argv[0]);
    return 2;
  }
  unsigned long size = argc > 2 ? std::strtoul(argv[2], nullptr, 0) : 0x40000;
  if (size < 0x200 || size > 0x40000) {
    std::fprintf(stderr, "IMAGE_BYTES must be from 0x200 to 0x40000\n");
    return 2;
  }
  // Code at the start, constant data in the last 512 bytes, zeros between.
  auto code = kestrel::sim::patternBytes(size / 2, 1);
  auto data = kestrel::sim::patternBytes(0x200, 77);
  auto file = kestrel::sim::ElfBuilder().add(0x0, code).add(uint32_t(size - 0x200), data).build();
  std::ofstream out(argv[1], std::ios::binary);
  out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
