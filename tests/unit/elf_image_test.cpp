// The conversion of ELF files into flat images, and of `title`.out into `title`.bin.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "image/elf_image_extractor.h"
#include "platform/backends.h"
#include "platform/process.h"
#include "sim/elf_builder.h"
#include "support/fake_window.h"
#include "support/faulty_file_system.h"
#include "support/null_backends.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"
#include "update/firmware_files.h"
#include "update/update_commands.h"

namespace kestrel {
namespace {

using sim::ElfBuilder;
using sim::patternBytes;
using Status = Extraction::Status;

Extraction extract(const std::vector<uint8_t>& file) {
  return extractImage(MemorySource(file.data(), file.size()));
}

void put32(std::vector<uint8_t>& f, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) f[at + i] = uint8_t(v >> (8 * i));
}

TEST(ElfImage, AcceptsAnySignatureByteZeroClassAndEncoding) {
  auto file = ElfBuilder().add(0x100, {1, 2, 3}).build();
  file[0] = 0x00;  // byte 0, class and data encoding are not examined
  file[4] = 9;
  file[5] = 2;
  Extraction x = extract(file);
  ASSERT_EQ(x.status, Status::Ok);
  EXPECT_EQ(x.image, (std::vector<uint8_t>{1, 2, 3}));
}

TEST(ElfImage, RefusesWhatIsNotElf) {
  auto file = ElfBuilder().add(0, {1}).build();
  file[2] = 'l';
  EXPECT_EQ(extract(file).status, Status::NotElf);
  std::vector<uint8_t> shortFile = {0x7F, 'E', 'L', 'F'};
  EXPECT_EQ(extract(shortFile).status, Status::NotElf);
  EXPECT_EQ(extract({}).status, Status::NotElf);
}

TEST(ElfImage, FirstEntryWithoutOffsetGivesEmptyImage) {
  Extraction x = extract(ElfBuilder().build());
  ASSERT_EQ(x.status, Status::Ok);
  EXPECT_TRUE(x.image.empty());
}

TEST(ElfImage, FillsLastUnitWithFollowingFileBytesAndGapsWithZeros) {
  auto first = patternBytes(0x100, 3);
  auto after = patternBytes(0x100, 99);  // the 256 bytes that follow entry 0's bytes in the file
  auto second = patternBytes(0x10, 42);
  std::vector<uint8_t> firstArea = first;
  firstArea.insert(firstArea.end(), after.begin(), after.end());
  auto file =
      ElfBuilder().add({0x0, firstArea, 0x1000, 0x100}).add({0x800, second, 0x1200, 0}).build();
  Extraction x = extract(file);
  ASSERT_EQ(x.status, Status::Ok);
  ASSERT_EQ(x.image.size(), 0x810u);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), x.image.begin()));
  EXPECT_TRUE(std::equal(after.begin(), after.end(), x.image.begin() + 0x100));
  EXPECT_TRUE(std::all_of(x.image.begin() + 0x200, x.image.begin() + 0x800,
                          [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::equal(second.begin(), second.end(), x.image.begin() + 0x800));
}

TEST(ElfImage, ReadsWholeUnitsOf512Bytes) {
  auto trailer = patternBytes(600, 7);
  auto imageFor = [&](uint32_t size) {
    auto bytes = patternBytes(size, 1);
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
    return extract(ElfBuilder().add({0, bytes, 0x100, size}).add(0x1000, {0xEE}).build()).image;
  };
  auto one = imageFor(512);  // one unit: nothing of the trailer
  EXPECT_TRUE(
      std::all_of(one.begin() + 512, one.begin() + 0x1000, [](uint8_t b) { return b == 0; }));
  auto two = imageFor(513);  // two units: the trailer fills the second up to byte 1023
  EXPECT_TRUE(std::equal(trailer.begin(), trailer.begin() + 511, two.begin() + 513));
  EXPECT_EQ(two[1024], 0);
}

TEST(ElfImage, LengthComesFromTheLastEntryWalked) {
  auto file = ElfBuilder()
                  .add(0x0, patternBytes(0x100, 1))
                  .add(0x1000, patternBytes(0x100, 2))
                  .add(0x800, patternBytes(0x100, 3))
                  .build();
  Extraction x = extract(file);
  ASSERT_EQ(x.status, Status::Ok);
  EXPECT_EQ(x.image.size(), 0x900u);

  // An empty last segment runs the image on in zeros up to its address.
  Extraction y = extract(ElfBuilder().add(0x0, {5}).add({0x300, {}, 0x400, 0}).build());
  ASSERT_EQ(y.status, Status::Ok);
  EXPECT_EQ(y.image.size(), 0x300u);
}

TEST(ElfImage, RefusesSegmentsOutsideTheImage) {
  auto below = extract(ElfBuilder().add(0x1000, {1}).add(0x0FFF, {2}).build());
  EXPECT_EQ(below.status, Status::BelowBase);
  EXPECT_NE(below.detail.find("below the image base"), std::string::npos);

  // The rounded extent counts: 0x201 bytes at 0x3FE00 read two units and pass 0x40000.
  EXPECT_EQ(extract(ElfBuilder().add(0, {1}).add(0x3FE00, patternBytes(0x201, 1)).build()).status,
            Status::OutOfRange);
  auto full = extract(ElfBuilder().add(0, {1}).add(0x3FE00, patternBytes(0x200, 1)).build());
  ASSERT_EQ(full.status, Status::Ok);
  EXPECT_EQ(full.image.size(), 0x40000u);
  EXPECT_EQ(extract(ElfBuilder().add({0, {1}, 0, 0x7FFFFFFF}).build()).status, Status::OutOfRange);
}

TEST(ElfImage, RefusesTableThatRunsOffTheEndOfTheFile) {
  auto file = ElfBuilder().add(0, {1, 2}).build();
  put32(file, 28, uint32_t(file.size() - 40));  // entry 0 fits, entry 1 does not
  put32(file, file.size() - 40 + 4, 0x40);
  EXPECT_EQ(extract(file).status, Status::TableTruncated);
  put32(file, 28, 0xFFFFFFF0);
  EXPECT_EQ(extract(file).status, Status::TableTruncated);
}

// The file's bytes, with a read that fails from `failsAt` on.
class FailingSource final : public ByteSource {
 public:
  FailingSource(const std::vector<uint8_t>& bytes, uint64_t failsAt)
      : bytes_(bytes), failsAt_(failsAt) {}
  uint64_t size() const override { return bytes_.size(); }
  int64_t readAt(uint64_t offset, uint8_t* out, size_t n, std::string* error) const override {
    if (offset + n > failsAt_ && offset < bytes_.size()) {
      *error = "fw.out: Input/output error";
      return -1;
    }
    return MemorySource(bytes_.data(), bytes_.size()).readAt(offset, out, n, error);
  }

 private:
  const std::vector<uint8_t>& bytes_;
  const uint64_t failsAt_;
};

// Missing code is never made up with zeros: a segment that the end of the file cuts short, or
// that cannot be read, refuses the file. The end of the file may still cut the rest of a
// segment's last 512-byte unit, which is not the segment's.
TEST(ElfImage, RefusesSegmentsThatAreNotAllThere) {
  const auto firmware = ElfBuilder().add(0x0, patternBytes(131 * 1024 + 100, 5)).build();
  const size_t segmentAt = 0x80;  // after the header and a table of two entries, aligned
  ASSERT_EQ(firmware.size(), segmentAt + 131 * 1024 + 100);
  auto cut = [&](size_t n) { return std::vector<uint8_t>(firmware.begin(), firmware.begin() + n); };
  struct Row {
    const char* name;
    std::vector<uint8_t> file;
    Status status;
    std::string detail;
  };
  const std::vector<Row> rows = {
      {"the first 4 KiB", cut(4096), Status::Truncated,
       "segment 0 (134244 bytes at file offset 0x80) runs past the end of the file at 0x1000: "
       "the file is cut short"},
      {"one byte short", cut(firmware.size() - 1), Status::Truncated, "segment 0 (134244 bytes"},
      {"whole, its last unit past the end", firmware, Status::Ok, ""},
      {"an empty segment past the end",
       ElfBuilder().add(0x0, {5}).add({0x300, {}, 0x4000, 0}).build(), Status::Ok, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Extraction x = extract(row.file);
    EXPECT_EQ(x.status, row.status);
    EXPECT_EQ(x.detail.substr(0, row.detail.size()), row.detail);
    if (row.status != Status::Ok) {
      EXPECT_TRUE(x.image.empty());
    }
  }

  // In the header, in the table, in the segment.
  for (uint64_t failsAt : {uint64_t(3), uint64_t(60), segmentAt + 4096}) {
    SCOPED_TRACE(failsAt);
    Extraction x = extractImage(FailingSource(firmware, failsAt));
    EXPECT_EQ(x.status, Status::ReadFailed);
    EXPECT_EQ(x.detail.find("fw.out: Input/output error (reading "), 0u) << x.detail;
    EXPECT_TRUE(x.image.empty());
  }
}

class Convert : public ::testing::Test {
 protected:
  test::ManualClock clock;
  test::NoSerialPorts serial;
  test::NoHidDevices hid;
  test::TempDir dir;
  test::FakeWindow w{clock, serial, hid};

  bool noTemporaryFilesLeft() const {
    for (auto& e : std::filesystem::directory_iterator(dir.path())) {
      if (e.path().filename().string().rfind(".kestrel-", 0) == 0) return false;
    }
    return true;
  }
  ConvertResult convert(const std::string& title) {
    Extraction x;
    return kestrel::convert(w, title, &x);
  }
};

TEST_F(Convert, WritesTheImageBesideTheElfFile) {
  test::writeFile("fw.out", ElfBuilder().add(0x8000, {9, 8, 7}).build());
  EXPECT_EQ(convert("fw"), ConvertResult::Ok);
  EXPECT_EQ(test::readFile("fw.bin"), (std::vector<uint8_t>{9, 8, 7}));
  EXPECT_TRUE(w.messages().empty());
  EXPECT_TRUE(noTemporaryFilesLeft());
}

TEST_F(Convert, MissingInputAsksForAFileAndLeavesTheOldImage) {
  test::writeFile("fw.bin", {1, 2, 3});
  EXPECT_EQ(convert("fw"), ConvertResult::Failed);
  EXPECT_EQ(convert(""), ConvertResult::Failed);
  test::Shown expected{"Please select a file first !", std::nullopt, MessageIcon::None, false};
  EXPECT_EQ(w.messages(), (std::vector<test::Shown>{expected, expected}));
  EXPECT_EQ(test::readFile("fw.bin"), (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(Convert, RefusalKeepsTheOldImageAndLeavesNoTemporaryFile) {
  test::writeFile("fw.bin", {1, 2, 3});
  test::writeFile("fw.out", {'n', 'o', 't', ' ', 'e', 'l', 'f'});
  EXPECT_EQ(convert("fw"), ConvertResult::Failed);
  ASSERT_EQ(w.messages().size(), 1u);
  EXPECT_EQ(w.messages()[0],
            (test::Shown{"This is not a ELF file", std::nullopt, MessageIcon::Warning, true}));

  test::writeFile("fw.out", ElfBuilder().add(0x1000, {1}).add(0x10, {2}).build());
  EXPECT_EQ(convert("fw"), ConvertResult::Failed);
  EXPECT_NE(w.texts().back().find("fw.out: segment 1 at 0x10 lies below the image base 0x1000"),
            std::string::npos);
  EXPECT_EQ(test::readFile("fw.bin"), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_TRUE(noTemporaryFilesLeft());
}

TEST_F(Convert, ImageThatCannotBeWrittenNamesTheBinFileAndReason) {
  test::writeFile("fw.out", ElfBuilder().add(0, {1}).build());
  std::filesystem::create_directory("fw.bin");  // nothing can be renamed over a folder
  EXPECT_EQ(convert("fw"), ConvertResult::FileError);
  ASSERT_EQ(w.messages().size(), 1u);
#ifdef _WIN32
  EXPECT_EQ(w.messages()[0].text, "Cannot write fw.bin: a folder, not a file");
#else
  EXPECT_EQ(w.messages()[0].text, "Cannot write fw.bin: Is a directory");
#endif
  EXPECT_EQ(w.messages()[0].icon, MessageIcon::Error);
  EXPECT_TRUE(noTemporaryFilesLeft());

#ifndef _WIN32
  if (::geteuid() != 0) {  // the superuser creates files anywhere
    std::filesystem::create_directory("ro");
    test::writeFile("ro/fw.out", ElfBuilder().add(0, {1}).build());
    std::filesystem::permissions(
        "ro", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    w.clearRecords();
    EXPECT_EQ(convert("ro/fw"), ConvertResult::FileError);
    EXPECT_EQ(w.messages()[0].text, "Cannot create ro/fw.bin: Permission denied");
    std::filesystem::permissions("ro", std::filesystem::perms::owner_all);
  }
#endif
}

// What the Run command makes of a firmware file cut short or unreadable: the reason, then "File
// Convert fail!", the old image kept and nothing started.
TEST_F(Convert, RunRefusesAFirmwareFileThatIsNotAllThere) {
  auto firmware = ElfBuilder().add(0x0, patternBytes(131 * 1024, 5)).build();
  test::writeFile("fw.bin", {1, 2, 3});
  test::FaultyFileSystem badSector({.readFailsAt = 0x2000, .readError = EIO});
  struct Row {
    const char* name;
    size_t length;
    FileSystem& files;
    std::string reason;
  };
  const Row rows[] = {
      {"cut short", 4096, fileSystem(),
       "fw.out: segment 0 (134144 bytes at file offset 0x80) runs past the end of the file at "
       "0x1000: the file is cut short"},
      {"read error", firmware.size(), badSector,
       "fw.out: " + systemErrorText(EIO) + " (reading segment 0 at file offset 0x80)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    test::writeFile("fw.out",
                    std::vector<uint8_t>(firmware.begin(), firmware.begin() + row.length));
    test::FakeWindow run(clock, serial, hid, row.files);
    run.typeTitle("fw");
    runCommand(run);
    EXPECT_EQ(run.messages(), (std::vector<test::Shown>{
                                  {row.reason, std::nullopt, MessageIcon::Warning, true},
                                  {"File Convert fail!", "Error", MessageIcon::None, false}}));
    EXPECT_EQ(run.outcome.get().cause, UpdateOutcome::Cause::ImageRefused);
    EXPECT_EQ(run.outcome.get().detail, row.reason);
    EXPECT_EQ(test::readFile("fw.bin"), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_TRUE(run.runEnabled());
    EXPECT_TRUE(noTemporaryFilesLeft());
  }
}

#ifdef KESTREL_CROSS_ELF
// A real firmware file from the cross toolchain: where the rules agree (segments loaded where
// they run, zero padding in the file), the image equals what objcopy makes of it.
TEST_F(Convert, RealCrossCompiledFirmwareMatchesObjcopy) {
  std::filesystem::copy_file(KESTREL_CROSS_ELF, "cross.out");
  ASSERT_EQ(convert("cross"), ConvertResult::Ok) << (w.texts().empty() ? "" : w.texts()[0]);
  auto expected = test::readFile(KESTREL_CROSS_BIN);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(test::readFile("cross.bin"), expected);
}
#endif

}  // namespace
}  // namespace kestrel
