// The storage directory set-up and the unique naming of scan files.

#include "intake/storage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "platform/error.h"
#include "testsupport/temp_root.h"

namespace corvane::intake {
namespace {

using corvane::testing::ReadFileOrEmpty;
using corvane::testing::WriteFile;

std::vector<std::string> Names(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool IsDirectory(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

class StorageTest : public ::testing::Test {
 protected:
  corvane::testing::TempRoot root_;
  std::string dir_ = root_.path();
};

TEST_F(StorageTest, SetUpCreatesTheLayoutAndKeepsWhatExists) {
  service::ServerContext context;
  context.program_directory = dir_ + "/program";
  ASSERT_EQ(mkdir(context.program_directory.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((context.program_directory + "/cvscan").c_str(), 0755), 0);
  WriteFile(context.program_directory + "/cvscan/SCA0001.scn", "waiting");

  EXPECT_TRUE(SetUpStorageDirectories(context));
  EXPECT_EQ(context.storage.root, dir_ + "/program/cvscan");
  EXPECT_EQ(context.storage.error_trans, dir_ + "/program/cvscan/ErrorTrans");
  EXPECT_EQ(Names(context.storage.root),
            (std::vector<std::string>{"ErrorBigScan", "ErrorScan", "ErrorTrans", "SCA0001.scn"}));
  EXPECT_EQ(ReadFileOrEmpty(context.storage.root + "/SCA0001.scn"), "waiting");

  context.configuration.settings.store_scans = 1;
  EXPECT_TRUE(SetUpStorageDirectories(context));
  EXPECT_TRUE(IsDirectory(context.storage.storage));
}

TEST_F(StorageTest, SetUpDoesNotCreateAMissingProgramDirectory) {
  service::ServerContext context;
  context.program_directory = dir_ + "/absent";
  EXPECT_FALSE(SetUpStorageDirectories(context));
  EXPECT_FALSE(IsDirectory(context.program_directory));
}

TEST(StorageNames, ExtensionIsReplacedInTheFileNameOnly) {
  EXPECT_EQ(ReplaceExtension("/a/cvscan/SCA1F2E.tmp", "scn"), "/a/cvscan/SCA1F2E.scn");
  EXPECT_EQ(ReplaceExtension("/a.b/cvscan/SCA1F2E", "ims"), "/a.b/cvscan/SCA1F2E.ims");
  EXPECT_EQ(ReplaceExtension("x.y.tmp", "scn"), "x.y.scn");
  EXPECT_EQ(UniqueTempFileName("SCANFILE", 0x1F2E), "SCA1F2E.tmp");
  EXPECT_EQ(UniqueTempFileName("Q", 0x000A), "Q000A.tmp");
  EXPECT_EQ(UniqueTempFileName("", 0xFFFF), "FFFF.tmp");
}

TEST_F(StorageTest, UniqueFilesAreNewAndSkipTakenFinalNames) {
  std::set<std::string> paths;
  for (int i = 0; i < 50; ++i) {
    ScanFileWriter file = CreateUniqueFile(dir_, "SCAN", "scn");
    EXPECT_TRUE(paths.insert(file.path()).second);
    std::string name = file.path().substr(dir_.size() + 1);
    EXPECT_EQ(name.size(), 11u) << name;
    EXPECT_EQ(name.substr(0, 3), "SCA");
    EXPECT_EQ(name.substr(7), ".tmp");
    // Every later file must pass over the final name this one would take.
    file.Close();
    ASSERT_EQ(rename(file.path().c_str(), ReplaceExtension(file.path(), "scn").c_str()), 0);
  }
  EXPECT_EQ(Names(dir_).size(), 50u);
}

TEST_F(StorageTest, WrittenFileIsRenamedWithoutReplacingAnExistingScan) {
  ScanFileWriter file = CreateUniqueFile(dir_, "SCA", "scn");
  file.Write("new scan\r\n");
  file.SyncAndClose();
  // A scan that appeared under the final name meanwhile stays untouched.
  std::string taken = ReplaceExtension(file.path(), "scn");
  WriteFile(taken, "older scan");

  std::string final_path = RenameToFinalName(file.path(), "SCA", "scn");
  EXPECT_NE(final_path, taken);
  EXPECT_EQ(final_path.substr(final_path.size() - 4), ".scn");
  EXPECT_EQ(ReadFileOrEmpty(final_path), "new scan\r\n");
  EXPECT_EQ(ReadFileOrEmpty(taken), "older scan");
  EXPECT_EQ(Names(dir_).size(), 2u);  // no temporary and no placeholder left
}

TEST_F(StorageTest, MoveToUniqueNameLeavesNoPlaceholder) {
  std::string target_dir = dir_ + "/ErrorTrans";
  ASSERT_TRUE(EnsureDirectory(target_dir));
  ASSERT_TRUE(EnsureDirectory(target_dir));  // existing is fine
  WriteFile(dir_ + "/IMS0001.tmp", "mini");

  std::string moved = MoveToUniqueName(dir_ + "/IMS0001.tmp", target_dir, "IMS", "ims");
  std::vector<std::string> names = Names(target_dir);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(target_dir + "/" + names[0], moved);
  EXPECT_EQ(names[0].substr(0, 3), "IMS");
  EXPECT_EQ(names[0].substr(7), ".ims");
  EXPECT_EQ(ReadFileOrEmpty(moved), "mini");
  EXPECT_EQ(access((dir_ + "/IMS0001.tmp").c_str(), F_OK), -1);
}

TEST_F(StorageTest, CreationGivesUpWhenEveryNumberIsTaken) {
  for (uint32_t number = 0; number < 0x10000; ++number) {
    std::string path = dir_ + "/" + UniqueTempFileName("X", static_cast<uint16_t>(number));
    int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(descriptor, 0);
    close(descriptor);
  }
  try {
    CreateUniqueFile(dir_, "X", "");
    FAIL() << "a name was found";
  } catch (const platform::OsError& error) {
    EXPECT_EQ(error.error_number(), EEXIST);
  }
  // Another prefix still has its own numbers.
  EXPECT_NO_THROW(CreateUniqueFile(dir_, "Y", "scn"));
}

TEST_F(StorageTest, MissingDirectoryIsAnErrorNotARetry) {
  try {
    CreateUniqueFile(dir_ + "/missing", "SCA", "scn");
    FAIL() << "created in a missing directory";
  } catch (const platform::OsError& error) {
    EXPECT_EQ(error.error_number(), ENOENT);
  }
}

}  // namespace
}  // namespace corvane::intake
