// kestrel-window-driver: works Kestrel Utility's window on Windows as a user would, through window
// messages, and says what it saw. For the tests under Wine.
//
//   kestrel-window-driver start
//       checks the window as it starts: its title, the port list's entries with "USB Port"
//       selected and the focus in it, Stop and "UPDATE" hidden and disabled, Run enabled.
//   kestrel-window-driver update PORT TITLE [PAUSE_MS]
//       chooses entry PORT of the port list (3 is COM3), types TITLE into the file field, presses
//       "Run ", answers every box with OK and checks that the update ends with "Download
//       Finished!" (caption "Update"), the bar full, the status "Download Finished!" and Run
//       enabled again. PAUSE_MS: how long the finished update stays on screen before its box is
//       answered (for a screenshot).
//   kestrel-window-driver about [PAUSE_MS]
//       opens the About box from the system menu, checks it and closes it with OK.
//   kestrel-window-driver service
//       opens the Service dialog from the system menu, checks that it shows every field and
//       operation whole, and raises a command that answers with a box ("Send command" with no code
//       typed); checks that the box is owned by the dialog and that the dialog takes no input while
//       the box is open; closes both.
//   kestrel-window-driver close
//       closes the window.
//   kestrel-window-driver close-search PORT TITLE
//       starts an update on PORT (a boot loader that never answers) and closes the window while it
//       searches: the window ends without a question.
//   kestrel-window-driver close-download PORT TITLE
//       starts an update on PORT and closes the window during the download: the question comes; No
//       keeps the window and the download, Yes ends the window.
//   kestrel-window-driver end-session PORT TITLE
//       starts an update on PORT and, during the download, ends the session as Windows does at
//       log-off (WM_QUERYENDSESSION, then WM_ENDSESSION): the window ends without a question.
// Exit status 0 when everything was as expected; every step has a deadline.

#include <windows.h>
// After windows.h, which it builds on.
#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "window/window_content.h"

namespace {

using Clk = std::chrono::steady_clock;

const wchar_t* kTitle = L"Kestrel Utility  V1.00 07-13-2009";

std::string narrow(const std::wstring& w) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), int(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), int(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::wstring widen(std::string_view s) {
  int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  std::wstring w(size_t(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
  return w;
}

std::wstring textOf(HWND hwnd) {
  wchar_t buf[1024] = {};
  // WM_GETTEXT works across processes for the standard controls.
  ::SendMessageW(hwnd, WM_GETTEXT, 1024, LPARAM(buf));
  return buf;
}

// Waits up to `seconds` for `found` to give a window.
template <class F>
HWND waitFor(F found, double seconds, const char* what) {
  auto until = Clk::now() + std::chrono::duration<double>(seconds);
  while (Clk::now() < until) {
    if (HWND h = found()) return h;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::printf("waited %.0f s for %s, in vain\n", seconds, what);
  std::exit(1);
}

// A dialog exists before its controls are made and WM_INITDIALOG has filled them; it is shown only
// after that. So a dialog is taken as found once it is visible.
HWND visible(HWND hwnd) {
  return hwnd && ::IsWindowVisible(hwnd) ? hwnd : nullptr;
}

HWND mainWindow() {
  return waitFor([] { return visible(::FindWindowW(L"#32770", kTitle)); }, 30, "the window");
}

// A message box (or another dialog) of the window's process other than the window itself and
// `other` (a dialog the caller knows of).
struct Box {
  HWND hwnd = nullptr;
  std::wstring caption, text;
};
Box findBox(HWND main, HWND other = nullptr) {
  struct Search {
    HWND main;
    HWND other;
    DWORD process;
    Box box;
  } search{main, other, 0, {}};
  ::GetWindowThreadProcessId(main, &search.process);
  ::EnumWindows(
      [](HWND hwnd, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        DWORD process = 0;
        ::GetWindowThreadProcessId(hwnd, &process);
        wchar_t cls[32] = {};
        ::GetClassNameW(hwnd, cls, 32);
        if (hwnd == s->main || hwnd == s->other || process != s->process ||
            std::wstring(cls) != L"#32770" || !::IsWindowVisible(hwnd)) {
          return TRUE;
        }
        s->box.hwnd = hwnd;
        s->box.caption = textOf(hwnd);
        // A message box's text is its static control 0xFFFF.
        if (HWND text = ::GetDlgItem(hwnd, 0xFFFF)) s->box.text = textOf(text);
        return FALSE;
      },
      LPARAM(&search));
  return search.box;
}

// Chooses entry `port` of the port list, types `title` and presses "Run ". False when the controls
// did not take them.
bool pressRun(HWND main, int port, const std::wstring& title) {
  HWND ports = ::GetDlgItem(main, 1001), file = ::GetDlgItem(main, 1019);
  ::SendMessageW(ports, CB_SETCURSEL, WPARAM(port), 0);
  ::SendMessageW(file, WM_SETTEXT, 0, LPARAM(title.c_str()));
  if (::SendMessageW(ports, CB_GETCURSEL, 0, 0) != port || textOf(file) != title) {
    std::printf("the port list and the file field did not take port %d and \"%s\"\n", port,
                narrow(title).c_str());
    return false;
  }
  ::PostMessageW(main, WM_COMMAND, MAKEWPARAM(1025, BN_CLICKED), LPARAM(::GetDlgItem(main, 1025)));
  return true;
}

// What a control shows and whether it lies whole inside its dialog's client area.
bool wholeInside(HWND dialog, HWND control) {
  RECT client, r;
  ::GetClientRect(dialog, &client);
  ::GetWindowRect(control, &r);
  ::MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&r), 2);
  return r.left >= client.left && r.top >= client.top && r.right <= client.right &&
         r.bottom <= client.bottom && r.right > r.left && r.bottom > r.top;
}

int start() {
  HWND main = mainWindow();
  HWND ports = ::GetDlgItem(main, 1001);
  std::vector<std::string> entries;
  int n = int(::SendMessageW(ports, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < n; ++i) {
    wchar_t text[64] = {};
    if (::SendMessageW(ports, CB_GETLBTEXTLEN, WPARAM(i), 0) < 64) {
      ::SendMessageW(ports, CB_GETLBTEXT, WPARAM(i), LPARAM(text));
    }
    entries.push_back(narrow(text));
  }
  int failures = 0;
  auto check = [&](bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    if (!ok) ++failures;
  };
  std::string list;
  for (const std::string& e : entries) list += (list.empty() ? "" : ", ") + e;
  check(entries == kestrel::portListEntries(), "the port list: " + list);
  check(::SendMessageW(ports, CB_GETCURSEL, 0, 0) == 0, "\"USB Port\" selected");
  DWORD thread = ::GetWindowThreadProcessId(main, nullptr);
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  check(::GetGUIThreadInfo(thread, &gui) && gui.hwndFocus == ports, "the focus in the port list");
  for (int hidden : {1022, 1026}) {
    HWND button = ::GetDlgItem(main, hidden);
    check(!::IsWindowVisible(button) && !::IsWindowEnabled(button),
          narrow(textOf(button)) + " hidden and disabled");
  }
  check(::IsWindowEnabled(::GetDlgItem(main, 1025)), "Run enabled");
  return failures == 0 ? 0 : 1;
}

int progressOf(HWND main) {
  return int(::SendMessageW(::GetDlgItem(main, 1021), PBM_GETPOS, 0, 0));
}

int update(int port, const std::wstring& title, int pauseMs) {
  HWND main = mainWindow();
  if (!pressRun(main, port, title)) return 1;
  HWND run = ::GetDlgItem(main, 1025);
  std::string lastStatus;
  int lastProgress = -1;
  bool finished = false;
  auto until = Clk::now() + std::chrono::seconds(120);
  while (!finished && Clk::now() < until) {
    std::string status = narrow(textOf(::GetDlgItem(main, 1024)));
    int progress = progressOf(main);
    if (status != lastStatus) std::printf("status   %s\n", (lastStatus = status).c_str());
    if (progress != lastProgress && (progress % 25 == 0 || progress == 99)) {
      std::printf("progress %d\n", lastProgress = progress);
    }
    Box box = findBox(main);
    if (box.hwnd) {
      std::printf("box      [%s] %s\n", narrow(box.caption).c_str(), narrow(box.text).c_str());
      finished = box.caption == L"Update" && box.text == L"Download Finished!";
      if (finished && pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
      ::PostMessageW(box.hwnd, WM_COMMAND, IDOK, 0);
      waitFor([&] { return ::IsWindow(box.hwnd) ? nullptr : main; }, 10, "the box to close");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!finished) {
    std::printf("the update did not finish within 120 s\n");
    return 1;
  }
  waitFor([&] { return ::IsWindowEnabled(run) ? run : nullptr; }, 10, "Run enabled again");
  std::string status = narrow(textOf(::GetDlgItem(main, 1024)));
  int progress = progressOf(main);
  std::printf("at rest  status \"%s\", progress %d, Run enabled\n", status.c_str(), progress);
  return status == "Download Finished!" && progress == 100 ? 0 : 1;
}

int about(int pauseMs) {
  HWND main = mainWindow();
  ::PostMessageW(main, WM_SYSCOMMAND, 0x0010, 0);
  HWND box = waitFor([] { return visible(::FindWindowW(L"#32770", L"About Merlin upgrade tool")); },
                     10, "the About box");
  std::wstring version;
  ::EnumChildWindows(
      box,
      [](HWND child, LPARAM p) -> BOOL {
        std::wstring t = textOf(child);
        if (t.rfind(L"Kestrel Version", 0) == 0) *reinterpret_cast<std::wstring*>(p) = t;
        return TRUE;
      },
      LPARAM(&version));
  std::printf("about    %s\n", narrow(version).c_str());
  if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  ::PostMessageW(::GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
  waitFor([&] { return ::IsWindow(box) ? nullptr : main; }, 10, "the About box to close");
  return version == L"Kestrel Version 1.00" ? 0 : 1;
}

int close() {
  HWND main = mainWindow();
  ::PostMessageW(main, WM_CLOSE, 0, 0);
  waitFor([&] { return ::IsWindow(main) ? nullptr : HWND(1); }, 10, "the window to close");
  std::printf("closed\n");
  return 0;
}

int service() {
  HWND main = mainWindow();
  ::PostMessageW(main, WM_SYSCOMMAND, 0x0020, 0);
  HWND dialog = waitFor([] { return visible(::FindWindowW(L"#32770", L"Service")); }, 10,
                        "the Service dialog");
  int missing = 0;
  for (const kestrel::ServiceOperation& operation : kestrel::kServiceOperations) {
    HWND button = ::GetDlgItem(dialog, operation.command);
    if (!button || textOf(button) != widen(operation.label) || !::IsWindowVisible(button) ||
        !wholeInside(dialog, button)) {
      std::printf("operation %d \"%s\": not shown whole\n", operation.command,
                  std::string(operation.label).c_str());
      ++missing;
    }
  }
  for (int field = 0; field < int(std::size(kestrel::kServiceFields)); ++field) {
    HWND edit = ::GetDlgItem(dialog, 2001 + field);
    if (!edit || !wholeInside(dialog, edit)) {
      std::printf("field %s: not shown whole\n",
                  std::string(kestrel::kServiceFields[field].name).c_str());
      ++missing;
    }
  }
  std::printf("service  %d operations and %d fields, %d not shown whole\n",
              int(std::size(kestrel::kServiceOperations)), int(std::size(kestrel::kServiceFields)),
              missing);
  ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(1034, BN_CLICKED),
                 LPARAM(::GetDlgItem(dialog, 1034)));
  Box box;
  waitFor([&] { return (box = findBox(main, dialog)).hwnd; }, 10, "the command's box");
  HWND owner = ::GetWindow(box.hwnd, GW_OWNER);
  bool dialogBlocked = !::IsWindowEnabled(dialog);
  std::printf("box      [%s] %s, owned by %s; the Service dialog %s\n", narrow(box.caption).c_str(),
              narrow(box.text).c_str(),
              owner == dialog ? "the Service dialog"
              : owner == main ? "the window"
                              : "another",
              dialogBlocked ? "takes no input" : "takes input");
  ::PostMessageW(box.hwnd, WM_COMMAND, IDOK, 0);
  waitFor([&] { return ::IsWindow(box.hwnd) ? nullptr : main; }, 10, "the box to close");
  waitFor([&] { return ::IsWindowEnabled(dialog) ? dialog : nullptr; }, 10,
          "the Service dialog to take input again");
  ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  waitFor([&] { return ::IsWindow(dialog) ? nullptr : main; }, 10, "the Service dialog to close");
  return box.text == L"Command Length error!" && owner == dialog && dialogBlocked && missing == 0
             ? 0
             : 1;
}

// Waits for the window to end; fails when a box comes first.
int endsWithoutABox(HWND main, const char* how) {
  auto until = Clk::now() + std::chrono::seconds(10);
  while (::IsWindow(main) && Clk::now() < until) {
    Box box = findBox(main);
    if (box.hwnd && ::IsWindow(main)) {
      std::printf("%s: a box came: [%s] %s\n", how, narrow(box.caption).c_str(),
                  narrow(box.text).c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (::IsWindow(main)) {
    std::printf("%s: the window still shows after 10 s\n", how);
    return 1;
  }
  std::printf("%s: the window ended without a question\n", how);
  return 0;
}

// Starts the update and waits until its download has begun (the bar moves).
HWND downloading(int port, const std::wstring& title) {
  HWND main = mainWindow();
  if (!pressRun(main, port, title)) std::exit(1);
  waitFor([&] { return progressOf(main) > 0 ? main : nullptr; }, 60, "the download's first block");
  return main;
}

int closeSearch(int port, const std::wstring& title) {
  HWND main = mainWindow();
  if (!pressRun(main, port, title)) return 1;
  waitFor([&] { return textOf(::GetDlgItem(main, 1024)) == L"Search Device..." ? main : nullptr; },
          30, "\"Search Device...\"");
  ::PostMessageW(main, WM_CLOSE, 0, 0);
  return endsWithoutABox(main, "closed during the search");
}

int closeDownload(int port, const std::wstring& title) {
  HWND main = downloading(port, title);
  const std::wstring question =
      L"An update is running. Closing now leaves the device without working firmware. Close "
      L"anyway?";
  for (int answer : {IDNO, IDYES}) {
    ::PostMessageW(main, WM_CLOSE, 0, 0);
    Box box;
    waitFor([&] { return (box = findBox(main)).hwnd; }, 10, "the close question");
    std::printf("box      [%s] %s\n", narrow(box.caption).c_str(), narrow(box.text).c_str());
    if (box.text != question) return 1;
    int before = progressOf(main);
    ::PostMessageW(box.hwnd, WM_COMMAND, answer, 0);
    if (answer == IDNO) {
      waitFor([&] { return ::IsWindow(box.hwnd) ? nullptr : main; }, 10, "the question to close");
      waitFor([&] { return progressOf(main) > before ? main : nullptr; }, 30,
              "the download to go on after No");
      std::printf("No: the window stays and the download goes on (%d%%)\n", progressOf(main));
    }
  }
  waitFor([&] { return ::IsWindow(main) ? nullptr : HWND(1); }, 10,
          "the window to close after Yes");
  std::printf("Yes: the window ended\n");
  return 0;
}

// A COM port's settings and time-outs, as a program that opens it finds them.
struct PortSettings {
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  bool read = false;

  std::string describe() const {
    char text[200];
    std::snprintf(text, sizeof text,
                  "%lu bit/s, %d data bits, parity %d, stop bits %d, DTR %d, RTS %d, CTS flow %d, "
                  "XON/XOFF %d/%d; time-outs %lu %lu %lu %lu %lu",
                  dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits, dcb.fDtrControl,
                  dcb.fRtsControl, dcb.fOutxCtsFlow, dcb.fOutX, dcb.fInX,
                  timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                  timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                  timeouts.WriteTotalTimeoutConstant);
    return read ? text : "unreadable";
  }
};

PortSettings portSettings(int port) {
  PortSettings s;
  std::wstring name = L"\\\\.\\COM" + std::to_wstring(port);
  HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
  if (h == INVALID_HANDLE_VALUE) return s;
  s.dcb.DCBlength = sizeof s.dcb;
  s.read = ::GetCommState(h, &s.dcb) && ::GetCommTimeouts(h, &s.timeouts);
  ::CloseHandle(h);
  return s;
}

int endSession(int port, const std::wstring& title) {
  const PortSettings found = portSettings(port);
  HWND main = downloading(port, title);
  DWORD_PTR mayEnd = 0;
  if (!::SendMessageTimeoutW(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 10000,
                             &mayEnd)) {
    std::printf("WM_QUERYENDSESSION went unanswered\n");
    return 1;
  }
  std::printf("WM_QUERYENDSESSION: %s\n", mayEnd ? "the session may end" : "refused");
  DWORD_PTR ignored = 0;
  ::SendMessageTimeoutW(main, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 10000, &ignored);
  if (!mayEnd || endsWithoutABox(main, "the session ended") != 0) return 1;
  // The window has ended: the port has its settings back.
  const PortSettings left = portSettings(port);
  std::printf("COM%d found: %s\nCOM%d left:  %s\n", port, found.describe().c_str(), port,
              left.describe().c_str());
  return found.read && left.describe() == found.describe() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "update" && argc >= 4) {
    std::string title = argv[3];
    return update(std::atoi(argv[2]), std::wstring(title.begin(), title.end()),
                  argc > 4 ? std::atoi(argv[4]) : 0);
  }
  if (verb == "start") return start();
  if (verb == "about") return about(argc > 2 ? std::atoi(argv[2]) : 0);
  if (verb == "service") return service();
  if (verb == "close") return close();
  if (argc == 4) {
    std::string title = argv[3];
    std::wstring wide(title.begin(), title.end());
    int port = std::atoi(argv[2]);
    if (verb == "close-search") return closeSearch(port, wide);
    if (verb == "close-download") return closeDownload(port, wide);
    if (verb == "end-session") return endSession(port, wide);
  }
  std::printf(
      "usage: kestrel-window-driver start | update PORT TITLE [PAUSE_MS] | about [PAUSE_MS] |\n"
      "       service |\n"
      "       close | close-search PORT TITLE | close-download PORT TITLE |\n"
      "       end-session PORT TITLE\n");
  return 2;
}
