#include "image/elf_image_extractor.h"

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

}  // namespace kestrel
