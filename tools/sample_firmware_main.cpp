// kestrel-sample-firmware: writes an ELF file with two loadable segments, for the demo and for
// trying the utility without a device's own firmware.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "sim/elf_builder.h"
#include "tool_usage.h"

namespace {

constexpr const char* kProgram = "kestrel-sample-firmware";

constexpr const char* kUsage =
    "usage: kestrel-sample-firmware [--] OUT.out [IMAGE_BYTES]\n"
    "       kestrel-sample-firmware --help\n"
    "\n"
    "Writes OUT.out, a little-endian ELF32 firmware file for trying Kestrel Utility and\n"
    "kestrel-flash without a device's own firmware: code at address 0, constant data in the\n"
    "image's last 512 bytes, zeros between. Its flat image is IMAGE_BYTES long: 0x200 to\n"
    "0x40000 (the most a device takes), decimal or 0x-hexadecimal, 0x40000 when not given.\n"
    "An existing OUT.out is replaced.\n"
    "\n"
    "  kestrel-sample-firmware sample.out          # 256 KiB image, 128 blocks\n"
    "  kestrel-sample-firmware small.out 0x1000    # 4 KiB image, 2 blocks\n"
    "\n"
    "options:\n"
    "  -h, --help   this text\n"
    "  --           what follows are no options\n"
    "\n"
    "OUT.out may not begin with '-' (write ./-name for such a file), so that a mistyped\n"
    "option never becomes a file.\n";

// IMAGE_BYTES: the whole argument a number within the limits.
bool parseSize(const std::string& text, unsigned long* size) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  *size = std::strtoul(text.c_str(), &end, 0);
  return *end == '\0' && *size >= 0x200 && *size <= 0x40000;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> operands;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && (arg == "--help" || arg == "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (!optionsEnded && kestrel::tools::looksLikeOption(arg)) {
      return kestrel::tools::usageError(kProgram, "unknown option '" + arg + "'");
    } else {
      operands.push_back(arg);
    }
  }
  if (operands.empty()) return kestrel::tools::usageError(kProgram, "no output file given");
  if (operands.size() > 2) {
    return kestrel::tools::usageError(kProgram, "too many arguments: '" + operands[2] + "'");
  }
  const std::string& out = operands[0];
  if (kestrel::tools::looksLikeOption(out)) {
    return kestrel::tools::usageError(
        kProgram, "'" + out + "' reads as an option, not a file name (write ./" + out + ")");
  }
  unsigned long size = 0x40000;
  if (operands.size() > 1 && !parseSize(operands[1], &size)) {
    return kestrel::tools::usageError(
        kProgram, "IMAGE_BYTES must be a number from 0x200 to 0x40000, not '" + operands[1] + "'");
  }
  // Code at the start, constant data in the last 512 bytes, zeros between.
  auto code = kestrel::sim::patternBytes(size / 2, 1);
  auto data = kestrel::sim::patternBytes(0x200, 77);
  auto file = kestrel::sim::ElfBuilder().add(0x0, code).add(uint32_t(size - 0x200), data).build();
  std::ofstream stream(out, std::ios::binary);
  stream.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  stream.close();
  if (!stream) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, out.c_str(), std::strerror(errno));
    return 1;
  }
  return 0;
}
