// The scan queue: its order, its size limit and when it lists the directory.

#include "intake/scan_queue.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/error.h"
#include "testsupport/temp_root.h"

namespace corvane::intake {
namespace {

namespace fs = std::filesystem;
using corvane::testing::FilesIn;
using corvane::testing::ReadFileOrEmpty;
using corvane::testing::WriteFile;

class ScanQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(dir_);
    fs::create_directory(big_);
  }

  // Writes `name` with `size` bytes, last written today at hh:mm.
  void WriteScan(const std::string& name, size_t size, int hour, int minute) {
    const std::string path = dir_ + "/" + name;
    WriteFile(path, std::string(size, 'x'));
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    fs::last_write_time(path, fs::file_time_type::clock::from_sys(
                                  std::chrono::system_clock::from_time_t(std::mktime(&local))));
  }

  // Names in the order the queue hands them out until it runs dry. Each
  // file is removed once taken, as processing does.
  std::vector<std::string> Drain(ScanQueue& queue) {
    std::vector<std::string> names;
    while (const ScanFileEntry* entry = queue.TakeNext()) {
      names.push_back(entry->name);
      fs::remove(queue.CurrentPath());
      if (names.size() > 100) break;  // a queue that never runs dry
    }
    return names;
  }

  corvane::testing::TempRoot root_;
  std::string dir_ = root_.path() + "/cvscan";
  std::string big_ = dir_ + "/ErrorBigScan";
};

TEST_F(ScanQueueTest, OldestFileComesFirst) {
  WriteScan("b.scn", 10, 10, 2);
  WriteScan("c.scn", 10, 10, 0);
  WriteScan("a.scn", 10, 10, 1);
  ScanQueue queue(dir_, big_, 1000, "SCA");
  const ScanFileEntry* first = queue.TakeNext();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->name, "c.scn");
  EXPECT_EQ(queue.current(), first);
  EXPECT_EQ(queue.CurrentPath(), dir_ + "/c.scn");
  EXPECT_EQ(queue.waiting(), 2u);
  fs::remove(queue.CurrentPath());
  EXPECT_EQ(Drain(queue), (std::vector<std::string>{"a.scn", "b.scn"}));
  EXPECT_EQ(queue.current(), nullptr);
  EXPECT_EQ(queue.CurrentPath(), "");
}

TEST_F(ScanQueueTest, EqualTimesKeepTheListingOrder) {
  std::vector<ScanFileEntry> listing = {{"late1.scn", 1, 200},
                                        {"early1.scn", 1, 100},
                                        {"late2.scn", 1, 200},
                                        {"early2.scn", 1, 100},
                                        {"late3.scn", 1, 200}};
  int listings = 0;
  ScanQueue queue(dir_, big_, 1000, "SCA", [&](const std::string& directory) {
    EXPECT_EQ(directory, dir_);
    ++listings;
    return listings == 1 ? listing : std::vector<ScanFileEntry>{};
  });
  EXPECT_EQ(Drain(queue), (std::vector<std::string>{"early1.scn", "early2.scn", "late1.scn",
                                                    "late2.scn", "late3.scn"}));
  EXPECT_EQ(listings, 2);  // once for the batch, once more to find it empty
}

TEST_F(ScanQueueTest, FilesAboveTheLimitMoveToErrorBigScanAndAreNeverQueued) {
  WriteScan("exact.scn", 100, 9, 0);
  WriteScan("over.scn", 101, 8, 0);
  std::vector<std::string> told;  // what the error directories' bound learns
  ScanQueue queue(dir_, big_, 100, "SCANNER", {},
                  [&](const std::string& path) { told.push_back(path); });
  EXPECT_EQ(Drain(queue), std::vector<std::string>{"exact.scn"});
  EXPECT_FALSE(fs::exists(dir_ + "/over.scn"));
  const std::vector<std::string> moved = FilesIn(big_);
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(told, std::vector<std::string>{big_ + "/" + moved[0]});
  // Three characters of the prefix, four hex digits, ".scn"; no placeholder left.
  EXPECT_EQ(moved[0].size(), 11u) << moved[0];
  EXPECT_EQ(moved[0].substr(0, 3), "SCA");
  EXPECT_EQ(moved[0].substr(7), ".scn");
  EXPECT_EQ(ReadFileOrEmpty(big_ + "/" + moved[0]), std::string(101, 'x'));
}

TEST_F(ScanQueueTest, ABigFileThatCannotBeMovedStaysOutOfTheQueue) {
  fs::remove(big_);
  WriteScan("over.scn", 101, 8, 0);
  WriteScan("fine.scn", 5, 9, 0);
  bool told = false;
  ScanQueue queue(dir_, big_, 100, "SCA", {}, [&](const std::string&) { told = true; });
  EXPECT_EQ(Drain(queue), std::vector<std::string>{"fine.scn"});
  EXPECT_TRUE(fs::exists(dir_ + "/over.scn"));
  EXPECT_FALSE(told);
}

TEST_F(ScanQueueTest, TheDirectoryIsListedOnlyWhenTheQueueRanEmpty) {
  WriteScan("one.scn", 1, 10, 0);
  WriteScan("two.scn", 1, 10, 1);
  ScanQueue queue(dir_, big_, 1000, "SCA");
  ASSERT_NE(queue.TakeNext(), nullptr);
  fs::remove(queue.CurrentPath());
  // Older than everything waiting, but it came after the listing.
  WriteScan("newcomer.scn", 1, 9, 0);
  EXPECT_EQ(Drain(queue), (std::vector<std::string>{"two.scn", "newcomer.scn"}));

  // Clear forgets the batch and the current entry; the files stay, so the
  // next take lists them again.
  WriteScan("three.scn", 1, 11, 0);
  WriteScan("four.scn", 1, 11, 1);
  ASSERT_NE(queue.TakeNext(), nullptr);
  EXPECT_EQ(queue.waiting(), 1u);
  queue.Clear();
  EXPECT_EQ(queue.current(), nullptr);
  EXPECT_EQ(queue.waiting(), 0u);
  EXPECT_EQ(Drain(queue), (std::vector<std::string>{"three.scn", "four.scn"}));
}

TEST_F(ScanQueueTest, ListingTakesPlainFilesWithTheExtensionInAnyCase) {
  WriteFile(dir_ + "/a.scn", "1");
  WriteFile(dir_ + "/B.SCN", "22");
  WriteFile(dir_ + "/c.scnx", "");
  WriteFile(dir_ + "/d.tmp", "");
  WriteFile(dir_ + "/.scn", "");
  WriteFile(dir_ + "/e.ims", "");
  fs::create_directory(dir_ + "/dir.scn");
  fs::create_symlink(dir_ + "/a.scn", dir_ + "/link.scn");
  std::vector<std::string> names;
  for (const ScanFileEntry& entry : ListDirectory(dir_, "scn")) {
    names.push_back(entry.name);
    EXPECT_EQ(entry.size, entry.name == "a.scn" ? 1u : 2u);
    EXPECT_GT(entry.last_write_ns, 0);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"B.SCN", "a.scn"}));
  EXPECT_EQ(ListDirectory(dir_, "ims").size(), 1u);

  EXPECT_THROW(ListDirectory(dir_ + "/missing", "scn"), platform::OsError);
  ScanQueue queue(dir_ + "/missing", big_, 1000, "SCA");
  EXPECT_THROW(queue.TakeNext(), platform::OsError);
}

}  // namespace
}  // namespace corvane::intake
