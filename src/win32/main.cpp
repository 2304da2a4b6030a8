// kestrel-utility.exe: the window on Windows.

#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/process.h"
#include "platform/windows_text.h"
#include "win32/utility_app.h"
#include "window/window_content.h"

namespace {

const std::string kUsage =
    "usage: kestrel-utility [--help | --version]\n\n" + std::string(kestrel::kWindowSummary);

// Prints on the console the program was started from, or else in a box: a windowed program has
// no console of its own.
void tell(const std::string& text) {
  if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(), DWORD(text.size()), &written,
                nullptr);
    return;
  }
  ::MessageBoxW(nullptr, kestrel::toWide(text).c_str(), L"kestrel-utility", MB_OK);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  for (const std::string& arg : kestrel::commandLineArguments(0, nullptr)) {
    if (arg == "--help" || arg == "-h") {
      tell(kUsage);
      return 0;
    }
    if (arg == "--version" || arg == "-V") {
      tell("kestrel-utility " KESTREL_VERSION "\n");
      return 0;
    }
  }
  return kestrel::UtilityApp(instance).run();
}
