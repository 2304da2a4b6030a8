// kestrel-window-driver: works Kestrel Utility's window on Windows as a user would, through window
// messages, and says what it saw. For the tests under Wine.
//
//   kestrel-window-driver update PORT TITLE [PAUSE_MS]
//       chooses entry PORT of the port list (3 is COM3), types TITLE into the file field, presses
//       "Run ", answers every box with OK and checks that the update ends with "Download
//       Finished!" (caption "Update"), the bar full, the status "Download Finished!" and Run
//       enabled again. PAUSE_MS: how long the finished update stays on screen before its box is
//       answered (for a screenshot).
//   kestrel-window-driver about [PAUSE_MS]
//       opens the About box from the system menu, checks it and closes it with OK.
//   kestrel-window-driver close
//       closes the window.
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

namespace {

using Clk = std::chrono::steady_clock;

const wchar_t* kTitle = L"Kestrel Utility  V1.00 07-13-2009";

std::string narrow(const std::wstring& w) {
  int n = ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), int(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), int(w.size()), s.data(), n, nullptr, nullptr);
  return s;
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

// A message box (or another dialog) of the window's process other than the window itself.
struct Box {
  HWND hwnd = nullptr;
  std::wstring caption, text;
};
Box findBox(HWND main) {
  struct Search {
    HWND main;
    DWORD process;
    Box box;
  } search{main, 0, {}};
  ::GetWindowThreadProcessId(main, &search.process);
  ::EnumWindows(
      [](HWND hwnd, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        DWORD process = 0;
        ::GetWindowThreadProcessId(hwnd, &process);
        wchar_t cls[32] = {};
        ::GetClassNameW(hwnd, cls, 32);
        if (hwnd == s->main || process != s->process || std::wstring(cls) != L"#32770" ||
            !::IsWindowVisible(hwnd)) {
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

int update(int port, const std::wstring& title, int pauseMs) {
  HWND main = mainWindow();
  HWND ports = ::GetDlgItem(main, 1001), file = ::GetDlgItem(main, 1019);
  ::SendMessageW(ports, CB_SETCURSEL, WPARAM(port), 0);
  ::SendMessageW(file, WM_SETTEXT, 0, LPARAM(title.c_str()));
  if (::SendMessageW(ports, CB_GETCURSEL, 0, 0) != port || textOf(file) != title) {
    std::printf("the port list and the file field did not take port %d and \"%s\"\n", port,
                narrow(title).c_str());
    return 1;
  }
  HWND run = ::GetDlgItem(main, 1025);
  ::PostMessageW(main, WM_COMMAND, MAKEWPARAM(1025, BN_CLICKED), LPARAM(run));
  std::string lastStatus;
  int lastProgress = -1;
  bool finished = false;
  auto until = Clk::now() + std::chrono::seconds(120);
  while (!finished && Clk::now() < until) {
    std::string status = narrow(textOf(::GetDlgItem(main, 1024)));
    int progress = int(::SendMessageW(::GetDlgItem(main, 1021), PBM_GETPOS, 0, 0));
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
  int progress = int(::SendMessageW(::GetDlgItem(main, 1021), PBM_GETPOS, 0, 0));
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

}  // namespace

int main(int argc, char** argv) {
  std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "update" && argc >= 4) {
    std::string title = argv[3];
    return update(std::atoi(argv[2]), std::wstring(title.begin(), title.end()),
                  argc > 4 ? std::atoi(argv[4]) : 0);
  }
  if (verb == "about") return about(argc > 2 ? std::atoi(argv[2]) : 0);
  if (verb == "close") return close();
  std::printf(
      "usage: kestrel-window-driver update PORT TITLE [PAUSE_MS] | about [PAUSE_MS] | close\n");
  return 2;
}
