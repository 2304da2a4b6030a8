// Files on POSIX.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files.h"

namespace kestrel {
namespace {

class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<ReadableFile> openForReading(const std::string& path, FileError* error) override;
  bool replaceFile(const std::string& path, const std::vector<uint8_t>& bytes,
                   FileError* error) override;
};

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
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

class PosixFile final : public ReadableFile {
 public:
  PosixFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~PosixFile() override { ::close(fd_); }
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
  const int fd_;
  const uint64_t size_;
};

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

bool fail(FileError* error, const char* verb, const std::string& path, int err,
          const std::string& why = "") {
  *error = {err, std::string(verb) + " " + path + ": " + std::strerror(err) + why};
  return false;
}

std::unique_ptr<ReadableFile> PosixFileSystem::openForReading(const std::string& path,
                                                              FileError* error) {
  // O_NONBLOCK keeps a FIFO planted under the name from holding the open up; it is refused next.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) {
    *error = {errno, path + ": " + std::strerror(errno)};
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    *error = {errno, path + ": " + std::strerror(errno)};
    return nullptr;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = {EISDIR, path + ": " + std::strerror(EISDIR)};
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = {EINVAL, path + ": not a regular file"};
    return nullptr;
  }
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return std::make_unique<PosixFile>(fd.release(), uint64_t(st.st_size));
}

bool PosixFileSystem::replaceFile(const std::string& path, const std::vector<uint8_t>& bytes,
                                  FileError* error) {
  struct stat old {};
  bool exists = ::lstat(path.c_str(), &old) == 0;
  bool link = exists && S_ISLNK(old.st_mode);
  if (exists && !link) {
    if (S_ISDIR(old.st_mode)) return fail(error, "Cannot write", path, EISDIR);
    if (!S_ISREG(old.st_mode)) {
      *error = {EINVAL, "Cannot write " + path + ": not a regular file"};
      return false;
    }
    // Read-only is what the user set: the superuser may write anyway, but the file is not
    // replaced behind the user's back.
    bool writable = ::access(path.c_str(), W_OK) == 0 &&
                    (::geteuid() != 0 || (old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0);
    if (!writable) {
      int err = errno == EROFS ? EROFS : EACCES;
      return fail(error, "Cannot write", path, err,
                  err == EACCES ? " (the file is read-only)" : "");
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
      return fail(error, "Cannot write", path, err);
    }
    return true;
  }
  int createErr = errno;

  // The folder takes no new file: write the file itself, if there is one that may be written.
  if (!exists) return fail(error, "Cannot create", path, createErr);
  if (link) return fail(error, "Cannot write", path, createErr);
  Fd in(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY));
  if (!in) return fail(error, "Cannot write", path, errno);
  int err = writeAll(in.get(), bytes);
  int closeErr = in.reset();
  if (!err) err = closeErr;
  if (err) return fail(error, "Cannot write", path, err);
  return true;
}

}  // namespace

FileSystem& fileSystem() {
  static PosixFileSystem files;
  return files;
}

PathInfo inspectPath(const std::string& path) {
  PathInfo info;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return info;
  info.exists = true;
  info.isDevice = S_ISCHR(st.st_mode);
  if (S_ISREG(st.st_mode))
    info.kind = "a regular file";
  else if (S_ISDIR(st.st_mode))
    info.kind = "a directory";
  else if (S_ISFIFO(st.st_mode))
    info.kind = "a FIFO";
  else if (S_ISSOCK(st.st_mode))
    info.kind = "a socket";
  else if (S_ISBLK(st.st_mode))
    info.kind = "a block device";
  if (::access(path.c_str(), R_OK | W_OK) != 0) {
    info.accessError = errno;
    info.accessReason = std::strerror(errno);
  }
  return info;
}

}  // namespace kestrel
