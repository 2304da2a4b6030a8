#include "image/download_image.h"

#include <cstring>
#include <new>

namespace kestrel {

uint8_t BlockChecksum(const uint8_t* block, uint16_t pageAddress) {
  uint8_t sum = 0;
  for (uint32_t i = 0; i < kBlockSize; ++i) sum = uint8_t(sum + block[i]);
  return uint8_t(sum + pageAddress);
}

DownloadImage::LoadStatus DownloadImage::allocate(uint32_t length) {
  release();
  uint64_t count = blockCountFor(length);
  if (count > kMaxBlocks) return LoadStatus::TooLarge;
  // Ten spare blocks: block 0 exists, all zero, even for an empty image.
  size_t bytes = (size_t(count) + 10) * kBlockSize;
  buffer_.reset(new (std::nothrow) uint8_t[bytes]);
  if (!buffer_) return LoadStatus::NoMemory;
  std::memset(buffer_.get(), 0, bytes);
  length_ = length;
  count_ = uint32_t(count);
  return LoadStatus::Ok;
}

DownloadImage::LoadStatus DownloadImage::assign(const std::vector<uint8_t>& bytes) {
  if (bytes.size() > size_t(kMaxBlocks) * kBlockSize) return LoadStatus::TooLarge;
  LoadStatus status = allocate(uint32_t(bytes.size()));
  if (status == LoadStatus::Ok && !bytes.empty())
    std::memcpy(buffer_.get(), bytes.data(), bytes.size());
  return status;
}

std::vector<uint32_t> DownloadImage::sendOrder() const {
  std::vector<uint32_t> order;
  for (uint32_t k = 1; k < count_; ++k) order.push_back(k);
  order.push_back(0);
  return order;
}

int DownloadImage::progressAfter(uint32_t k) const {
  if (k == 0 || count_ == 0) return 100;
  return int((100u * k) / count_);
}

void DownloadImage::release() {
  buffer_.reset();
  length_ = 0;
  count_ = 0;
}

}  // namespace kestrel
