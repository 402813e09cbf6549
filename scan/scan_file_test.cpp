// Reading scan files: retry, delete after reading, and setting unreadable
// files aside in "ErrorScan".

#include "scan/scan_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "testsupport/temp_root.h"

namespace corvane::scan {
namespace {

namespace fs = std::filesystem;
using corvane::testing::TempRoot;
using corvane::testing::WriteFile;

constexpr ScanFileRetry kQuick{3, std::chrono::milliseconds(1)};

TEST(ReadScanFileTest, ReadsWholeFileAndDeletesItUnlessKept) {
  TempRoot root;
  std::string path = root.path() + "/SCA1.scn";
  std::string bytes = "Device ID = 1\r\n" + std::string(100000, 'x') + "\n";
  WriteFile(path, bytes);
  std::optional<ScanText> kept = ReadScanFile(path, true);
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(kept->view(), bytes);
  EXPECT_TRUE(fs::exists(path));

  std::optional<ScanText> taken = ReadScanFile(path, false);
  ASSERT_TRUE(taken.has_value());
  EXPECT_EQ(taken->view(), bytes);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(fs::exists(root.path() + "/ErrorScan"));
}

TEST(ReadScanFileTest, EmptyFileIsAnEmptyText) {
  TempRoot root;
  std::string path = root.path() + "/SCA2.scn";
  WriteFile(path, "");
  std::optional<ScanText> empty = ReadScanFile(path, false);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
  EXPECT_FALSE(fs::exists(path));
}

TEST(ReadScanFileTest, MissingFileGivesNothingAndStaysUnmoved) {
  TempRoot root;
  EXPECT_FALSE(ReadScanFile(root.path() + "/none.scn", false, kQuick).has_value());
  EXPECT_FALSE(fs::exists(root.path() + "/ErrorScan"));
}

TEST(ReadScanFileTest, RetriesUntilTheFileCanBeOpened) {
  TempRoot root;
  std::string path = root.path() + "/late.scn";
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    WriteFile(path + ".tmp", "Device ID = 3\n");
    fs::rename(path + ".tmp", path);
  });
  std::optional<ScanText> text = ReadScanFile(path, false);
  writer.join();
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->view(), "Device ID = 3\n");
}

TEST(ReadScanFileTest, UnreadableFileMovesToErrorScanBesideIt) {
  TempRoot root;
  // A directory opens but cannot be read as a file.
  std::string path = root.path() + "/cvscan/SCA3.scn";
  fs::create_directories(path);
  EXPECT_FALSE(ReadScanFile(path, true, kQuick).has_value());
  EXPECT_TRUE(fs::exists(path));  // kept files are never moved

  EXPECT_FALSE(ReadScanFile(path, false, kQuick).has_value());
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(fs::exists(root.path() + "/cvscan/ErrorScan/SCA3.scn"));
}

}  // namespace
}  // namespace corvane::scan
