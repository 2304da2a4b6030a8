// Files on Windows. Paths are UTF-8 and go to the wide calls.

#include <windows.h>

#include <algorithm>

#include "platform/files.h"
#include "platform/windows_text.h"

namespace kestrel {
namespace {

class WindowsFileSystem final : public FileSystem {
 public:
  std::unique_ptr<ReadableFile> openForReading(const std::string& path, FileError* error) override;
  bool replaceFile(const std::string& path, const std::vector<uint8_t>& bytes,
                   FileError* error) override;
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

std::wstring folderOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"/\\");
  if (slash == std::wstring::npos) return L".";
  if (slash == 0) return path.substr(0, 1);
  return path.substr(0, slash);
}

// Writes all of `bytes` to the file at `path`, which exists, truncating it; 0 or the error code.
DWORD writeAll(const std::wstring& path, const std::vector<uint8_t>& bytes) {
  Handle h(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return ::GetLastError();
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD written = 0;
    DWORD chunk = DWORD(std::min<size_t>(bytes.size() - done, 1 << 20));
    if (!::WriteFile(h.get(), bytes.data() + done, chunk, &written, nullptr))
      return ::GetLastError();
    done += written;
  }
  if (!::FlushFileBuffers(h.get())) return ::GetLastError();
  return 0;
}

std::unique_ptr<ReadableFile> WindowsFileSystem::openForReading(const std::string& path,
                                                                FileError* error) {
  std::wstring wide = toWide(path);
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

// The full path of `path`: the file calls below are given no relative names.
std::wstring fullPath(const std::string& path) {
  std::wstring wide = toWide(path);
  DWORD n = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return wide;
  std::wstring full(n, L'\0');
  n = ::GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  full.resize(n);
  return full;
}

bool WindowsFileSystem::replaceFile(const std::string& path, const std::vector<uint8_t>& bytes,
                                    FileError* error) {
  std::wstring wide = fullPath(path);
  DWORD attrs = ::GetFileAttributesW(wide.c_str());
  bool exists = attrs != INVALID_FILE_ATTRIBUTES;
  bool link = exists && (attrs & FILE_ATTRIBUTE_REPARSE_POINT);
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
  wchar_t temp[MAX_PATH + 1] = {};
  if (::GetTempFileNameW(folderOf(wide).c_str(), L"kb", 0, temp) != 0) {
    DWORD err = writeAll(temp, bytes);
    // ReplaceFile gives the new content the old file's identity: its attributes, its owner and
    // its access rights.
    if (!err && exists && !link &&
        !::ReplaceFileW(wide.c_str(), temp, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                        nullptr)) {
      err = ::GetLastError();
    }
    if (!err && (!exists || link) &&
        !::MoveFileExW(temp, wide.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      err = ::GetLastError();
    }
    if (err) {
      ::DeleteFileW(temp);
      return fail(error, "Cannot write", path, err);
    }
    return true;
  }
  DWORD createErr = ::GetLastError();

  // The folder takes no new file: write the file itself, if there is one.
  if (!exists) return fail(error, "Cannot create", path, createErr);
  if (link) return fail(error, "Cannot write", path, createErr);
  if (DWORD err = writeAll(wide, bytes)) return fail(error, "Cannot write", path, err);
  return true;
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
