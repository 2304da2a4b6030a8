// Children of this program on Windows: CreateProcess of the module's own file.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/child_process.h"
#include "platform/windows_text.h"

namespace kestrel {
namespace {

// The exit code a child gets from kill(): it ended because its parent ended it.
constexpr UINT kKilledExitCode = 1;

class WindowsChild final : public Child {
 public:
  WindowsChild(HANDLE process, DWORD pid, HANDLE out, HANDLE stop)
      : process_(process), pid_(pid), out_(out), stop_(stop) {
    overlapped_.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~WindowsChild() override {
    ChildEnd end;
    if (!wait(0, &end)) {
      kill();
      wait(2000, &end);
    }
    if (pending_ && ::CancelIoEx(out_, &overlapped_)) {
      DWORD got = 0;
      ::GetOverlappedResult(out_, &overlapped_, &got, TRUE);
    }
    if (overlapped_.hEvent) ::CloseHandle(overlapped_.hEvent);
    ::CloseHandle(out_);
    ::CloseHandle(stop_);
    ::CloseHandle(process_);
  }

  int id() const override { return int(pid_); }

  int64_t read(char* out, size_t n, int timeoutMs) override {
    if (n == 0) return 0;
    if (taken_ < got_) return copyOut(out, n);
    if (!overlapped_.hEvent) return -1;
    if (!pending_) {
      ::ResetEvent(overlapped_.hEvent);
      got_ = taken_ = 0;
      DWORD got = 0;
      if (::ReadFile(out_, buffer_, sizeof buffer_, &got, &overlapped_)) {
        got_ = got;
        return got ? copyOut(out, n) : 0;
      }
      if (::GetLastError() != ERROR_IO_PENDING) return -1;  // ERROR_BROKEN_PIPE: it has ended.
      pending_ = true;
    }
    if (::WaitForSingleObject(overlapped_.hEvent, DWORD(std::max(timeoutMs, 0))) != WAIT_OBJECT_0)
      return 0;
    pending_ = false;
    DWORD got = 0;
    if (!::GetOverlappedResult(out_, &overlapped_, &got, FALSE)) return -1;
    got_ = got;
    return got ? copyOut(out, n) : 0;
  }

  void requestStop() override {
    std::lock_guard lock(mutex_);
    if (stopAsked_) return;
    stopAsked_ = true;
    // A pipe of one byte's load never fills; a child that has ended makes the write fail.
    DWORD written = 0;
    ::WriteFile(stop_, "s", 1, &written, nullptr);
  }

  void kill() override { ::TerminateProcess(process_, kKilledExitCode); }

  bool wait(int timeoutMs, ChildEnd* end) override {
    if (::WaitForSingleObject(process_, DWORD(std::max(timeoutMs, 0))) != WAIT_OBJECT_0) {
      return false;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process_, &code);
    end->code = code;
    end->crashed = code >= 0xC0000000u;
    return true;
  }

 private:
  int64_t copyOut(char* out, size_t n) {
    size_t k = std::min<size_t>(n, got_ - taken_);
    std::memcpy(out, buffer_ + taken_, k);
    taken_ += k;
    return int64_t(k);
  }

  const HANDLE process_;
  const DWORD pid_;
  const HANDLE out_;   // The pipe's server end, read overlapped.
  const HANDLE stop_;  // The writing end of the child's standard input.
  // The read in flight, and what it brought that read() has not given out yet: one reader.
  OVERLAPPED overlapped_{};
  bool pending_ = false;
  char buffer_[4096];
  size_t got_ = 0, taken_ = 0;
  std::mutex mutex_;  // Guards stopAsked_.
  bool stopAsked_ = false;
};

// One argument as CommandLineToArgvW reads it back: quoted when it holds a blank, a tab or a quote
// (or is empty), with the backslashes before a quote doubled.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

// Creating the child's handles and the child is one step at a time in this process: where the
// system does not honour the list of handles to hand on, a child started meanwhile would inherit
// another's pipe and keep it open after that one has ended.
std::mutex startMutex;

}  // namespace

std::string crashText(const ChildEnd& end) {
  char text[32];
  std::snprintf(text, sizeof text, "exception 0x%08lX", static_cast<unsigned long>(end.code));
  return text;
}

std::unique_ptr<Child> startSelf(const std::vector<std::string>& args, ChildError* error,
                                 ChildGroup group) {
  if (!copiesOfThisProgramAllowed) {
    *error = {ERROR_NOT_SUPPORTED,
              "cannot start a copy of this program: it is not one that runs a device's update "
              "as a child"};
    return nullptr;
  }
  auto fail = [&](const char* what, DWORD code) -> std::unique_ptr<Child> {
    *error = {int(code), std::string("cannot start a copy of this program: ") + what + ": " +
                             windowsErrorText(code)};
    return nullptr;
  };
  std::wstring exe(32768, L'\0');
  DWORD length = ::GetModuleFileNameW(nullptr, exe.data(), DWORD(exe.size()));
  if (length == 0 || length >= exe.size()) return fail("its file name", ::GetLastError());
  exe.resize(length);
  std::wstring commandLine = quoted(exe);
  for (const std::string& a : args) commandLine += L" " + quoted(toWide(a));

  static std::atomic<unsigned> counter{0};
  wchar_t name[96];
  std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\pipe\\kestrel-flash-%lu-%u-%llu",
                static_cast<unsigned long>(::GetCurrentProcessId()), counter++,
                static_cast<unsigned long long>(::GetTickCount64()));

  std::lock_guard lock(startMutex);
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE server = ::CreateNamedPipeW(
      name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 65536, 0, nullptr);
  if (server == INVALID_HANDLE_VALUE) return fail("its report pipe", ::GetLastError());
  HANDLE client = ::CreateFileW(name, GENERIC_WRITE, 0, &inherited, OPEN_EXISTING, 0, nullptr);
  if (client == INVALID_HANDLE_VALUE) {
    DWORD code = ::GetLastError();
    ::CloseHandle(server);
    return fail("its report pipe", code);
  }
  HANDLE stopRead = nullptr, stopWrite = nullptr;
  if (!::CreatePipe(&stopRead, &stopWrite, nullptr, 0) ||
      !::SetHandleInformation(stopRead, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
    DWORD code = ::GetLastError();
    for (HANDLE h : {server, client, stopRead, stopWrite}) {
      if (h) ::CloseHandle(h);
    }
    return fail("its input pipe", code);
  }
  HANDLE null = ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                              OPEN_EXISTING, 0, nullptr);
  auto closeOurs = [&] {
    for (HANDLE h : {client, stopRead, null}) {
      if (h && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    }
  };
  if (null == INVALID_HANDLE_VALUE) {
    DWORD code = ::GetLastError();
    closeOurs();
    ::CloseHandle(server);
    ::CloseHandle(stopWrite);
    return fail("the null device", code);
  }

  STARTUPINFOEXW start{};
  start.StartupInfo.cb = sizeof start;
  start.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  start.StartupInfo.hStdInput = stopRead;
  start.StartupInfo.hStdOutput = client;
  start.StartupInfo.hStdError = null;
  // Only these three go to the child.
  HANDLE handed[] = {stopRead, client, null};
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> list(size);
  // A group of its own: the console's Ctrl+C is not delivered to it (its stop request comes on
  // its standard input).
  DWORD flags = group == ChildGroup::Own ? CREATE_NEW_PROCESS_GROUP : 0;
  if (size && ::InitializeProcThreadAttributeList(
                  reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data()), 1, 0, &size)) {
    start.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
    if (::UpdateProcThreadAttribute(start.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                    handed, sizeof handed, nullptr, nullptr)) {
      flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
  }
  PROCESS_INFORMATION info{};
  BOOL started = ::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                                  nullptr, nullptr, &start.StartupInfo, &info);
  DWORD code = started ? 0 : ::GetLastError();
  if (start.lpAttributeList) ::DeleteProcThreadAttributeList(start.lpAttributeList);
  closeOurs();
  if (!started) {
    ::CloseHandle(server);
    ::CloseHandle(stopWrite);
    return fail("CreateProcess", code);
  }
  ::CloseHandle(info.hThread);
  return std::make_unique<WindowsChild>(info.hProcess, info.dwProcessId, server, stopWrite);
}

void watchParentStopRequests(std::atomic<bool>* flag) {
  HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return;
  // Blocked in ReadFile until the parent writes or goes; the process's end ends the thread.
  std::thread([in, flag] {
    char byte = 0;
    DWORD got = 0;
    if (::ReadFile(in, &byte, 1, &got, nullptr) && got == 1) flag->store(true);
  }).detach();
}

}  // namespace kestrel
