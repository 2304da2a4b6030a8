#include "platform/usb_location.h"

#include <filesystem>
#include <system_error>
#include <vector>

namespace kestrel {
namespace {

bool isNumber(std::string_view s) {
  if (s.empty() || s.size() > 3) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::vector<std::string_view> split(std::string_view s, char by) {
  std::vector<std::string_view> parts;
  for (;;) {
    size_t at = s.find(by);
    parts.push_back(s.substr(0, at));
    if (at == std::string_view::npos) return parts;
    s.remove_prefix(at + 1);
  }
}

}  // namespace

bool isUsbPortName(std::string_view name) {
  size_t dash = name.find('-');
  if (dash == std::string_view::npos || !isNumber(name.substr(0, dash))) return false;
  for (std::string_view port : split(name.substr(dash + 1), '.')) {
    if (!isNumber(port)) return false;
  }
  return true;
}

std::string usbLocationOfSysfsDevice(std::string_view devicePath, std::string_view root) {
  // Only what lies below the root counts: a root of its own may have any names in it.
  while (!root.empty() && root.back() == '/') root.remove_suffix(1);
  if (devicePath.substr(0, root.size()) != root) return {};
  devicePath.remove_prefix(root.size());
  if (!devicePath.empty() && devicePath.front() != '/') return {};
  std::vector<std::string_view> folders = split(devicePath, '/');
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    if (isUsbPortName(*it)) return std::string(*it);
  }
  return {};
}

std::string hidrawUsbLocation(const std::string& sysfsRoot, const std::string& node) {
  namespace fs = std::filesystem;
  if (node.empty() || node.find('/') != std::string::npos || node == "." || node == "..") return {};
  std::error_code ec;
  fs::path root = fs::canonical(sysfsRoot, ec);
  if (ec) return {};
  fs::path device = fs::canonical(root / "class" / "hidraw" / node / "device", ec);
  if (ec) return {};
  return usbLocationOfSysfsDevice(device.generic_string(), root.generic_string());
}

std::wstring usbPortLocationPath(const wchar_t* list, size_t units) {
  if (!list) return {};
  size_t length = 0;
  while (length < units && list[length] != L'\0') ++length;
  std::wstring first(list, length);
  // The last element: "USB(2)" is a port of a hub, "USBMI(0)" an interface of a device on one.
  size_t hash = first.rfind(L'#');
  std::wstring last = hash == std::wstring::npos ? first : first.substr(hash + 1);
  if (last.size() < 6 || last.compare(0, 4, L"USB(") != 0 || last.back() != L')') return {};
  for (size_t i = 4; i + 1 < last.size(); ++i) {
    if (last[i] < L'0' || last[i] > L'9') return {};
  }
  return first;
}

UsbNodeKind usbNodeKind(std::wstring_view id) {
  auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? wchar_t(c - L'a' + L'A') : c; };
  std::wstring up;
  for (wchar_t c : id) up += upper(c);
  if (up.compare(0, 4, L"USB\\") != 0) return UsbNodeKind::NotUsb;
  // The hardware part ends at the next backslash; the instance part after it is free text.
  std::wstring hardware = up.substr(4, up.find(L'\\', 4) - 4);
  return hardware.find(L"&MI_") != std::wstring::npos ? UsbNodeKind::Interface
                                                      : UsbNodeKind::Device;
}

std::string hidClaimName(std::string_view path) {
  // Kernel object names may hold anything but a backslash after their namespace.
  std::string name = "Global\\kestrel-hid-claim-";
  for (char c : path) {
    if (c == '\\') c = '/';
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    name += c;
  }
  return name;
}

}  // namespace kestrel
