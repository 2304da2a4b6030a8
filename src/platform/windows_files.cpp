// Files on Windows. Paths are UTF-8 and go to the wide calls; the file calls get full paths in
// the "\\?\" form, which no MAX_PATH limits.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "platform/backends.h"
#include "platform/windows_text.h"
#include "platform_api/files.h"

namespace kestrel {
namespace {

class WindowsFileSystem final : public FileSystem {
 public:
  std::unique_ptr<ReadableFile> openForReading(const std::string& path, FileError* error) override;
  bool replaceFile(const std::string& path, const std::vector<uint8_t>& bytes,
                   FileError* error) override;
  bool setCurrentFolder(const std::string& folder, FileError* error) override;
  size_t nameStart(const std::string& path) const override;
  bool sameFile(const std::string& a, const std::string& b) override;
  bool appendToFile(const std::string& path, const std::string& text, FileError* error) override;
  bool writePrivateFile(const std::string& prefix, const std::vector<uint8_t>& bytes,
                        std::string* path, FileError* error) override;
  bool removeFile(const std::string& path) override;
};

// Closes a handle when it goes out of scope.
class Handle {
 public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }
  explicit operator bool() const { return h_ != INVALID_HANDLE_VALUE; }
  void reset() {
    if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE h_;
};

class WindowsFile final : public ReadableFile {
 public:
  WindowsFile(HANDLE h, uint64_t size, std::string path)
      : h_(h), size_(size), path_(std::move(path)) {}
  ~WindowsFile() override { ::CloseHandle(h_); }
  uint64_t size() const override { return size_; }
  int64_t readAt(uint64_t offset, uint8_t* out, size_t n, FileError* error) const override {
    if (offset >= size_) return 0;
    n = size_t(std::min<uint64_t>(n, size_ - offset));
    size_t got = 0;
    while (got < n) {
      // On a synchronous handle the OVERLAPPED only says where to read.
      OVERLAPPED at{};
      uint64_t from = offset + got;
      at.Offset = DWORD(from);
      at.OffsetHigh = DWORD(from >> 32);
      DWORD chunk = DWORD(std::min<size_t>(n - got, 1 << 20));
      DWORD read = 0;
      if (!::ReadFile(h_, out + got, chunk, &read, &at)) {
        DWORD code = ::GetLastError();
        if (code == ERROR_HANDLE_EOF) break;  // the file has shrunk since it was opened
        *error = {int(code), path_ + ": " + windowsErrorText(code)};
        return -1;
      }
      if (read == 0) break;
      got += read;
    }
    return int64_t(got);
  }

 private:
  const HANDLE h_;
  const uint64_t size_;
  const std::string path_;
};

FileError lastError(const std::string& what) {
  DWORD code = ::GetLastError();
  return {int(code), what + ": " + windowsErrorText(code)};
}

bool fail(FileError* error, const char* verb, const std::string& path, DWORD code,
          const std::string& why = "") {
  *error = {int(code), std::string(verb) + " " + path + ": " + windowsErrorText(code) + why};
  return false;
}

// The longest path the system holds, in UTF-16 units; beyond it a path is cut short on its way to
// the file system (its length no longer fits the system's 16-bit byte count), so it would name
// another file.
constexpr size_t kMaxPath = 32767;
// The longest name of one component that the file systems take.
constexpr size_t kMaxName = 255;

// The full path of `path` in the form that the file calls take at any length: "\\?\C:\..." or
// "\\?\UNC\server\share\...". Empty, with the system's error set, when it has none or is longer
// than the system holds.
std::wstring longPath(const std::string& path) {
  std::wstring full = toWide(path);
  if (full.rfind(L"\\\\?\\", 0) != 0) {
    DWORD n = ::GetFullPathNameW(full.c_str(), 0, nullptr, nullptr);
    if (n == 0) return {};
    std::wstring buffer(n, L'\0');
    n = ::GetFullPathNameW(full.c_str(), n, buffer.data(), nullptr);
    if (n == 0 || n >= buffer.size()) return {};
    buffer.resize(n);
    if (buffer.rfind(L"\\\\.\\", 0) == 0) {
      full = buffer;  // a device stays a device
    } else if (buffer.rfind(L"\\\\", 0) == 0) {
      full = L"\\\\?\\UNC\\" + buffer.substr(2);
    } else {
      full = L"\\\\?\\" + buffer;
    }
  }
  if (full.size() > kMaxPath) {
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return {};
  }
  return full;
}

// The part of a device name that Windows reserves in every folder, with any extension and any
// letter case ("nul" of "nul.bin", "COM1" of "COM1 .txt"); empty for any other name.
std::string reservedDeviceName(const std::string& name) {
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  std::string upper = base;
  for (char& c : upper) c = (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
  for (const char* reserved : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (upper == reserved) return base;
  }
  if (upper.size() > 3 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0)) {
    const std::string unit = upper.substr(3);
    // The digits 1 to 9, and the superscripts one to three that Windows counts as digits.
    if ((unit.size() == 1 && unit[0] >= '1' && unit[0] <= '9') || unit == "\xC2\xB9" ||
        unit == "\xC2\xB2" || unit == "\xC2\xB3") {
      return base;
    }
  }
  return {};
}

// True when `path` is in the device namespace "\\.\".
bool isDeviceNamespace(const std::string& path) {
  return path.rfind("\\\\.\\", 0) == 0 || path.rfind("//./", 0) == 0;
}

// True when `path` leads to a device rather than a file: the device namespace, or a reserved
// device name as its last component (which starts at `nameAt`). A device is never opened to find
// out.
bool isDevicePath(const std::string& path, size_t nameAt) {
  return isDeviceNamespace(path) || !reservedDeviceName(path.substr(nameAt)).empty();
}

// Writes all of `bytes` through `h` from its current position; 0 or the error code.
DWORD writeAll(HANDLE h, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    DWORD chunk = DWORD(std::min<size_t>(bytes.size() - done, 1 << 20));
    if (!::WriteFile(h, bytes.data() + done, chunk, &written, nullptr)) return ::GetLastError();
    done += written;
  }
  return 0;
}

// Creates a new file `prefix` and eight hexadecimal digits in `folder` (which ends in a separator),
// open for writing; *name is its full path. An invalid handle with the system's error set when the
// folder takes no new file.
Handle createTemporary(const std::wstring& folder, std::wstring* name,
                       const std::wstring& prefix = L".kestrel-bin-") {
  static std::atomic<uint32_t> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    uint32_t bits = uint32_t(now.QuadPart) ^ uint32_t(now.QuadPart >> 32) ^
                    ::GetCurrentProcessId() << 16 ^ counter++ * 0x9E3779B9u;
    std::wstring candidate = folder + prefix;
    for (int i = 7; i >= 0; --i) candidate += L"0123456789abcdef"[(bits >> (4 * i)) & 0xF];
    Handle h(::CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h) {
      *name = candidate;
      return Handle(h.release());
    }
    DWORD err = ::GetLastError();
    if (err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS) return Handle();
  }
  ::SetLastError(ERROR_FILE_EXISTS);
  return Handle();
}

// Writes `bytes` over the existing file at `wide`, once the disk has given room for all of them
// (the file is first lengthened to their size where they are the longer); a disk that cannot hold
// them leaves the file as it was.
bool writeInPlace(const std::wstring& wide, const std::string& path,
                  const std::vector<uint8_t>& bytes, FileError* error) {
  Handle h(::CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return fail(error, "Cannot write", path, ::GetLastError());
  LARGE_INTEGER old{};
  if (::GetFileType(h.get()) != FILE_TYPE_DISK || !::GetFileSizeEx(h.get(), &old)) {
    *error = {int(ERROR_INVALID_FUNCTION), "Cannot write " + path + ": not a regular file"};
    return false;
  }
  auto endAt = [&h](int64_t size) {
    LARGE_INTEGER at{};
    at.QuadPart = size;
    return ::SetFilePointerEx(h.get(), at, nullptr, FILE_BEGIN) && ::SetEndOfFile(h.get());
  };
  if (int64_t(bytes.size()) > old.QuadPart && !endAt(int64_t(bytes.size()))) {
    DWORD err = ::GetLastError();
    endAt(old.QuadPart);
    return fail(error, "Cannot write", path, err, " (the file is left as it was)");
  }
  LARGE_INTEGER start{};
  DWORD err = ::SetFilePointerEx(h.get(), start, nullptr, FILE_BEGIN) ? 0 : ::GetLastError();
  if (!err) err = writeAll(h.get(), bytes);
  if (!err && !endAt(int64_t(bytes.size()))) err = ::GetLastError();
  if (!err && !::FlushFileBuffers(h.get())) err = ::GetLastError();
  if (err) return fail(error, "Cannot write", path, err, " (the file is partly rewritten)");
  return true;
}

std::unique_ptr<ReadableFile> WindowsFileSystem::openForReading(const std::string& path,
                                                                FileError* error) {
  if (isDevicePath(path, nameStart(path))) {
    *error = {int(ERROR_INVALID_NAME), path + ": a device, not a file"};
    return nullptr;
  }
  std::wstring wide = longPath(path);
  if (wide.empty()) {
    *error = lastError(path);
    return nullptr;
  }
  DWORD attrs = ::GetFileAttributesW(wide.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    *error = lastError(path);
    return nullptr;
  }
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) {
    *error = {int(ERROR_DIRECTORY), path + ": a folder, not a file"};
    return nullptr;
  }
  Handle h(::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) {
    *error = lastError(path);
    return nullptr;
  }
  if (::GetFileType(h.get()) != FILE_TYPE_DISK) {
    *error = {int(ERROR_INVALID_FUNCTION), path + ": not a regular file"};
    return nullptr;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(h.get(), &size)) {
    *error = lastError(path);
    return nullptr;
  }
  return std::make_unique<WindowsFile>(h.release(), uint64_t(size.QuadPart), path);
}

bool WindowsFileSystem::replaceFile(const std::string& path, const std::vector<uint8_t>& bytes,
                                    FileError* error) {
  const size_t nameAt = nameStart(path);
  const std::string device = reservedDeviceName(path.substr(nameAt));
  if (isDevicePath(path, nameAt)) {
    *error = {int(ERROR_INVALID_NAME),
              "Cannot write " + path + ": " +
                  (isDeviceNamespace(path) ? std::string("a device, not a file")
                                           : device + " is a device name that Windows reserves in "
                                                      "every folder; give the image another name")};
    return false;
  }
  std::wstring wide = longPath(path);
  if (wide.empty()) return fail(error, "Cannot create", path, ::GetLastError());
  const size_t wideNameAt = wide.find_last_of(L'\\') + 1;
  if (wideNameAt == wide.size()) {
    *error = {int(ERROR_DIRECTORY), "Cannot write " + path + ": a folder, not a file"};
    return false;
  }
  if (wide.size() - wideNameAt > kMaxName) {
    return fail(error, "Cannot create", path, ERROR_FILENAME_EXCED_RANGE);
  }
  DWORD attrs = ::GetFileAttributesW(wide.c_str());
  const bool exists = attrs != INVALID_FILE_ATTRIBUTES;
  if (!exists) {
    DWORD err = ::GetLastError();
    if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND) {
      return fail(error, "Cannot create", path, err);
    }
  }
  const bool link = exists && (attrs & FILE_ATTRIBUTE_REPARSE_POINT);
  if (exists && !link) {
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) {
      *error = {int(ERROR_DIRECTORY), "Cannot write " + path + ": a folder, not a file"};
      return false;
    }
    if (attrs & FILE_ATTRIBUTE_READONLY) {
      return fail(error, "Cannot write", path, ERROR_ACCESS_DENIED, " (the file is read-only)");
    }
  }

  // Through a temporary file beside the target, created under a new name of its own.
  std::wstring temp;
  Handle out = createTemporary(wide.substr(0, wideNameAt), &temp);
  if (!out) {
    // The folder takes no new file: write the file itself, if there is one.
    DWORD createErr = ::GetLastError();
    if (!exists) return fail(error, "Cannot create", path, createErr);
    if (link) return fail(error, "Cannot write", path, createErr);
    return writeInPlace(wide, path, bytes, error);
  }
  DWORD err = writeAll(out.get(), bytes);
  if (!err && !::FlushFileBuffers(out.get())) err = ::GetLastError();
  out.reset();
  // ReplaceFile gives the new content the old file's identity: its attributes, its owner and its
  // access rights.
  if (!err && exists && !link &&
      !::ReplaceFileW(wide.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                      nullptr)) {
    err = ::GetLastError();
  }
  if (!err && (!exists || link) &&
      !::MoveFileExW(temp.c_str(), wide.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    err = ::GetLastError();
  }
  if (err) {
    ::DeleteFileW(temp.c_str());
    return fail(error, "Cannot write", path, err);
  }
  return true;
}

bool WindowsFileSystem::setCurrentFolder(const std::string& folder, FileError* error) {
  if (::SetCurrentDirectoryW(toWide(folder).c_str())) return true;
  *error = lastError(folder);
  return false;
}

size_t WindowsFileSystem::nameStart(const std::string& path) const {
  const size_t separator = path.find_last_of("\\/");
  if (separator != std::string::npos) return separator + 1;
  // "C:fw.out": the drive, then a name in that drive's current folder.
  const bool drive = path.size() >= 2 && path[1] == ':' &&
                     ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  return drive ? 2 : 0;
}

// The volume and the number of the file at `path`, which say which file it is whatever the road.
bool fileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  std::wstring wide = longPath(path);
  if (wide.empty()) return false;
  Handle h(::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return h && ::GetFileInformationByHandle(h.get(), info);
}

bool WindowsFileSystem::sameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  if (isDevicePath(a, nameStart(a)) || isDevicePath(b, nameStart(b))) return false;
  BY_HANDLE_FILE_INFORMATION ia{}, ib{};
  return fileIdentity(a, &ia) && fileIdentity(b, &ib) &&
         ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool WindowsFileSystem::appendToFile(const std::string& path, const std::string& text,
                                     FileError* error) {
  if (isDevicePath(path, nameStart(path))) {
    *error = {int(ERROR_INVALID_NAME), "Cannot write " + path + ": a device, not a file"};
    return false;
  }
  std::wstring wide = longPath(path);
  if (wide.empty()) return fail(error, "Cannot write", path, ::GetLastError());
  // FILE_APPEND_DATA alone: every write goes to the end as one piece, whoever else appends.
  Handle h(::CreateFileW(wide.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return fail(error, "Cannot write", path, ::GetLastError());
  if (!text.empty()) {
    DWORD written = 0;
    if (!::WriteFile(h.get(), text.data(), DWORD(text.size()), &written, nullptr)) {
      return fail(error, "Cannot write", path, ::GetLastError());
    }
    if (written < text.size()) {
      return fail(error, "Cannot write", path, ERROR_DISK_FULL,
                  " (the disk took " + std::to_string(written) + " of " +
                      std::to_string(text.size()) + " bytes)");
    }
  }
  if (!::FlushFileBuffers(h.get())) return fail(error, "Cannot write", path, ::GetLastError());
  return true;
}

bool WindowsFileSystem::writePrivateFile(const std::string& prefix,
                                         const std::vector<uint8_t>& bytes, std::string* path,
                                         FileError* error) {
  // The user's own temporary folder, which other users may not read.
  wchar_t folder[MAX_PATH + 2];
  DWORD n = ::GetTempPathW(MAX_PATH + 2, folder);
  if (n == 0 || n > MAX_PATH + 1) return fail(error, "Cannot create", prefix, ::GetLastError());
  std::wstring name;
  Handle out = createTemporary(folder, &name, toWide(prefix));
  if (!out) return fail(error, "Cannot create", toUtf8(folder) + prefix, ::GetLastError());
  DWORD err = writeAll(out.get(), bytes);
  out.reset();
  if (err) {
    ::DeleteFileW(name.c_str());
    return fail(error, "Cannot write", toUtf8(name), err);
  }
  *path = toUtf8(name);
  return true;
}

bool WindowsFileSystem::removeFile(const std::string& path) {
  std::wstring wide = longPath(path);
  return !wide.empty() && ::DeleteFileW(wide.c_str());
}

}  // namespace

FileSystem& fileSystem() {
  static WindowsFileSystem files;
  return files;
}

PathInfo inspectPath(const std::string& path) {
  PathInfo info;
  std::wstring wide = toWide(path);
  if (path.rfind("\\\\.\\", 0) == 0) {
    // A device: opening it, exclusively as the program would, tells whether it is there and free.
    Handle h(::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr));
    DWORD err = h ? 0 : ::GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return info;
    info.exists = true;
    info.isDevice = true;
    if (err) {
      info.accessError = int(err);
      info.accessReason = windowsErrorText(err);
    }
    return info;
  }
  DWORD attrs = ::GetFileAttributesW(wide.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return info;
  info.exists = true;
  info.kind = (attrs & FILE_ATTRIBUTE_DIRECTORY) ? "a directory" : "a regular file";
  return info;
}

}  // namespace kestrel
