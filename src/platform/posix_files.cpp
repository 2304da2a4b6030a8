// Files on POSIX.

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/backends.h"
#include "platform_api/files.h"

namespace kestrel {
namespace {

class PosixFileSystem final : public FileSystem {
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
  PosixFile(int fd, uint64_t size, std::string path)
      : fd_(fd), size_(size), path_(std::move(path)) {}
  ~PosixFile() override { ::close(fd_); }
  uint64_t size() const override { return size_; }
  int64_t readAt(uint64_t offset, uint8_t* out, size_t n, FileError* error) const override {
    if (offset >= size_) return 0;
    n = size_t(std::min<uint64_t>(n, size_ - offset));
    size_t got = 0;
    while (got < n) {
      ssize_t r = ::pread(fd_, out + got, n - got, off_t(offset + got));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        *error = {errno, path_ + ": " + std::strerror(errno)};
        return -1;
      }
      if (r == 0) break;  // the file has shrunk since it was opened
      got += size_t(r);
    }
    return int64_t(got);
  }

 private:
  const int fd_;
  const uint64_t size_;
  const std::string path_;
};

// Writes all of `bytes` to `fd` from offset 0; 0, or the errno of what failed.
int writeAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t r = ::pwrite(fd, bytes.data() + done, bytes.size() - done, off_t(done));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return errno;
    done += size_t(r);
  }
  return 0;
}

// Creates a new file of a name nobody can guess, `prefix` and six letters, in the folder `dir`,
// open for writing, with `mode` less the umask; *name is its name there. An invalid Fd with errno
// set when the folder takes no new file.
Fd createTemporary(int dir, mode_t mode, std::string* name,
                   const std::string& prefix = ".kestrel-bin-") {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::atomic<uint64_t> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != sizeof bits) {
      bits =
          uint64_t(::getpid()) << 32 ^ uint64_t(::time(nullptr)) ^ counter++ * 0x9E3779B97F4A7C15u;
    }
    std::string candidate = prefix;
    for (int i = 0; i < 6; ++i, bits /= 62) candidate += kLetters[bits % 62];
    int fd = ::openat(dir, candidate.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, mode);
    if (fd >= 0) {
      *name = candidate;
      return Fd(fd);
    }
    if (errno != EEXIST) return Fd();
  }
  return Fd();
}

bool fail(FileError* error, const char* verb, const std::string& path, int err,
          const std::string& why = "") {
  *error = {err, std::string(verb) + " " + path + ": " + std::strerror(err) + why};
  return false;
}

// Writes `bytes` over the regular file `name` in the folder `dir`, once the disk has given room
// for all of them; a disk that cannot hold them, or a file size limit they pass, leaves the file as
// it was.
bool writeInPlace(int dir, const std::string& name, const std::string& path,
                  const std::vector<uint8_t>& bytes, FileError* error) {
  // O_NONBLOCK: a FIFO put in the file's place meanwhile is refused, not waited for.
  Fd fd(::openat(dir, name.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK));
  if (!fd) return fail(error, "Cannot write", path, errno);
  struct stat before {};
  if (::fstat(fd.get(), &before) != 0) return fail(error, "Cannot write", path, errno);
  if (!S_ISREG(before.st_mode)) {
    *error = {EINVAL, "Cannot write " + path + ": not a regular file"};
    return false;
  }
  if (!bytes.empty()) {
    int err;
    do {
      err = ::posix_fallocate(fd.get(), 0, off_t(bytes.size()));
    } while (err == EINTR);
    if (err) {
      // A reservation that failed part of the way may have lengthened the file with zeros.
      struct stat after {};
      if (::fstat(fd.get(), &after) == 0 && after.st_size > before.st_size) {
        [[maybe_unused]] int r = ::ftruncate(fd.get(), before.st_size);
      }
      return fail(error, "Cannot write", path, err, " (the file is left as it was)");
    }
  }
  int err = writeAll(fd.get(), bytes);
  // The old file's tail, where it was the longer one.
  if (!err && ::ftruncate(fd.get(), off_t(bytes.size())) != 0) err = errno;
  if (!err && ::fsync(fd.get()) != 0) err = errno;
  int closeErr = fd.reset();
  if (!err) err = closeErr;
  if (err) return fail(error, "Cannot write", path, err, " (the file is partly rewritten)");
  return true;
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
  return std::make_unique<PosixFile>(fd.release(), uint64_t(st.st_size), path);
}

bool PosixFileSystem::replaceFile(const std::string& path, const std::vector<uint8_t>& bytes,
                                  FileError* error) {
  // Everything happens relative to the folder's descriptor, so the temporary file's short name is
  // never what makes a long path too long, and the folder cannot change under the calls.
  const size_t nameAt = nameStart(path);
  const std::string name = path.substr(nameAt);
  const std::string folder = nameAt == 0 ? "." : path.substr(0, nameAt);
  if (name.empty() || name == "." || name == "..") return fail(error, "Cannot write", path, EISDIR);
  Fd dir(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return fail(error, "Cannot create", path, errno);

  struct stat old {};
  const bool exists = ::fstatat(dir.get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) return fail(error, "Cannot create", path, errno);
  const bool link = exists && S_ISLNK(old.st_mode);
  if (exists && !link) {
    if (S_ISDIR(old.st_mode)) return fail(error, "Cannot write", path, EISDIR);
    if (!S_ISREG(old.st_mode)) {
      *error = {EINVAL, "Cannot write " + path + ": not a regular file"};
      return false;
    }
    // Read-only is what the user set: the superuser may write anyway, but the file is not
    // replaced behind the user's back.
    bool writable = ::faccessat(dir.get(), name.c_str(), W_OK, 0) == 0 &&
                    (::geteuid() != 0 || (old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0);
    if (!writable) {
      int err = errno == EROFS ? EROFS : EACCES;
      return fail(error, "Cannot write", path, err,
                  err == EACCES ? " (the file is read-only)" : "");
    }
  }

  // Through a temporary file beside the target, where the folder allows one.
  // A new file gets what the umask leaves of 0666; a replacement starts private and takes the old
  // file's permissions before it holds anything.
  std::string temp;
  Fd out = createTemporary(dir.get(), exists && !link ? 0600 : 0666, &temp);
  if (!out) {
    // The folder takes no new file: write the file itself, if there is one that may be written.
    int createErr = errno;
    if (!exists) return fail(error, "Cannot create", path, createErr);
    if (link) return fail(error, "Cannot write", path, createErr);
    return writeInPlace(dir.get(), name, path, bytes, error);
  }
  int err = 0;
  if (exists && !link) {
    // Owner, group and permissions as they were, where this user may set them.
    if (::fchown(out.get(), old.st_uid, old.st_gid) != 0) {
      [[maybe_unused]] int r = ::fchown(out.get(), uid_t(-1), old.st_gid);
    }
    if (::fchmod(out.get(), old.st_mode & 07777) != 0) err = errno;
  }
  if (!err) err = writeAll(out.get(), bytes);
  if (!err && ::fsync(out.get()) != 0) err = errno;
  int closeErr = out.reset();
  if (!err) err = closeErr;
  if (!err && ::renameat(dir.get(), temp.c_str(), dir.get(), name.c_str()) != 0) err = errno;
  if (err) {
    ::unlinkat(dir.get(), temp.c_str(), 0);
    return fail(error, "Cannot write", path, err);
  }
  return true;
}

bool PosixFileSystem::setCurrentFolder(const std::string& folder, FileError* error) {
  if (::chdir(folder.c_str()) == 0) return true;
  *error = {errno, folder + ": " + std::strerror(errno)};
  return false;
}

size_t PosixFileSystem::nameStart(const std::string& path) const {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? 0 : slash + 1;
}

bool PosixFileSystem::sameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return a == b || (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 &&
                    sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino);
}

bool PosixFileSystem::appendToFile(const std::string& path, const std::string& text,
                                   FileError* error) {
  // O_NONBLOCK: a FIFO without a reader is refused rather than waited for.
  Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
               0666));
  if (!fd) return fail(error, "Cannot write", path, errno);
  if (!text.empty()) {
    // One write: the system appends it at the end as one piece, whoever else appends meanwhile.
    ssize_t r;
    do {
      r = ::write(fd.get(), text.data(), text.size());
    } while (r < 0 && errno == EINTR);
    if (r < 0) return fail(error, "Cannot write", path, errno);
    if (size_t(r) < text.size()) {
      return fail(error, "Cannot write", path, ENOSPC,
                  " (the disk took " + std::to_string(r) + " of " + std::to_string(text.size()) +
                      " bytes)");
    }
  }
  // A terminal or a pipe cannot be synced, and need not be.
  if (::fsync(fd.get()) != 0 && errno != EINVAL && errno != EROFS) {
    return fail(error, "Cannot write", path, errno);
  }
  if (int err = fd.reset()) return fail(error, "Cannot write", path, err);
  return true;
}

bool PosixFileSystem::writePrivateFile(const std::string& prefix, const std::vector<uint8_t>& bytes,
                                       std::string* path, FileError* error) {
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = tmp && *tmp ? tmp : "/tmp";
  if (folder.back() != '/') folder += '/';
  Fd dir(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return fail(error, "Cannot create", folder + prefix + "*", errno);
  std::string name;
  Fd out = createTemporary(dir.get(), 0600, &name, prefix);
  if (!out) return fail(error, "Cannot create", folder + prefix + "*", errno);
  int err = writeAll(out.get(), bytes);
  int closeErr = out.reset();
  if (!err) err = closeErr;
  if (err) {
    ::unlinkat(dir.get(), name.c_str(), 0);
    return fail(error, "Cannot write", folder + name, err);
  }
  *path = folder + name;
  return true;
}

bool PosixFileSystem::removeFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
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
