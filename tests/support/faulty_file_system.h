#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/backends.h"
#include "platform_api/files.h"

namespace kestrel::test {

// The machine's files with faults switched in, as a failing disk shows them; everything else goes
// to the real files. The faults are set before the code under test runs.
class FaultyFileSystem final : public FileSystem {
 public:
  struct Faults {
    // A read of a file opened for reading that reaches this offset fails with `readError`, as a
    // bad sector fails it.
    std::optional<uint64_t> readFailsAt;
    int readError = 0;
    // replaceFile refuses with this system error, worded as the real files word it, having written
    // nothing: a disk that is full from the start.
    int writeError = 0;
  };

  explicit FaultyFileSystem(Faults faults, FileSystem& real = fileSystem())
      : faults_(faults), real_(real) {}

  std::unique_ptr<ReadableFile> openForReading(const std::string& path, FileError* error) override;
  bool replaceFile(const std::string& path, const std::vector<uint8_t>& bytes,
                   FileError* error) override;
  bool setCurrentFolder(const std::string& folder, FileError* error) override {
    return real_.setCurrentFolder(folder, error);
  }
  size_t nameStart(const std::string& path) const override { return real_.nameStart(path); }
  bool sameFile(const std::string& a, const std::string& b) override {
    return real_.sameFile(a, b);
  }
  bool appendToFile(const std::string& path, const std::string& text, FileError* error) override {
    return real_.appendToFile(path, text, error);
  }
  bool writePrivateFile(const std::string& prefix, const std::vector<uint8_t>& bytes,
                        std::string* path, FileError* error) override {
    return real_.writePrivateFile(prefix, bytes, path, error);
  }
  bool removeFile(const std::string& path) override { return real_.removeFile(path); }

 private:
  const Faults faults_;
  FileSystem& real_;
};

}  // namespace kestrel::test
