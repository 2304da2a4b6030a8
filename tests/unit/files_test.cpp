// The platform's files as the update uses them: the one rule that splits a path, and what the
// window makes of a chosen file.

#include "platform_api/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/backends.h"
#include "support/fake_window.h"
#include "support/null_backends.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"
#include "update/update_commands.h"

namespace kestrel {
namespace {

// Folder and title of a path by the platform's rule; Windows takes "\" and "/", drives and the
// "\\?\" and "\\server\" forms, where POSIX has only "/" and a backslash is part of a name.
TEST(PathRule, SplitsWhereThePlatformSeparates) {
  struct Row {
    std::string path, folder, title;
  };
  const std::vector<Row> rows = {
      {"fw.out", "", "fw"},
      {"build/fw.elf", "build/", "fw"},
      {"sub.d/fw", "sub.d/", "fw"},
      {"../fwup", "../", "fwup"},
      {"/abs/image.test.out", "/abs/", "image.test"},
      {".out", "", ""},
#ifdef _WIN32
      {"sub.d\\fw", "sub.d\\", "fw"},
      {"..\\fwup", "..\\", "fwup"},
      {"x\\..\\fwup", "x\\..\\", "fwup"},
      {"C:fw.out", "C:", "fw"},
      {"c:\\dir.x\\fw.out", "c:\\dir.x\\", "fw"},
      {"dir/sub.d\\fw.elf", "dir/sub.d\\", "fw"},
      {"\\\\?\\C:\\deep.d\\fw.out", "\\\\?\\C:\\deep.d\\", "fw"},
      {"\\\\server\\share.d\\fw", "\\\\server\\share.d\\", "fw"},
#else
      {"sub.d\\fw", "", "sub"},
      {"..\\fwup", "", "."},
      {"C:fw.out", "", "C:fw"},
#endif
  };
  FileSystem& files = fileSystem();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(folderOf(files, row.path), row.folder);
    EXPECT_EQ(titleOf(files, row.path), row.title);
    EXPECT_EQ(withoutExtension(files, row.path), row.folder + row.title);
  }
}

TEST(PathRule, SameFileByAnyRoad) {
  test::TempDir dir;
  std::filesystem::create_directory("sub");
  test::writeFile("sub/fw.out", {1});
  FileSystem& files = fileSystem();
  EXPECT_TRUE(files.sameFile("sub/fw.out", "sub/../sub/fw.out"));
  EXPECT_TRUE(files.sameFile("gone.bin", "gone.bin"));
  EXPECT_FALSE(files.sameFile("sub/fw.out", "sub/fw.bin"));
#ifdef _WIN32
  EXPECT_TRUE(files.sameFile("sub/fw.out", "SUB\\FW.OUT"));
#endif
}

// "Search...": the chosen file's folder becomes the current folder and its title the window's;
// a folder that cannot be made current changes neither, and says why.
TEST(ChosenFile, TakesTheFolderAndTheTitleOrNeither) {
  test::TempDir dir;
  test::ManualClock clock;
  test::NoSerialPorts serial;
  test::NoHidDevices hid;
  test::FakeWindow w(clock, serial, hid);
  std::filesystem::create_directory("image.d");
  const std::filesystem::path folder = std::filesystem::current_path() / "image.d";

  takeChosenFile(w, (folder / "image.test.out").string());
  EXPECT_EQ(w.firmwareTitle.get(), "image.test");
  EXPECT_EQ(std::filesystem::current_path(), folder);
  EXPECT_TRUE(w.messages().empty());

  takeChosenFile(w, (dir.path() / "gone" / "fw.out").string());
  EXPECT_EQ(w.firmwareTitle.get(), "image.test");
  EXPECT_EQ(std::filesystem::current_path(), folder);
  ASSERT_EQ(w.messages().size(), 1u);
  EXPECT_EQ(
      w.messages()[0].text.rfind("Cannot use the folder " + (dir.path() / "gone").string(), 0), 0u)
      << w.messages()[0].text;
  EXPECT_EQ(w.messages()[0].icon, MessageIcon::Error);
}

}  // namespace
}  // namespace kestrel
