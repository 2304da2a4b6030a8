// Loading the flat image and cutting it into the download's blocks.

#include "image/download_image.h"

#include <gtest/gtest.h>

#include "platform/backends.h"
#include "support/temp_dir.h"
#include "update/firmware_files.h"

namespace kestrel {
namespace {

using Status = DownloadImage::LoadStatus;

DownloadImage imageOf(size_t length, uint8_t fill = 0xAB) {
  DownloadImage image;
  EXPECT_EQ(image.assign(std::vector<uint8_t>(length, fill)), Status::Ok);
  return image;
}

TEST(BlockSchedule, CountsBlocksRoundingUp) {
  EXPECT_EQ(imageOf(0).blockCount(), 0u);
  EXPECT_EQ(imageOf(1).blockCount(), 1u);
  EXPECT_EQ(imageOf(2048).blockCount(), 1u);
  EXPECT_EQ(imageOf(2049).blockCount(), 2u);
  EXPECT_EQ(imageOf(4097).blockCount(), 3u);
  EXPECT_EQ(imageOf(0x40000).blockCount(), 128u);
}

TEST(BlockSchedule, SendsFirstBlockLast) {
  EXPECT_EQ(imageOf(0).sendOrder(), (std::vector<uint32_t>{0}));
  EXPECT_EQ(imageOf(2048).sendOrder(), (std::vector<uint32_t>{0}));
  EXPECT_EQ(imageOf(4097).sendOrder(), (std::vector<uint32_t>{1, 2, 0}));
  auto order = imageOf(0x40000).sendOrder();
  ASSERT_EQ(order.size(), 128u);
  EXPECT_EQ(order[126], 127u);
  EXPECT_EQ(PageAddress(order[126]), 0x03F8);
  EXPECT_EQ(order[127], 0u);
}

TEST(BlockSchedule, PadsTheLastBlockAndBlockZeroOfAnEmptyImageWithZeros) {
  DownloadImage empty = imageOf(0);
  EXPECT_TRUE(
      std::all_of(empty.block(0), empty.block(0) + kBlockSize, [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(empty.checksum(0), 0x00);

  DownloadImage two = imageOf(2049, 0x11);
  EXPECT_EQ(two.block(1)[0], 0x11);
  EXPECT_TRUE(
      std::all_of(two.block(1) + 1, two.block(1) + kBlockSize, [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(PageAddress(1), 0x0008);
}

TEST(BlockSchedule, ChecksumAddsTheLowByteOfThePageAddress) {
  std::vector<uint8_t> ones(kBlockSize, 0xFF);
  EXPECT_EQ(BlockChecksum(ones.data(), 0x0008), 0x08);
  std::vector<uint8_t> zeros(kBlockSize, 0);
  EXPECT_EQ(BlockChecksum(zeros.data(), 0x0010), 0x10);
  EXPECT_EQ(BlockChecksum(zeros.data(), 0x0100), 0x00);  // block 32: only the low byte counts
  std::vector<uint8_t> counting(kBlockSize);
  for (size_t i = 0; i < counting.size(); ++i) counting[i] = uint8_t(i);
  EXPECT_EQ(BlockChecksum(counting.data(), 0), 0x00);  // 8 * (0 + ... + 255) wraps to 0
  counting[0] = 3;
  EXPECT_EQ(BlockChecksum(counting.data(), 0x0108), 0x0B);
}

TEST(BlockSchedule, ProgressAfterEachBlock) {
  DownloadImage three = imageOf(4097);
  EXPECT_EQ(three.progressAfter(1), 33);
  EXPECT_EQ(three.progressAfter(2), 66);
  EXPECT_EQ(three.progressAfter(0), 100);
  EXPECT_EQ(imageOf(2049).progressAfter(1), 50);
  EXPECT_EQ(imageOf(0x40000).progressAfter(127), 99);
  EXPECT_EQ(imageOf(0).progressAfter(0), 100);
}

TEST(DownloadImageAssign, TakesTheBytesAndRefusesMoreBlocksThanPagesReach) {
  std::vector<uint8_t> bytes(5000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 13);
  DownloadImage image;
  ASSERT_EQ(image.assign(bytes), Status::Ok);
  EXPECT_EQ(image.length(), 5000u);
  EXPECT_TRUE(std::equal(bytes.begin() + 4096, bytes.end(), image.block(2)));

  EXPECT_EQ(image.assign(std::vector<uint8_t>(size_t(kMaxBlocks) * kBlockSize + 1)),
            Status::TooLarge);
  EXPECT_EQ(image.assign(std::vector<uint8_t>(size_t(kMaxBlocks) * kBlockSize)), Status::Ok);
  EXPECT_EQ(image.blockCount(), kMaxBlocks);
}

TEST(ImageFile, ReadsWhatWasWrittenAndNamesAMissingFile) {
  test::TempDir dir;
  std::vector<uint8_t> bytes = {1, 2, 3};
  test::writeFile("fw.bin", bytes);
  std::vector<uint8_t> read;
  std::string error;
  ASSERT_TRUE(readImageFile(fileSystem(), "fw.bin", &read, &error)) << error;
  EXPECT_EQ(read, bytes);
  EXPECT_FALSE(readImageFile(fileSystem(), "gone.bin", &read, &error));
  EXPECT_EQ(error, "Cannot open " + test::missingFile("gone.bin"));
}

}  // namespace
}  // namespace kestrel
