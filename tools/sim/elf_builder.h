#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrel::sim {

// Builds little-endian ELF32 files for tests and samples.
//
// Segments are laid out in the order added, after the header and a program header table that
// ends with an entry whose p_offset is 0. Each segment's bytes sit at its file offset (chosen
// here unless given), followed by `trailer` bytes so that tests can see what fills a segment's
// last 512-byte unit.
class ElfBuilder {
 public:
  struct Segment {
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
    uint32_t fileOffset = 0;  // 0: placed after the previous segment, 16-byte aligned.
    uint32_t fileSize = 0;    // 0: bytes.size(); a larger value claims bytes past the file's end.
  };

  ElfBuilder& add(Segment s) {
    segments_.push_back(std::move(s));
    return *this;
  }
  ElfBuilder& add(uint32_t address, std::vector<uint8_t> bytes) {
    return add(Segment{address, std::move(bytes), 0, 0});
  }
  // Bytes after the last segment's bytes.
  ElfBuilder& trailer(std::vector<uint8_t> bytes) {
    trailer_ = std::move(bytes);
    return *this;
  }
  // Leaves the terminating entry out, so that the table runs to the end of the file.
  ElfBuilder& withoutTerminator() {
    terminator_ = false;
    return *this;
  }

  std::vector<uint8_t> build() const;

 private:
  std::vector<Segment> segments_;
  std::vector<uint8_t> trailer_;
  bool terminator_ = true;
};

// A byte pattern that makes misplaced bytes easy to spot: (seed + i * 7) mod 251.
std::vector<uint8_t> patternBytes(size_t n, uint8_t seed);

}  // namespace kestrel::sim
