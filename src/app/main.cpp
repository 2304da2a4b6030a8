#include <cstdio>
#include <cstring>

#include "app/utility_app.h"
#include "platform/process.h"

namespace {

constexpr const char* kUsage =
    "usage: kestrel-utility [Qt options]\n"
    "       kestrel-utility --help | --version\n"
    "\n"
    "Opens Kestrel Utility's window: choose the link (\"USB Port\" or COM1 to COM9), the\n"
    "firmware's ELF file (.out) and press \"Run \". For scripts, see kestrel-flash --help.\n"
    "\n"
    "options:\n"
    "  -h, --help     this text\n"
    "  -V, --version  the version\n"
    "Other options are Qt's, such as -platform NAME.\n";

}  // namespace

int main(int argc, char** argv) {
  kestrel::ensureStandardDescriptors();
  kestrel::ignoreFileSizeLimit();
  // Answered before any window (or display) is needed.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) {
      std::puts("kestrel-utility " KESTREL_VERSION);
      return 0;
    }
  }
  kestrel::UtilityApp app(argc, argv);
  return app.run();
}
