#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

// Why a file could not be read or written: the system's error number (0 where there is none),
// and a sentence that names the file and the reason ("fw.out: No such file or directory").
struct FileError {
  int code = 0;
  std::string text;
};

// A regular file open for reading at any offset. One thread at a time.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // The file's length when it was opened.
  virtual uint64_t size() const = 0;
  // Copies up to `n` bytes from `offset` into `out` and returns how many it copied: `n`, or fewer
  // only where the file ends (0 at or past its end; the file ends at the length it had when it was
  // opened, or earlier if it has shrunk since). Returns -1 when the system fails to read them, with
  // *error naming the file and the reason; what was copied before the failure does not count.
  virtual int64_t readAt(uint64_t offset, uint8_t* out, size_t n, FileError* error) const = 0;
};

// The files the update reads and writes, the current folder, and the platform's rule for splitting
// a path. Paths are UTF-8, absolute or relative to the current folder. Every call may be made from
// any thread.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Opens `path` for reading, as a regular file only: a folder, a device or a FIFO is refused
  // (without waiting for a FIFO's writer). Null with *error filled in when it cannot be opened;
  // *error->text is "PATH: reason".
  virtual std::unique_ptr<ReadableFile> openForReading(const std::string& path,
                                                       FileError* error) = 0;

  // Puts `bytes` in the file at `path` so that a failure never leaves a half-written file in its
  // place and nothing the user set is lost:
  // - where the folder allows a new file, through a temporary file of its own (created
  //   exclusively, under a short name) that is synced and renamed over `path`, with the old
  //   file's permissions, and its owner and group where they can be kept;
  // - where only `path` itself is writable, in place;
  // - an existing `path` that is read-only is refused, as is a link that cannot be replaced; a
  //   link is never written through.
  // On failure *error says "Cannot create PATH: reason" or "Cannot write PATH: reason".
  virtual bool replaceFile(const std::string& path, const std::vector<uint8_t>& bytes,
                           FileError* error) = 0;

  // Makes `folder` the process's current folder. False with *error ("PATH: reason") when it cannot
  // be, and the current folder unchanged.
  virtual bool setCurrentFolder(const std::string& folder, FileError* error) = 0;

  // Where the last component of `path` begins: after its last folder separator, or after a
  // drive's "C:" where the platform has drives; 0 when there is neither. The separators are the
  // platform's: "/" on POSIX, where "\" is part of a name; "\" and "/" on Windows, whose "\\?\"
  // and "\\server\" prefixes end in separators too.
  virtual size_t nameStart(const std::string& path) const = 0;

  // True when `a` and `b` are the same text or name the same existing file, by whatever road
  // (links, "..", letter case where the system ignores it).
  virtual bool sameFile(const std::string& a, const std::string& b) = 0;

  // Appends `text` to the file at `path` in one write, creating the file when it is missing (with
  // what the umask leaves of 0666) and never cutting it short, and has the system put it on the
  // disk before it returns. Other processes may append to the same file at the same time: each
  // one's text stays whole, in the order the writes came. With `text` empty it only checks that
  // the file can be appended to (and creates it). False with *error ("Cannot write PATH: reason")
  // when the file cannot be opened, written or synced; a disk that took only part of the text says
  // so, and that part stays.
  virtual bool appendToFile(const std::string& path, const std::string& text, FileError* error) = 0;

  // Writes `bytes` into a new file in the system's folder for temporary files (TMPDIR on POSIX,
  // GetTempPath on Windows), created exclusively under a name nobody can guess that begins with
  // `prefix`, and readable by this user alone; *path is its path. False with *error ("Cannot
  // create PATH: reason", "Cannot write PATH: reason") when it cannot be made, and nothing left.
  virtual bool writePrivateFile(const std::string& prefix, const std::vector<uint8_t>& bytes,
                                std::string* path, FileError* error) = 0;

  // Removes the file at `path`; false when there is none or it cannot be removed.
  virtual bool removeFile(const std::string& path) = 0;
};

// The one rule for a file's title, used wherever a path is split: the last component of `path`
// without its extension, i.e. cut before the component's last "." (a component without "." is
// taken whole): "build/fw.elf" gives "fw", "image.test.out" gives "image.test".
inline std::string titleOf(const FileSystem& files, const std::string& path) {
  std::string name = path.substr(files.nameStart(path));
  return name.substr(0, name.rfind('.'));
}

// The folder part of `path`, its separator or drive included ("build/" of "build/fw.elf", "C:" of
// "C:fw.out"); empty for a bare name.
inline std::string folderOf(const FileSystem& files, const std::string& path) {
  return path.substr(0, files.nameStart(path));
}

// `path` with its title kept and its extension dropped, the folder in front: what the image's name
// is built from, so that it goes beside the ELF file ("build/fw.elf" gives "build/fw").
inline std::string withoutExtension(const FileSystem& files, const std::string& path) {
  return folderOf(files, path) + titleOf(files, path);
}

}  // namespace kestrel
