#include "win32/dialogs.h"

#include <windows.h>

#include <iterator>
#include <string>

#include "platform/windows_text.h"
#include "win32/resource.h"
#include "win32/utility_window.h"
#include "window/window_content.h"

namespace kestrel {
namespace {

std::wstring wide(std::string_view text) {
  return toWide(std::string(text));
}

INT_PTR CALLBACK aboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      ::SetWindowTextW(hwnd, wide(kAboutTitle).c_str());
      ::SetDlgItemTextW(hwnd, IDC_ABOUT_VERSION, wide(kAboutVersion).c_str());
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

// The Service dialog's rows, in dialog units: one field a row with its label, then the
// operations' buttons three a row. The template holds the dialog's frame and its Close button.
constexpr int kFieldTop = 7, kFieldRowStep = 17;
constexpr int kLabelLeft = 7, kLabelWidth = 50, kLabelHeight = 8, kLabelDrop = 2;
constexpr int kEditLeft = 60, kEditWidth = 193, kEditHeight = 13;
constexpr int kButtonTop = 60, kButtonLeft = 7, kButtonColumnStep = 83, kButtonRowStep = 16;
constexpr int kButtonWidth = 80, kButtonHeight = 14, kButtonsPerRow = 3;
constexpr int kFieldCount = int(std::size(kServiceFields));

// A control of `dialog` at x, y (width w, height h) in dialog units, in the dialog's font, next
// after `previous` in the tab order (first when there is none).
HWND addControl(HWND dialog, HWND previous, const wchar_t* className, DWORD exStyle, DWORD style,
                std::string_view text, int id, int x, int y, int w, int h) {
  RECT r{x, y, x + w, y + h};
  ::MapDialogRect(dialog, &r);
  HWND control =
      ::CreateWindowExW(exStyle, className, wide(text).c_str(), WS_CHILD | WS_VISIBLE | style,
                        r.left, r.top, r.right - r.left, r.bottom - r.top, dialog,
                        reinterpret_cast<HMENU>(INT_PTR(id)), ::GetModuleHandleW(nullptr), nullptr);
  if (!control) return previous;
  ::SendMessageW(control, WM_SETFONT, ::SendMessageW(dialog, WM_GETFONT, 0, 0), FALSE);
  ::SetWindowPos(control, previous ? previous : HWND_TOP, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  return control;
}

void buildService(HWND hwnd) {
  ::SetWindowTextW(hwnd, wide(kServiceTitle).c_str());
  ::SetDlgItemTextW(hwnd, IDCANCEL, wide(kServiceClose).c_str());
  HWND last = nullptr;
  for (int i = 0; i < kFieldCount; ++i) {
    const int y = kFieldTop + i * kFieldRowStep;
    last = addControl(hwnd, last, L"STATIC", 0, SS_LEFT | WS_GROUP, kServiceFields[i].label,
                      IDC_STATIC, kLabelLeft, y + kLabelDrop, kLabelWidth, kLabelHeight);
    last = addControl(hwnd, last, L"EDIT", WS_EX_CLIENTEDGE, ES_AUTOHSCROLL | WS_TABSTOP, "",
                      IDC_SERVICE_FIELD + i, kEditLeft, y, kEditWidth, kEditHeight);
  }
  int i = 0;
  for (const ServiceOperation& operation : kServiceOperations) {
    const int x = kButtonLeft + (i % kButtonsPerRow) * kButtonColumnStep;
    const int y = kButtonTop + (i / kButtonsPerRow) * kButtonRowStep;
    last = addControl(hwnd, last, L"BUTTON", 0, BS_PUSHBUTTON | WS_TABSTOP, operation.label,
                      operation.command, x, y, kButtonWidth, kButtonHeight);
    ++i;
  }
}

// The fields show what the window holds (a command may have changed it).
void load(HWND hwnd, UtilityWindow& window) {
  for (int i = 0; i < kFieldCount; ++i) {
    ::SetDlgItemTextW(hwnd, IDC_SERVICE_FIELD + i,
                      toWide((window.*kServiceFields[i].text).get()).c_str());
  }
}

INT_PTR CALLBACK serviceProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
  auto* window = reinterpret_cast<UtilityWindow*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      buildService(hwnd);
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
        const int field = id - IDC_SERVICE_FIELD;
        if (field < 0 || field >= kFieldCount) return TRUE;
        HWND edit = ::GetDlgItem(hwnd, id);
        int n = ::GetWindowTextLengthW(edit);
        std::wstring text(size_t(n) + 1, L'\0');
        ::GetWindowTextW(edit, text.data(), n + 1);
        text.resize(size_t(n));
        (window->*kServiceFields[field].text).set(toUtf8(text));
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
