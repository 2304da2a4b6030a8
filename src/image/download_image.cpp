#include "image/download_image.h"

#include <cerrno>
#include <cstdio>
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
  uint32_t count = (length >> 11) + ((length & 0x7FF) ? 1 : 0);
  if (count > kMaxBlocks) return LoadStatus::TooLarge;
  // Ten spare blocks: block 0 exists, all zero, even for an empty image.
  size_t bytes = (size_t(count) + 10) * kBlockSize;
  buffer_.reset(new (std::nothrow) uint8_t[bytes]);
  if (!buffer_) return LoadStatus::NoMemory;
  std::memset(buffer_.get(), 0, bytes);
  length_ = length;
  count_ = count;
  return LoadStatus::Ok;
}

DownloadImage::LoadStatus DownloadImage::load(const std::string& title, std::string* error) {
  const std::string path = title + ".bin";
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *error = "Cannot open " + path + ": " + std::strerror(errno);
    return LoadStatus::CannotOpen;
  }
  long end = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) end = std::ftell(f);
  if (end < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
    *error = "Cannot read " + path + ": " + std::strerror(errno);
    std::fclose(f);
    return LoadStatus::CannotOpen;
  }
  if (uint64_t(end) > uint64_t(kMaxBlocks) * kBlockSize) {
    *error = path + " is too large: " + std::to_string(end) + " bytes, at most " +
             std::to_string(kMaxBlocks * kBlockSize) + " fit the device's page addresses";
    std::fclose(f);
    return LoadStatus::TooLarge;
  }
  LoadStatus status = allocate(uint32_t(end));
  if (status != LoadStatus::Ok) {
    std::fclose(f);
    error->clear();
    return status;
  }
  size_t got = std::fread(buffer_.get(), 1, length_, f);
  std::fclose(f);
  if (got != length_) {
    *error = "Cannot read " + path + ": the file ended early";
    release();
    return LoadStatus::CannotOpen;
  }
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
