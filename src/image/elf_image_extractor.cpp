#include "image/elf_image_extractor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

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

}  // namespace

int64_t MemorySource::readAt(uint64_t offset, uint8_t* out, size_t n, std::string*) const {
  if (offset >= size_) return 0;
  size_t count = std::min(n, size_t(size_ - offset));
  std::memcpy(out, data_ + offset, count);
  return int64_t(count);
}

Extraction extractImage(const ByteSource& file) {
  std::string error;
  auto readFailed = [&error](const std::string& what, uint64_t offset) {
    return refuse(Extraction::Status::ReadFailed,
                  error + " (reading " + what + " at file offset " + hex(offset) + ")");
  };
  uint8_t header[kHeaderSize];
  const int64_t headerRead =
      file.size() < kHeaderSize ? 0 : file.readAt(0, header, kHeaderSize, &error);
  if (headerRead < 0) return readFailed("the ELF header", 0);
  if (headerRead != int64_t(kHeaderSize)) {
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
    const int64_t entryRead = file.readAt(entryOffset, entry, kEntrySize, &error);
    if (entryRead < 0) return readFailed("program header " + std::to_string(i), entryOffset);
    if (entryRead != int64_t(kEntrySize)) {
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
    // the file fill its last unit, up to where a later segment overwrites them, and as far as the
    // file goes. The segment's own bytes must all be there: zeros in place of missing code would
    // be flashed as if they were firmware.
    const int64_t got =
        file.readAt(fileOffset, result.image.data() + imageOffset, size_t(extent), &error);
    if (got < 0) return readFailed("segment " + std::to_string(i), fileOffset);
    if (uint64_t(got) < size) {
      return refuse(Extraction::Status::Truncated,
                    "segment " + std::to_string(i) + " (" + std::to_string(size) +
                        " bytes at file offset " + hex(fileOffset) +
                        ") runs past the end of the file at " + hex(file.size()) +
                        ": the file is cut short");
    }
    length = imageOffset + size;
    result.segments.push_back({fileOffset, address, size, uint32_t(imageOffset)});
  }
  result.image.resize(size_t(length));
  return result;
}

}  // namespace kestrel
