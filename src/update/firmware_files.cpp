#include "update/firmware_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/window_state.h"

namespace kestrel {
namespace {

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes now; the close's own failure (a write-back error) is returned as an errno, or 0.
  int reset() {
    if (fd_ < 0) return 0;
    int r = ::close(fd_);
    fd_ = -1;
    return r == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

// The ELF file through an open descriptor.
class FdSource final : public ByteSource {
 public:
  FdSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  uint64_t size() const override { return size_; }
  size_t readAt(uint64_t offset, uint8_t* out, size_t n) const override {
    size_t got = 0;
    while (got < n && offset + got < size_) {
      ssize_t r = ::pread(fd_, out + got, n - got, off_t(offset + got));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      got += size_t(r);
    }
    return got;
  }

 private:
  int fd_;
  uint64_t size_;
};

std::string reason(int err) {
  return std::strerror(err);
}

// Opens `path` for reading as a regular file; -1 with *err otherwise. O_NONBLOCK keeps a FIFO
// planted under the name from holding the open up; it is refused right after.
int openRegular(const std::string& path, int* err) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

std::string describeOpenFailure(const std::string& path, int err) {
  if (err == EINVAL) return path + ": not a regular file";
  return path + ": " + reason(err);
}

// Writes all of `bytes` to `fd` and syncs it; 0, or the errno of what failed.
int writeAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t r = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return errno;
    done += size_t(r);
  }
  if (::fsync(fd) != 0) return errno;
  return 0;
}

std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

FileWrite failed(const char* verb, const std::string& path, int err, const std::string& why = "") {
  return {false, err, std::string(verb) + " " + path + ": " + reason(err) + why};
}

}  // namespace

FileWrite writeImageFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  struct stat old {};
  bool exists = ::lstat(path.c_str(), &old) == 0;
  bool link = exists && S_ISLNK(old.st_mode);
  if (exists && !link) {
    if (S_ISDIR(old.st_mode)) return failed("Cannot write", path, EISDIR);
    if (!S_ISREG(old.st_mode))
      return {false, EINVAL, "Cannot write " + path + ": not a regular file"};
    // Read-only is what the user set: the superuser may write anyway, but the file is not
    // replaced behind the user's back.
    bool writable = ::access(path.c_str(), W_OK) == 0 &&
                    (::geteuid() != 0 || (old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0);
    if (!writable) {
      int err = errno == EROFS ? EROFS : EACCES;
      return failed("Cannot write", path, err, err == EACCES ? " (the file is read-only)" : "");
    }
  }

  // Through a temporary file beside the target, where the folder allows one.
  std::string temp = folderOf(path) + "/.kestrel-bin-XXXXXX";
  Fd out(::mkostemp(temp.data(), O_CLOEXEC));
  if (out) {
    mode_t mode;
    if (exists && !link) {
      mode = old.st_mode & 07777;
      // Owner and group as they were, where this user may set them.
      if (::fchown(out.get(), old.st_uid, old.st_gid) != 0) {
        [[maybe_unused]] int r = ::fchown(out.get(), uid_t(-1), old.st_gid);
      }
    } else {
      mode_t mask = ::umask(0);
      ::umask(mask);
      mode = 0666 & ~mask;
    }
    int err = ::fchmod(out.get(), mode) != 0 ? errno : 0;
    if (!err) err = writeAll(out.get(), bytes);
    int closeErr = out.reset();
    if (!err) err = closeErr;
    if (!err && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
    if (err) {
      ::unlink(temp.c_str());
      return failed("Cannot write", path, err);
    }
    return {true, 0, ""};
  }
  int createErr = errno;

  // The folder takes no new file: write the file itself, if there is one that may be written.
  if (!exists) return failed("Cannot create", path, createErr);
  if (link) return failed("Cannot write", path, createErr);
  Fd in(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
  if (!in) return failed("Cannot write", path, errno);
  int err = writeAll(in.get(), bytes);
  int closeErr = in.reset();
  if (!err) err = closeErr;
  if (err) return failed("Cannot write", path, err);
  return {true, 0, ""};
}

bool readImageFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  int err = 0;
  Fd fd(openRegular(path, &err));
  if (!fd) {
    *error = "Cannot open " + describeOpenFailure(path, err);
    return false;
  }
  struct stat st {};
  ::fstat(fd.get(), &st);
  if (uint64_t(st.st_size) > uint64_t(kMaxImageSize) * 32) {
    *error = "Cannot read " + path + ": " + std::to_string(st.st_size) + " bytes is too large";
    return false;
  }
  bytes->assign(size_t(st.st_size), 0);
  FdSource source(fd.get(), uint64_t(st.st_size));
  if (source.readAt(0, bytes->data(), bytes->size()) != bytes->size()) {
    *error = "Cannot read " + path + ": the file ended early";
    return false;
  }
  return true;
}

ConvertResult convertFirmware(WindowState& w, const std::string& input,
                              const std::optional<std::string>& output, Extraction* result) {
  UpdateOutcome refused;
  refused.cause = UpdateOutcome::Cause::ImageRefused;

  int err = 0;
  Fd in(openRegular(input, &err));
  if (!in) {
    refused.error = err;
    refused.detail = describeOpenFailure(input, err);
    w.outcome.set(refused);
    w.showMessage("Please select a file first !");
    return ConvertResult::Failed;
  }
  struct stat st {};
  ::fstat(in.get(), &st);
  *result = extractImage(FdSource(in.get(), uint64_t(st.st_size)));
  in.reset();
  if (result->status != Extraction::Status::Ok) {
    bool notElf = result->status == Extraction::Status::NotElf;
    refused.detail =
        input + ": " + (notElf ? "not an ELF file (" + result->detail + ")" : result->detail);
    w.outcome.set(refused);
    w.showAppMessage(notElf ? "This is not a ELF file" : input + ": " + result->detail);
    return ConvertResult::Failed;
  }
  if (!output) return ConvertResult::Ok;

  FileWrite written = writeImageFile(*output, result->image);
  if (!written.ok) {
    UpdateOutcome fileError;
    fileError.cause = UpdateOutcome::Cause::ImageFileError;
    fileError.error = written.error;
    fileError.detail = written.message;
    w.outcome.set(fileError);
    w.showMessage(written.message, {}, MessageIcon::Error);
    return ConvertResult::FileError;
  }
  return ConvertResult::Ok;
}

ConvertResult convert(WindowState& w, const std::string& title, Extraction* result) {
  return convertFirmware(w, title + ".out", title + ".bin", result);
}

}  // namespace kestrel
