#include "platform/dirwatch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/sync_test_util.h"

namespace corvane::platform {
namespace {

using namespace ::corvane::platform::testing;
namespace fs = std::filesystem;

class DirectoryWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/dirwatch_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Touch(const std::string& path) { std::ofstream(path) << "x"; }
  // Drains what is pending and checks that nothing else is.
  void ExpectQuietAfterDrain(DirectoryWatch& watch) {
    watch.TryAcquire();
    EXPECT_FALSE(watch.TryAcquire());
  }

  std::string dir_;
};

TEST_F(DirectoryWatchTest, EveryNameChangeWakesAWaitAndAcquiringDrainsIt) {
  DirectoryWatch watch(dir_);
  Event other(/*manual_reset=*/false, /*initially_set=*/false);
  EXPECT_EQ(WaitForAny({&other, &watch}, kShortMs), kWaitTimeout);

  Touch(dir_ + "/a.tmp");  // created and closed after writing: several records
  EXPECT_EQ(WaitForAny({&other, &watch}, kLongMs), 1);
  // One acquisition took all of them.
  EXPECT_EQ(WaitForAny({&other, &watch}, 0), kWaitTimeout);

  fs::rename(dir_ + "/a.tmp", dir_ + "/a.scn");
  EXPECT_EQ(WaitForAny({&watch}, kLongMs), 0);
  EXPECT_EQ(WaitForAny({&watch}, 0), kWaitTimeout);

  fs::remove(dir_ + "/a.scn");
  EXPECT_EQ(WaitForAny({&watch}, kLongMs), 0);

  // Moved in from elsewhere, and moved out again.
  const std::string outside = dir_ + "_outside";
  Touch(outside);
  ExpectQuietAfterDrain(watch);
  fs::rename(outside, dir_ + "/b.scn");
  EXPECT_EQ(WaitForAny({&watch}, kLongMs), 0);
  fs::rename(dir_ + "/b.scn", outside);
  EXPECT_EQ(WaitForAny({&watch}, kLongMs), 0);
  fs::remove(outside);
}

TEST_F(DirectoryWatchTest, ChangesInsideSubdirectoriesAreNotReported) {
  fs::create_directory(dir_ + "/ErrorScan");
  DirectoryWatch watch(dir_);
  Touch(dir_ + "/ErrorScan/x.scn");
  fs::remove(dir_ + "/ErrorScan/x.scn");
  EXPECT_EQ(WaitForAny({&watch}, kShortMs), kWaitTimeout);
  // A change in the directory itself after them still comes through.
  Touch(dir_ + "/y.scn");
  EXPECT_EQ(WaitForAny({&watch}, kLongMs), 0);
}

TEST_F(DirectoryWatchTest, ADirectoryThatCannotBeWatchedThrowsWithItsName) {
  const std::string missing = dir_ + "/missing";
  try {
    DirectoryWatch watch(missing);
    FAIL() << "watching a missing directory succeeded";
  } catch (const OsError& error) {
    EXPECT_EQ(error.error_number(), ENOENT);
    EXPECT_NE(std::string(error.what()).find(missing), std::string::npos) << error.what();
  }
  Touch(dir_ + "/file");
  try {
    DirectoryWatch watch(dir_ + "/file");
    FAIL() << "watching a plain file succeeded";
  } catch (const OsError& error) {
    EXPECT_EQ(error.error_number(), ENOTDIR);
  }
}

}  // namespace
}  // namespace corvane::platform
