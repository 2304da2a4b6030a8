// The process's set-up on Windows.

#include <io.h>
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <cwchar>

#include "platform/process.h"
#include "platform/windows_text.h"

namespace kestrel {
namespace {

std::atomic<std::atomic<bool>*> stopFlag{nullptr};
// The requests counted, for stopRequestCount().
std::atomic<int> stopCount{0};
// Set by stopRequestsHandled(): a handler waiting for the program's end may return.
HANDLE handledEvent = nullptr;

// Runs on a thread the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  stopCount.fetch_add(1);
  if (std::atomic<bool>* flag = stopFlag.load()) flag->store(true);
  // The system ends the process when this returns from the last three: first the update ends and
  // the port is put back.
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && handledEvent) {
    ::WaitForSingleObject(handledEvent, kStopGraceMs);
  }
  return TRUE;
}

}  // namespace

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

std::string hostName() {
  wchar_t name[256];
  DWORD size = 256;
  if (!::GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return "";
  return toUtf8(std::wstring(name, size));
}

// A window learns of the session's end through WM_QUERYENDSESSION and WM_ENDSESSION.
int watchTerminationRequests() {
  return -1;
}

int takeTerminationRequest() {
  return 0;
}

void watchStopRequests(std::atomic<bool>* flag) {
  stopFlag = flag;
  if (!handledEvent) handledEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

int stopRequestCount() {
  return stopCount.load();
}

void stopRequestsHandled() {
  if (handledEvent) ::SetEvent(handledEvent);
}

bool runStopHandler(int code) {
  return onConsoleEvent(DWORD(code)) != FALSE;
}

int terminalColumns(int fd) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (h == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(h, &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

int terminalRows(int fd) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (h == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(h, &info)) return 0;
  return info.srWindow.Bottom - info.srWindow.Top + 1;
}

bool terminalMovesCursor(int fd) {
  HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  DWORD mode = 0;
  if (h == INVALID_HANDLE_VALUE || !::GetConsoleMode(h, &mode)) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  return ::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool sameOutput(int a, int b) {
  HANDLE ha = reinterpret_cast<HANDLE>(::_get_osfhandle(a));
  HANDLE hb = reinterpret_cast<HANDLE>(::_get_osfhandle(b));
  if (ha == INVALID_HANDLE_VALUE || hb == INVALID_HANDLE_VALUE) return false;
  if (ha == hb) return true;
  DWORD type = ::GetFileType(ha);
  if (type != ::GetFileType(hb)) return false;
  // One console serves both.
  if (type == FILE_TYPE_CHAR) return true;
  if (type == FILE_TYPE_DISK) {
    BY_HANDLE_FILE_INFORMATION ia, ib;
    return ::GetFileInformationByHandle(ha, &ia) && ::GetFileInformationByHandle(hb, &ib) &&
           ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
  }
  // Pipes: the same kernel object behind two handles (Windows 10 and later).
  using Compare = BOOL(WINAPI*)(HANDLE, HANDLE);
  auto compare = reinterpret_cast<Compare>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernelbase.dll"), "CompareObjectHandles")));
  return compare && compare(ha, hb);
}

// Writes to a Windows descriptor block until taken; there is nothing to wait for.
bool waitWritable(int, int) {
  return true;
}

bool isOwnTerminal(const std::string& path) {
  std::wstring name = toWide(path);
  if (name.size() > 4 && (name.compare(0, 4, L"\\\\.\\") == 0 || name.compare(0, 4, L"//./") == 0))
    name = name.substr(4);
  for (const wchar_t* console : {L"CON", L"CONIN$", L"CONOUT$"}) {
    if (_wcsicmp(name.c_str(), console) == 0) return true;
  }
  return false;
}

}  // namespace kestrel
