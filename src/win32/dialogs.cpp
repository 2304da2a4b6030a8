#include "win32/dialogs.h"

#include <windows.h>

#include "platform/windows_text.h"
#include "win32/resource.h"
#include "win32/utility_window.h"

namespace kestrel {
namespace {

INT_PTR CALLBACK aboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        ::EndDialog(hwnd, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

struct Field {
  int id;
  SharedText UtilityWindow::*text;
};
constexpr Field kFields[] = {
    {IDC_CRADLE_ID, &UtilityWindow::cradleIdText},
    {IDC_COMMAND, &UtilityWindow::commandText},
    {IDC_FRAME, &UtilityWindow::frameText},
};

// The fields show what the window holds (a command may have changed it).
void load(HWND hwnd, UtilityWindow& window) {
  for (const Field& f : kFields) {
    ::SetDlgItemTextW(hwnd, f.id, toWide((window.*f.text).get()).c_str());
  }
}

INT_PTR CALLBACK serviceProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
  auto* window = reinterpret_cast<UtilityWindow*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      load(hwnd, *window);
      window->setServiceDialog(hwnd);
      return TRUE;
    case WM_COMMAND: {
      int id = LOWORD(wParam);
      if (id == IDCANCEL || id == IDOK) {
        ::EndDialog(hwnd, id);
        return TRUE;
      }
      if (HIWORD(wParam) == EN_CHANGE) {
        for (const Field& f : kFields) {
          if (f.id != id) continue;
          HWND edit = ::GetDlgItem(hwnd, id);
          int n = ::GetWindowTextLengthW(edit);
          std::wstring text(size_t(n) + 1, L'\0');
          ::GetWindowTextW(edit, text.data(), n + 1);
          text.resize(size_t(n));
          (window->*f.text).set(toUtf8(text));
        }
        return TRUE;
      }
      if (HIWORD(wParam) == BN_CLICKED) {
        window->onCommand(id);
        load(hwnd, *window);
        return TRUE;
      }
      return FALSE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

void showAboutBox(UtilityWindow& window) {
  ::DialogBoxParamW(window.instance(), MAKEINTRESOURCEW(IDD_ABOUT), window.handle(), aboutProc, 0);
}

void showServiceDialog(UtilityWindow& window) {
  ::DialogBoxParamW(window.instance(), MAKEINTRESOURCEW(IDD_SERVICE), window.handle(), serviceProc,
                    reinterpret_cast<LPARAM>(&window));
  window.setServiceDialog(nullptr);
}

}  // namespace kestrel
