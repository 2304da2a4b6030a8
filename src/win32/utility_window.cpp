#include "win32/utility_window.h"

// After windows.h (through utility_window.h), which they build on.
#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/windows_text.h"
#include "win32/dialogs.h"
#include "win32/resource.h"

namespace kestrel {
namespace {

// lParam: a const std::function<void()>* to run on the window's thread.
constexpr UINT kRunOnWindowThread = WM_APP + 1;
// A message that is never posted: peeking for it lets only sent messages through.
constexpr UINT kNeverPosted = WM_APP + 2;

std::wstring executableName() {
  // The buffer grows until the whole path fits: a program in a deep folder has a long one.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = ::GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  std::wstring name = path;
  size_t slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) name = name.substr(slash + 1);
  size_t dot = name.rfind(L'.');
  if (dot != std::wstring::npos) name = name.substr(0, dot);
  return name;
}

std::wstring controlText(HWND dialog, int id) {
  HWND control = ::GetDlgItem(dialog, id);
  int n = ::GetWindowTextLengthW(control);
  std::wstring text(size_t(n) + 1, L'\0');
  ::GetWindowTextW(control, text.data(), n + 1);
  text.resize(size_t(n));
  return text;
}

UINT iconStyle(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::Warning:
      return MB_ICONWARNING;
    case MessageIcon::Error:
      return MB_ICONERROR;
    case MessageIcon::Information:
      return MB_ICONINFORMATION;
    default:
      return 0;
  }
}

bool isDialog(HWND hwnd) {
  wchar_t className[16] = {};
  ::GetClassNameW(hwnd, className, 16);
  return std::wstring(className) == L"#32770";
}

// Answers a message box of a thread whose window is closing.
BOOL CALLBACK answerBox(HWND hwnd, LPARAM) {
  if (isDialog(hwnd)) ::PostMessageW(hwnd, WM_COMMAND, IDOK, 0);
  return TRUE;
}

// Ends a dialog of the window's thread other than the window (lParam): the About box, the Service
// dialog, the Open dialog and a box take Cancel (a box with OK alone takes it as OK); a question
// takes No.
BOOL CALLBACK dismissDialog(HWND hwnd, LPARAM window) {
  if (hwnd == reinterpret_cast<HWND>(window) || !isDialog(hwnd)) return TRUE;
  ::PostMessageW(hwnd, WM_COMMAND, ::GetDlgItem(hwnd, IDNO) ? IDNO : IDCANCEL, 0);
  return TRUE;
}

}  // namespace

UtilityWindow::UtilityWindow(HINSTANCE instance, Clock& clock, SerialBackend& serial, HidApi& hid,
                             FileSystem& files)
    : WindowBehaviour(clock, serial, hid, files), instance_(instance), appName_(executableName()) {
  letThroughWhileEnding([this] { pumpWhileClosing(); });
  bigIcon_ = static_cast<HICON>(
      ::LoadImageW(instance_, MAKEINTRESOURCEW(IDI_WINDOW_ICON), IMAGE_ICON, 32, 32, 0));
  smallIcon_ = static_cast<HICON>(
      ::LoadImageW(instance_, MAKEINTRESOURCEW(IDI_WINDOW_ICON), IMAGE_ICON, 16, 16, 0));
}

UtilityWindow::~UtilityWindow() {
  endWorkers();
  exitIfWorkersStuck(0);
  if (bigIcon_) ::DestroyIcon(bigIcon_);
  if (smallIcon_) ::DestroyIcon(smallIcon_);
}

void UtilityWindow::run() {
  windowThread_ = ::GetCurrentThreadId();
  ::DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_UTILITY), nullptr, dialogProc,
                    reinterpret_cast<LPARAM>(this));
  hwnd_ = nullptr;
}

INT_PTR CALLBACK UtilityWindow::dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<UtilityWindow*>(lParam);
    ::SetWindowLongPtrW(hwnd, DWLP_USER, LONG_PTR(self));
    self->hwnd_ = hwnd;
  }
  auto* self = reinterpret_cast<UtilityWindow*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  return self ? self->handle(message, wParam, lParam) : FALSE;
}

INT_PTR UtilityWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      initialise();
      return TRUE;  // the focus goes to the first control in tab order, the port list
    case kRunOnWindowThread:
      if (!closing()) (*reinterpret_cast<const std::function<void()>*>(lParam))();
      return TRUE;
    case WM_COMMAND: {
      int id = LOWORD(wParam);
      if (id == IDOK) {
        // Enter, with the focus in the port list or a field.
        if (leaveBy(Road::Enter)) end(IDOK);
      } else if (id == IDCANCEL) {
        if (leaveBy(Road::Escape)) end(IDCANCEL);
      } else if (HIWORD(wParam) == BN_CLICKED) {
        onCommand(id);
      }
      return TRUE;
    }
    case WM_CLOSE:
      if (leaveBy(Road::CloseRequest)) end(IDCANCEL);
      return TRUE;
    case WM_ENDSESSION:
      // The session ends (log-off, shutdown); the process may be ended at any moment once this
      // returns, so the update stops and the port is put back before. (WM_QUERYENDSESSION gets the
      // default answer: the session may end.)
      if (wParam) endSession();
      return TRUE;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == kAboutMenuCommand) {
        showAboutBox(*this);
        return TRUE;
      }
      if ((wParam & 0xFFF0) == kServiceMenuCommand) {
        showServiceDialog(*this);
        return TRUE;
      }
      return FALSE;
    case WM_PAINT:
      if (!::IsIconic(hwnd_)) return FALSE;
      paintMinimised();
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(bigIcon_);
    case WM_HELP:
      showHelp();
      return TRUE;
    default:
      return FALSE;
  }
}

void UtilityWindow::buildWindow(const std::vector<std::string>& ports,
                                std::span<const MenuItem> menu) {
  ::SetWindowTextW(hwnd_, toWide(std::string(kWindowTitle)).c_str());
  HWND list = ::GetDlgItem(hwnd_, IDC_PORT_LIST);
  for (const std::string& port : ports) {
    ::SendMessageW(list, CB_ADDSTRING, 0, LPARAM(toWide(port).c_str()));
  }
  ::SendDlgItemMessageW(hwnd_, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  ::SendDlgItemMessageW(hwnd_, IDC_PROGRESS, PBM_SETPOS, 0, 0);

  if (HMENU system = ::GetSystemMenu(hwnd_, FALSE)) {
    // Apart from the system's own items.
    ::AppendMenuW(system, MF_SEPARATOR, 0, nullptr);
    for (const MenuItem& item : menu) {
      if (item.text.empty()) {
        ::AppendMenuW(system, MF_SEPARATOR, 0, nullptr);
      } else {
        ::AppendMenuW(system, MF_STRING, UINT_PTR(item.command),
                      toWide(std::string(item.text)).c_str());
      }
    }
  }
  ::SendMessageW(hwnd_, WM_SETICON, ICON_BIG, LPARAM(bigIcon_));
  ::SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, LPARAM(smallIcon_));
}

void UtilityWindow::disableStop() {
  ::EnableWindow(::GetDlgItem(hwnd_, IDC_STOP), FALSE);
}

void UtilityWindow::onWindowThread(const std::function<void()>& f) {
  if (::GetCurrentThreadId() == windowThread_ || !hwnd_) {
    f();
    return;
  }
  if (closing()) return;
  ::SendMessageW(hwnd_, kRunOnWindowThread, 0, reinterpret_cast<LPARAM>(&f));
}

void UtilityWindow::readWindow() {
  onWindowThread([this] {
    PortIndex = int(::SendDlgItemMessageW(hwnd_, IDC_PORT_LIST, CB_GETCURSEL, 0, 0));
    firmwareTitle.set(toUtf8(controlText(hwnd_, IDC_FILE_FIELD)));
    statusText.set(toUtf8(controlText(hwnd_, IDC_STATUS_FIELD)));
  });
}

void UtilityWindow::refreshWindow() {
  onWindowThread([this] {
    ::SendDlgItemMessageW(hwnd_, IDC_PORT_LIST, CB_SETCURSEL, WPARAM(PortIndex.load()), 0);
    ::SetDlgItemTextW(hwnd_, IDC_FILE_FIELD, toWide(firmwareTitle.get()).c_str());
    ::SetDlgItemTextW(hwnd_, IDC_STATUS_FIELD, toWide(statusText.get()).c_str());
  });
}

void UtilityWindow::setStatus(const std::string& text) {
  onWindowThread([this, &text] {
    statusText.set(text);
    refreshWindow();
  });
}

void UtilityWindow::setProgress(int percent) {
  onWindowThread([this, percent] {
    ::SendDlgItemMessageW(hwnd_, IDC_PROGRESS, PBM_SETPOS, WPARAM(std::clamp(percent, 0, 100)), 0);
  });
}

void UtilityWindow::disableRun() {
  onWindowThread([this] {
    HWND run = ::GetDlgItem(hwnd_, IDC_RUN);
    ::EnableWindow(run, FALSE);
    ::UpdateWindow(run);
  });
}

void UtilityWindow::enableRun() {
  onWindowThread([this] {
    HWND run = ::GetDlgItem(hwnd_, IDC_RUN);
    ::EnableWindow(run, TRUE);
    ::UpdateWindow(run);
  });
}

int UtilityWindow::box(HWND owner, const std::string& text, const std::wstring& caption,
                       UINT type) {
  DWORD thread = ::GetCurrentThreadId();
  {
    std::lock_guard lock(boxesMutex_);
    boxThreads_.insert(thread);
  }
  int answer = ::MessageBoxW(owner, toWide(text).c_str(), caption.c_str(), type);
  std::lock_guard lock(boxesMutex_);
  boxThreads_.erase(boxThreads_.find(thread));
  return answer;
}

HWND UtilityWindow::boxOwner() const {
  HWND service = serviceDialog_.load();
  return service ? service : hwnd_;
}

void UtilityWindow::showMessage(const std::string& text, std::optional<std::string> caption,
                                MessageIcon icon) {
  if (closing()) return;
  box(boxOwner(), text, caption ? toWide(*caption) : appName_, MB_OK | iconStyle(icon));
}

void UtilityWindow::showAppMessage(const std::string& text) {
  if (closing()) return;
  // Owned by the window on its own thread; without owner on a worker, so that only the worker
  // waits for it.
  HWND owner = ::GetCurrentThreadId() == windowThread_ ? hwnd_ : nullptr;
  box(owner, text, appName_, MB_OK | MB_ICONWARNING);
}

std::optional<std::string> UtilityWindow::askForFile(const FileFilter& filter) {
  // Room for the longest path the system can hold, not MAX_PATH.
  std::vector<wchar_t> file(32768, L'\0');
  // Display text and pattern, each ended by a null, and a null that ends the list.
  std::wstring filters = toWide(std::string(filter.text));
  filters += L'\0';
  filters += toWide(std::string(filter.pattern));
  filters += L'\0';
  const std::wstring extension = toWide(std::string(filter.defaultExtension));
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = filters.c_str();  // c_str() adds the last null
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = DWORD(file.size());
  ofn.lpstrDefExt = extension.c_str();
  // The read-only check box hidden; neither the file nor its folder has to exist.
  ofn.Flags = OFN_HIDEREADONLY | OFN_EXPLORER;
  if (!::GetOpenFileNameW(&ofn)) return std::nullopt;
  return toUtf8(file.data());
}

void UtilityWindow::paintMinimised() {
  PAINTSTRUCT ps;
  HDC dc = ::BeginPaint(hwnd_, &ps);
  ::SendMessageW(hwnd_, WM_ICONERASEBKGND, WPARAM(dc), 0);
  int cx = ::GetSystemMetrics(SM_CXICON);
  int cy = ::GetSystemMetrics(SM_CYICON);
  RECT r;
  ::GetClientRect(hwnd_, &r);
  int x = (r.right - r.left - cx + 1) / 2;
  int y = (r.bottom - r.top - cy + 1) / 2;
  ::DrawIcon(dc, x, y, bigIcon_);
  ::EndPaint(hwnd_, &ps);
}

bool UtilityWindow::askToClose(const std::string& question) {
  return box(hwnd_, question, appName_, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

void UtilityWindow::dismissDialogs() {
  ::EnumThreadWindows(windowThread_, dismissDialog, reinterpret_cast<LPARAM>(hwnd_));
}

void UtilityWindow::endWindow() {
  end(IDCANCEL);
}

void UtilityWindow::pumpWhileClosing() {
  MSG message;
  ::PeekMessageW(&message, nullptr, kNeverPosted, kNeverPosted, PM_NOREMOVE);
  std::set<DWORD> threads;
  {
    std::lock_guard lock(boxesMutex_);
    threads.insert(boxThreads_.begin(), boxThreads_.end());
  }
  for (DWORD thread : threads) {
    if (thread != windowThread_) ::EnumThreadWindows(thread, answerBox, 0);
  }
}

void UtilityWindow::end(INT_PTR result) {
  endWorkers();
  ::EndDialog(hwnd_, result);
}

}  // namespace kestrel
