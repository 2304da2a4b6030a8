#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/backends.h"
#include "platform_api/files.h"

namespace kestrel::test {

// A fresh folder that becomes the current folder for the test's duration and is removed after.
class TempDir {
 public:
  TempDir() : previous_(std::filesystem::current_path()) {
    // A new name that nobody else has: create_directory says whether it was new.
    std::random_device random;
    for (;;) {
      path_ = std::filesystem::temp_directory_path() /
              ("kestrel-test-" + std::to_string(random()) + std::to_string(random()));
      if (std::filesystem::create_directory(path_)) break;
    }
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
    std::filesystem::current_path(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::vector<uint8_t> readFile(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)),
                              std::istreambuf_iterator<char>());
}

// "PATH: reason" for a file that is not there, in the platform's own words.
inline std::string missingFile(const std::string& path) {
  FileError error;
  fileSystem().openForReading(path, &error);
  return error.text;
}

}  // namespace kestrel::test
