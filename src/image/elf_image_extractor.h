#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

// The flat image is at most this long: the boot loader's flash window.
inline constexpr uint32_t kMaxImageSize = 0x40000;

// Random access to the bytes of an ELF file.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  // Copies up to `n` bytes from `offset` into `out` and returns how many it copied: `n`, or fewer
  // only where the file ends (0 at or past its end). Returns -1 when the bytes cannot be read, with
  // *error naming the file and the reason.
  virtual int64_t readAt(uint64_t offset, uint8_t* out, size_t n, std::string* error) const = 0;
};

class MemorySource final : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t size() const override { return size_; }
  int64_t readAt(uint64_t offset, uint8_t* out, size_t n, std::string* error) const override;

 private:
  const uint8_t* data_;
  size_t size_;
};

// One program header entry that the walk copied into the image.
struct SegmentPlacement {
  uint32_t fileOffset = 0;
  uint32_t address = 0;
  uint32_t size = 0;
  uint32_t imageOffset = 0;
};

struct Extraction {
  enum class Status {
    Ok,
    NotElf,          // Shorter than the 52-byte header, or bytes 1 to 3 are not "ELF".
    TableTruncated,  // The walk ran off the end of the file before an entry with p_offset 0.
    BelowBase,       // A segment lies below the first entry's address.
    OutOfRange,      // A segment's 512-byte-rounded extent passes the 0x40000-byte image.
    TooManyEntries,  // More entries than an ELF file can declare (65535).
    Truncated,       // The file ends before the last byte of a segment: the file is cut short.
    ReadFailed,      // The file could not be read.
  };
  Status status = Status::Ok;
  // What was wrong, for the user; empty when Ok. For ReadFailed it begins with the source's own
  // error, which names the file; otherwise it names no file.
  std::string detail;
  std::vector<uint8_t> image;              // The flat image when Ok.
  std::vector<SegmentPlacement> segments;  // The entries walked, in order.
};

// Turns an ELF32 executable into the flat image: every program header entry, walked from
// e_phoff until one with p_offset 0, is copied in whole 512-byte units to its address relative to
// the first entry's; the image ends at the last entry's end. A segment's bytes (p_filesz of them
// from p_offset) must all be in the file, or the file is refused as Truncated; the rest of its
// last unit is whatever follows in the file, as far as the file goes. A read that fails refuses
// the file as ReadFailed: no image is ever made of bytes that could not be read. Never reads
// outside `file` and never writes outside the image.
Extraction extractImage(const ByteSource& file);

}  // namespace kestrel
