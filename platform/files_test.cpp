// Replacing a file's contents in one step, and the exclusive lock that
// appenders share.

#include "platform/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "testsupport/temp_root.h"

namespace corvane::platform {
namespace {

using corvane::testing::FilesIn;
using corvane::testing::ReadFileOrEmpty;
using corvane::testing::TempRoot;

unsigned ModeOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

TEST(ReplaceFileContentsTest, ReplacesWholeWithTheModeAskedForAndLeavesNoTemporaryFile) {
  TempRoot root;
  const std::string path = root.path() + "/state";
  ReplaceFileContents(path, "first\n", 0600);
  EXPECT_EQ(ReadFileOrEmpty(path), "first\n");
  EXPECT_EQ(ModeOf(path), 0600u);
  // A longer file replaced by a shorter one keeps nothing of the old.
  ReplaceFileContents(path, "2\n", 0640);
  EXPECT_EQ(ReadFileOrEmpty(path), "2\n");
  EXPECT_EQ(ModeOf(path), 0640u);
  ReplaceFileContents(path, "");
  EXPECT_EQ(ReadFileOrEmpty(path), "");
  EXPECT_EQ(FilesIn(root.path()), std::vector<std::string>{"state"});
}

TEST(ReplaceFileContentsTest, AFailureNamesWhatFailedAndLeavesNoTemporaryFile) {
  TempRoot root;
  try {
    ReplaceFileContents(root.path() + "/missing/state", "x");
    ADD_FAILURE() << "a file in a missing directory was written";
  } catch (const OsError& error) {
    EXPECT_EQ(error.error_number(), ENOENT);
    EXPECT_NE(std::string(error.what()).find(root.path() + "/missing/state"), std::string::npos)
        << error.what();
  }
  // A directory in the way: the rename fails, the temporary file goes.
  const std::string path = root.path() + "/taken";
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  EXPECT_THROW(ReplaceFileContents(path, "x"), OsError);
  EXPECT_EQ(FilesIn(root.path()), std::vector<std::string>{});
}

TEST(LockedFileTest, ASecondHolderWaitsAndGivesUpWhileTheFirstHoldsTheLock) {
  TempRoot root;
  const std::string path = root.path() + "/locked";
  std::optional<LockedFile> first = LockedFile::Open(path, 0);
  ASSERT_TRUE(first);
  first->WriteAt(0, "abc", 3);
  EXPECT_FALSE(LockedFile::Open(path, 50));
  first.reset();
  std::optional<LockedFile> second = LockedFile::Open(path, 0);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->Size(), 3u);
}

}  // namespace
}  // namespace corvane::platform
