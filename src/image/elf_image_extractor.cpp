#include "image/elf_image_extractor.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "core/window_state.h"

namespace kestrel {
namespace {

constexpr size_t kHeaderSize = 52;
constexpr uint32_t kEntrySize = 32;
constexpr uint32_t kUnit = 512;
constexpr uint32_t kMaxEntries = 0xFFFF;

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::string hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

Extraction refuse(Extraction::Status status, std::string detail) {
  Extraction e;
  e.status = status;
  e.detail = std::move(detail);
  return e;
}

class FileSource final : public ByteSource {
 public:
  explicit FileSource(std::FILE* f) : f_(f) {
    if (std::fseek(f_, 0, SEEK_END) == 0) {
      long end = std::ftell(f_);
      size_ = end < 0 ? 0 : uint64_t(end);
    }
  }
  uint64_t size() const override { return size_; }
  size_t readAt(uint64_t offset, uint8_t* out, size_t n) const override {
    if (offset >= size_) return 0;
    if (std::fseek(f_, long(offset), SEEK_SET) != 0) return 0;
    return std::fread(out, 1, n, f_);
  }

 private:
  std::FILE* f_;
  uint64_t size_ = 0;
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A name in the same folder as `target` that no other file has.
std::string temporaryNameFor(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  return target + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

}  // namespace

size_t MemorySource::readAt(uint64_t offset, uint8_t* out, size_t n) const {
  if (offset >= size_) return 0;
  size_t avail = size_t(size_ - offset);
  size_t count = n < avail ? n : avail;
  std::memcpy(out, data_ + offset, count);
  return count;
}

Extraction extractImage(const ByteSource& file) {
  uint8_t header[kHeaderSize];
  if (file.size() < kHeaderSize || file.readAt(0, header, kHeaderSize) != kHeaderSize) {
    return refuse(Extraction::Status::NotElf, "shorter than an ELF header");
  }
  if (header[1] != 'E' || header[2] != 'L' || header[3] != 'F') {
    return refuse(Extraction::Status::NotElf, "no ELF signature");
  }
  const uint64_t tableOffset = le32(header + 28);

  Extraction result;
  result.image.assign(kMaxImageSize, 0);
  uint32_t base = 0;
  uint64_t length = 0;
  for (uint32_t i = 0;; ++i) {
    if (i >= kMaxEntries) {
      return refuse(Extraction::Status::TooManyEntries,
                    "the program header table has no end within 65535 entries");
    }
    uint8_t entry[kEntrySize];
    uint64_t entryOffset = tableOffset + uint64_t(kEntrySize) * i;
    if (file.readAt(entryOffset, entry, kEntrySize) != kEntrySize) {
      return refuse(
          Extraction::Status::TableTruncated,
          "the program header table runs past the end of the file at entry " + std::to_string(i));
    }
    const uint32_t fileOffset = le32(entry + 4);
    if (fileOffset == 0) break;
    const uint32_t address = le32(entry + 8);
    const uint32_t size = le32(entry + 16);
    if (i == 0) base = address;
    if (address < base) {
      return refuse(Extraction::Status::BelowBase, "segment " + std::to_string(i) + " at " +
                                                       hex(address) +
                                                       " lies below the image base " + hex(base));
    }
    const uint64_t imageOffset = address - base;
    const uint64_t extent = (uint64_t(size) + kUnit - 1) / kUnit * kUnit;
    if (imageOffset + extent > kMaxImageSize) {
      return refuse(Extraction::Status::OutOfRange,
                    "segment " + std::to_string(i) + " (" + std::to_string(size) + " bytes at " +
                        hex(address) + ") reaches past the " + hex(kMaxImageSize) + "-byte image");
    }
    // Whole units, as the boot loader's image format expects: the bytes that follow a segment in
    // the file fill its last unit, up to where a later segment overwrites them.
    file.readAt(fileOffset, result.image.data() + imageOffset, size_t(extent));
    length = imageOffset + size;
    result.segments.push_back({fileOffset, address, size, uint32_t(imageOffset)});
  }
  result.image.resize(size_t(length));
  return result;
}

bool extractImageFromFile(const std::string& path, Extraction* result, std::string* error) {
  File input(std::fopen(path.c_str(), "rb"));
  if (!input) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  *result = extractImage(FileSource(input.get()));
  return true;
}

ConvertResult convert(WindowState& w, const std::string& title) {
  const std::string inputPath = title + ".out";
  const std::string outputPath = title + ".bin";

  std::error_code ec;
  File input;
  if (std::filesystem::is_regular_file(inputPath, ec))
    input.reset(std::fopen(inputPath.c_str(), "rb"));
  if (!input) {
    w.showMessage("Please select a file first !");
    return ConvertResult::Failed;
  }

  const std::string tempPath = temporaryNameFor(outputPath);
  File output(std::fopen(tempPath.c_str(), "wbx"));
  if (!output) {
    int err = errno;
    w.showMessage("Cannot create " + outputPath + ": " + std::strerror(err), {},
                  MessageIcon::Error);
    return ConvertResult::FileError;
  }
  auto discardTemp = [&] {
    output.reset();
    std::filesystem::remove(tempPath, ec);
  };

  Extraction x = extractImage(FileSource(input.get()));
  input.reset();
  switch (x.status) {
    case Extraction::Status::Ok:
      break;
    case Extraction::Status::NotElf:
      discardTemp();
      w.showAppMessage("This is not a ELF file");
      return ConvertResult::Failed;
    default:
      discardTemp();
      w.showAppMessage(inputPath + ": " + x.detail);
      return ConvertResult::Failed;
  }

  bool written = x.image.empty() ||
                 std::fwrite(x.image.data(), 1, x.image.size(), output.get()) == x.image.size();
  int err = written ? 0 : errno;
  if (written && (std::fflush(output.get()) != 0 || ::fsync(::fileno(output.get())) != 0)) {
    written = false;
    err = errno;
  }
  if (std::fclose(output.release()) != 0 && written) {
    written = false;
    err = errno;
  }
  if (written) {
    std::filesystem::rename(tempPath, outputPath, ec);
    if (ec) {
      written = false;
      err = ec.value();
    }
  }
  if (!written) {
    std::filesystem::remove(tempPath, ec);
    w.showMessage("Cannot write " + outputPath + ": " + std::strerror(err), {}, MessageIcon::Error);
    return ConvertResult::FileError;
  }
  return ConvertResult::Ok;
}

}  // namespace kestrel
