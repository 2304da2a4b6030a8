#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace kestrel {

inline constexpr uint32_t kBlockSize = 2048;
// The page address counts 256-byte pages in 16 bits, so no more blocks than this can be addressed.
inline constexpr uint32_t kMaxBlocks = 8192;

// The block's page address: 8 * k in 16 bits, sent high byte first.
inline uint16_t PageAddress(uint32_t k) {
  return static_cast<uint16_t>(k * 8);
}

// The 8-bit sum of the block's 2048 bytes plus the page address.
uint8_t BlockChecksum(const uint8_t* block, uint16_t pageAddress);

// N for an image of `length` bytes: the length in 2048-byte blocks, rounded up.
inline uint64_t blockCountFor(uint64_t length) {
  return (length >> 11) + ((length & 0x7FF) ? 1 : 0);
}

// The flat image of one download, cut into 2048-byte blocks. Block 0 goes last. Owned by the
// thread that runs the download.
class DownloadImage {
 public:
  enum class LoadStatus { Ok, NoMemory, TooLarge };

  // Takes the image's bytes into a zeroed buffer of N + 10 blocks. NoMemory when that buffer
  // cannot be had; TooLarge for more blocks than the page addresses reach (8192).
  LoadStatus assign(const std::vector<uint8_t>& bytes);

  uint32_t length() const { return length_; }
  // N: the length in blocks, rounded up. 0 for an empty image.
  uint32_t blockCount() const { return count_; }
  // The 2048 bytes of block k, zero-padded past the image's end. Block 0 exists even when N is 0.
  const uint8_t* block(uint32_t k) const { return buffer_.get() + size_t(k) * kBlockSize; }
  uint8_t checksum(uint32_t k) const { return BlockChecksum(block(k), PageAddress(k)); }
  // 1, 2, ..., N - 1, then 0.
  std::vector<uint32_t> sendOrder() const;
  // The percentage to show once block k is acknowledged: 100 * k / N, and 100 for block 0.
  int progressAfter(uint32_t k) const;
  void release();

 private:
  LoadStatus allocate(uint32_t length);

  std::unique_ptr<uint8_t[]> buffer_;
  uint32_t length_ = 0;
  uint32_t count_ = 0;
};

}  // namespace kestrel
