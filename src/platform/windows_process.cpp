// The process's set-up on Windows.

#include <io.h>
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include "platform/process.h"
#include "platform/windows_text.h"

namespace kestrel {

std::string systemErrorText(int code) {
  return windowsErrorText(DWORD(code));
}

// A Windows program has no numbered descriptors that an open could take over.
void ensureStandardDescriptors() {}

// Windows has no SIGPIPE: a write to a pipe whose reader has gone fails with an error.
void ignoreBrokenPipes() {}

// Windows has no file size limit that ends a process.
void ignoreFileSizeLimit() {}

std::vector<std::string> commandLineArguments(int, char**) {
  std::vector<std::string> args;
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!wide) return args;
  for (int i = 1; i < count; ++i) args.push_back(toUtf8(wide[i]));
  ::LocalFree(wide);
  return args;
}

bool stdoutIsTerminal() {
  return ::_isatty(1) != 0;
}

// A window learns of the session's end through WM_QUERYENDSESSION and WM_ENDSESSION.
int watchTerminationRequests() {
  return -1;
}

int takeTerminationRequest() {
  return 0;
}

}  // namespace kestrel
