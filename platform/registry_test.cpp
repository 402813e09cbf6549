#include "platform/registry.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "platform/paths.h"
#include "testsupport/child_process.h"
#include "testsupport/temp_root.h"

namespace corvane::platform::registry {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::Pair;
using ::testing::StartsWith;

constexpr RegRoot kHklm = RegRoot::kLocalMachine;
constexpr const char* kKey = "SOFTWARE\\Arvex\\Corvane";

std::string HivePath(RegRoot root = kHklm) {
  return JoinPath(RegistryDirectory(), std::string(RegRootName(root)) + ".reg");
}

struct stat StatOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path << ": " << std::strerror(errno);
  return info;
}

class RegistryTest : public ::testing::Test {
 protected:
  testing::TempRoot root_;
};

TEST_F(RegistryTest, MissingHiveReadsAsEmptyAndCreatesNothing) {
  EXPECT_EQ(GetValue(kHklm, kKey, "x"), std::nullopt);
  EXPECT_FALSE(KeyExists(kHklm, kKey));
  EXPECT_TRUE(SubkeyNames(kHklm, "SOFTWARE").empty());
  EXPECT_TRUE(Values(kHklm, kKey).empty());
  EXPECT_EQ(Snapshot(kHklm), RegTree());
  struct stat info;
  EXPECT_NE(stat(RegistryDirectory().c_str(), &info), 0);
}

TEST_F(RegistryTest, StoresEveryValueType) {
  SetValue(kHklm, kKey, "Sz", RegValue::Sz("text with \"quotes\" and \\"));
  SetValue(kHklm, kKey, "Expand", RegValue::ExpandSz("%SystemRoot%\\x"));
  SetValue(kHklm, kKey, "Dword", RegValue::Dword(0xdeadbeef));
  SetValue(kHklm, kKey, "Multi", RegValue::MultiSz({"a", "b c"}));
  SetValue(kHklm, kKey, "Binary", RegValue::Binary({0, 1, 255}));
  SetValue(kHklm, kKey, "", RegValue::Sz("default"));
  EXPECT_EQ(GetValue(kHklm, kKey, "Sz"), RegValue::Sz("text with \"quotes\" and \\"));
  EXPECT_EQ(GetValue(kHklm, kKey, "Expand"), RegValue::ExpandSz("%SystemRoot%\\x"));
  EXPECT_EQ(GetValue(kHklm, kKey, "Dword"), RegValue::Dword(0xdeadbeef));
  EXPECT_EQ(GetValue(kHklm, kKey, "Multi"), RegValue::MultiSz({"a", "b c"}));
  EXPECT_EQ(GetValue(kHklm, kKey, "Binary"), RegValue::Binary({0, 1, 255}));
  EXPECT_EQ(GetValue(kHklm, kKey, ""), RegValue::Sz("default"));
  EXPECT_EQ(GetValue(kHklm, kKey, "Missing"), std::nullopt);
  EXPECT_EQ(GetValue(kHklm, "SOFTWARE\\Missing", "Sz"), std::nullopt);
  EXPECT_EQ(Values(kHklm, kKey).size(), 6u);
  EXPECT_EQ(Values(kHklm, kKey)[0].first, "Sz");
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndCasePreserving) {
  SetValue(kHklm, "Software\\Arvex", "DbName", RegValue::Sz("one"));
  SetValue(kHklm, "SOFTWARE\\ARVEX", "DBNAME", RegValue::Sz("two"));
  EXPECT_EQ(GetValue(kHklm, "software\\arvex", "dbname"), RegValue::Sz("two"));
  EXPECT_TRUE(KeyExists(kHklm, "sOfTwArE\\aRvEx\\"));
  EXPECT_THAT(SubkeyNames(kHklm, "SOFTWARE"), ElementsAre("Arvex"));
  EXPECT_THAT(SubkeyNames(kHklm, ""), ElementsAre("Software"));
  EXPECT_THAT(Values(kHklm, "software\\arvex"), ElementsAre(Pair("DbName", RegValue::Sz("two"))));
  EXPECT_THAT(testing::ReadFileOrEmpty(HivePath()),
              HasSubstr("[HKEY_LOCAL_MACHINE\\Software\\Arvex]\n\"DbName\"=\"two\"\n"));
}

TEST_F(RegistryTest, HiveFileIsTheExportFormatWithOwnerOnlyMode) {
  SetValue(kHklm, kKey, "Password", RegValue::Sz("secret"));
  std::string text = testing::ReadFileOrEmpty(HivePath());
  EXPECT_THAT(text, StartsWith("Windows Registry Editor Version 5.00\n\n"));
  EXPECT_EQ(text, FormatRegText(Snapshot(kHklm), kHklm));
  EXPECT_EQ(StatOf(HivePath()).st_mode & 07777, 0600u);
  EXPECT_EQ(StatOf(RegistryDirectory()).st_mode & 07777, 0700u);
  EXPECT_EQ(StatOf(JoinPath(RegistryDirectory(), "HKEY_LOCAL_MACHINE.lock")).st_mode & 0077, 0u);

  // A rewrite keeps the mode, whatever the umask.
  mode_t old_mask = umask(0);
  SetValue(kHklm, kKey, "Password", RegValue::Sz("other"));
  umask(old_mask);
  EXPECT_EQ(StatOf(HivePath()).st_mode & 07777, 0600u);
}

TEST_F(RegistryTest, ARewriteByRootKeepsTheHivesOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a file to another account";
  SetValue(kHklm, kKey, "A", RegValue::Dword(1));
  // The server's account owns its hive; root changes a setting.
  ASSERT_EQ(chown(HivePath().c_str(), 65534, 65534), 0);
  SetValue(kHklm, kKey, "A", RegValue::Dword(2));
  EXPECT_EQ(StatOf(HivePath()).st_uid, 65534u);
  EXPECT_EQ(StatOf(HivePath()).st_gid, 65534u);
  EXPECT_EQ(GetValue(kHklm, kKey, "A"), RegValue::Dword(2));
}

TEST_F(RegistryTest, EachRootHasItsOwnFile) {
  SetValue(RegRoot::kCurrentUser, kKey, "v", RegValue::Dword(1));
  EXPECT_EQ(GetValue(kHklm, kKey, "v"), std::nullopt);
  EXPECT_EQ(GetValue(RegRoot::kCurrentUser, kKey, "v"), RegValue::Dword(1));
  EXPECT_THAT(testing::ReadFileOrEmpty(HivePath(RegRoot::kCurrentUser)),
              HasSubstr("[HKEY_CURRENT_USER\\SOFTWARE\\Arvex\\Corvane]"));
}

TEST_F(RegistryTest, EachRuntimeRootHasItsOwnHive) {
  SetValue(kHklm, kKey, "v", RegValue::Dword(1));
  {
    testing::TempRoot other;
    EXPECT_EQ(GetValue(kHklm, kKey, "v"), std::nullopt);
    SetValue(kHklm, kKey, "v", RegValue::Dword(2));
    EXPECT_EQ(GetValue(kHklm, kKey, "v"), RegValue::Dword(2));
  }
  EXPECT_EQ(GetValue(kHklm, kKey, "v"), RegValue::Dword(1));
}

TEST_F(RegistryTest, CreateKeyMakesAncestors) {
  CreateKey(kHklm, "A\\B\\C");
  EXPECT_TRUE(KeyExists(kHklm, "A"));
  EXPECT_TRUE(KeyExists(kHklm, "A\\B"));
  EXPECT_TRUE(KeyExists(kHklm, "A\\B\\C"));
  EXPECT_THAT(SubkeyNames(kHklm, "A"), ElementsAre("B"));
  EXPECT_TRUE(Values(kHklm, "A\\B\\C").empty());
}

TEST_F(RegistryTest, DeleteValueAndDeleteKey) {
  SetValue(kHklm, "A\\B\\C", "deep", RegValue::Dword(1));
  SetValue(kHklm, "A\\BC", "sibling", RegValue::Dword(2));
  SetValue(kHklm, "A", "v", RegValue::Dword(3));
  EXPECT_TRUE(DeleteValue(kHklm, "a", "V"));
  EXPECT_FALSE(DeleteValue(kHklm, "a", "V"));
  EXPECT_FALSE(DeleteValue(kHklm, "missing", "V"));
  EXPECT_EQ(GetValue(kHklm, "A", "v"), std::nullopt);

  EXPECT_TRUE(DeleteKey(kHklm, "a\\b"));
  EXPECT_FALSE(KeyExists(kHklm, "A\\B"));
  EXPECT_FALSE(KeyExists(kHklm, "A\\B\\C"));
  EXPECT_EQ(GetValue(kHklm, "A\\B\\C", "deep"), std::nullopt);
  EXPECT_EQ(GetValue(kHklm, "A\\BC", "sibling"), RegValue::Dword(2));
  EXPECT_FALSE(DeleteKey(kHklm, "A\\B"));
  EXPECT_THAT(testing::ReadFileOrEmpty(HivePath()), Not(HasSubstr("A\\B\\C")));
  EXPECT_THROW(DeleteKey(kHklm, ""), std::invalid_argument);
  EXPECT_TRUE(KeyExists(kHklm, "A"));
}

TEST_F(RegistryTest, UpdateIsOneChangeAndAThrowingChangeLeavesTheHive) {
  Update(kHklm, [](RegTree& tree) {
    tree.Create("K").Set("a", RegValue::Dword(1));
    tree.Create("K").Set("b", RegValue::Dword(2));
  });
  std::string before = testing::ReadFileOrEmpty(HivePath());
  ino_t inode = StatOf(HivePath()).st_ino;
  RegTree snapshot = Snapshot(kHklm);

  EXPECT_THROW(Update(kHklm,
                      [](RegTree& tree) {
                        tree.Create("K").Set("a", RegValue::Dword(99));
                        tree.Remove("K");
                        throw std::runtime_error("changed my mind");
                      }),
               std::runtime_error);
  EXPECT_EQ(Snapshot(kHklm), snapshot);
  EXPECT_EQ(testing::ReadFileOrEmpty(HivePath()), before);
  EXPECT_EQ(StatOf(HivePath()).st_ino, inode);
  // The hive lock was let go: the next change goes through.
  SetValue(kHklm, "K", "a", RegValue::Dword(5));
  EXPECT_EQ(GetValue(kHklm, "K", "a"), RegValue::Dword(5));
}

TEST_F(RegistryTest, NoChangeWritesNothing) {
  SetValue(kHklm, kKey, "v", RegValue::Dword(1));
  ino_t inode = StatOf(HivePath()).st_ino;
  CreateKey(kHklm, kKey);
  SetValue(kHklm, kKey, "v", RegValue::Dword(1));
  EXPECT_FALSE(DeleteValue(kHklm, kKey, "none"));
  EXPECT_EQ(StatOf(HivePath()).st_ino, inode);
}

TEST_F(RegistryTest, ChangeByAnotherProcessIsSeen) {
  SetValue(kHklm, kKey, "n", RegValue::Dword(0));
  for (uint32_t i = 0; i < 40; i += 2) {
    ASSERT_EQ(GetValue(kHklm, kKey, "n"), RegValue::Dword(i));  // cached from here on
    // Two changes of the same size in quick succession: the second new file
    // may well get the inode number that the first one freed, within the
    // same tick of the file-system clock.
    pid_t child = testing::ForkChild([&] {
      SetValue(kHklm, kKey, "n", RegValue::Dword(i + 1));
      SetValue(kHklm, kKey, "n", RegValue::Dword(i + 2));
    });
    ASSERT_EQ(testing::WaitForChild(child), 0);
  }
  EXPECT_EQ(GetValue(kHklm, kKey, "n"), RegValue::Dword(40));
}

TEST_F(RegistryTest, FileEditedInPlaceIsReloaded) {
  SetValue(kHklm, kKey, "v", RegValue::Dword(1));
  ASSERT_EQ(GetValue(kHklm, kKey, "v"), RegValue::Dword(1));
  testing::WriteFile(HivePath(),
                     "Windows Registry Editor Version 5.00\n\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Arvex\\Corvane]\n\"v\"=dword:00000002\n"
                     "\"w\"=\"new\"\n");
  EXPECT_EQ(GetValue(kHklm, kKey, "v"), RegValue::Dword(2));
  EXPECT_EQ(GetValue(kHklm, kKey, "w"), RegValue::Sz("new"));
}

TEST_F(RegistryTest, UnparsableHiveFailsReadsAndIsNotOverwritten) {
  SetValue(kHklm, kKey, "v", RegValue::Dword(1));
  const std::string broken =
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X]\nthis is not a value\n";
  testing::WriteFile(HivePath(), broken);

  try {
    GetValue(kHklm, kKey, "v");
    ADD_FAILURE() << "no RegistryError";
  } catch (const RegistryError& error) {
    EXPECT_THAT(error.what(), HasSubstr(HivePath()));
    EXPECT_THAT(error.what(), HasSubstr("line 4"));
  }
  EXPECT_THROW(Snapshot(kHklm), RegistryError);
  EXPECT_THROW(KeyExists(kHklm, kKey), RegistryError);
  EXPECT_THROW(SetValue(kHklm, kKey, "v", RegValue::Dword(2)), RegistryError);
  EXPECT_THROW(DeleteKey(kHklm, "X"), RegistryError);
  EXPECT_THROW(Update(kHklm, [](RegTree&) {}), RegistryError);
  EXPECT_EQ(testing::ReadFileOrEmpty(HivePath()), broken);

  // Once mended, the hive works again.
  testing::WriteFile(HivePath(), "[HKEY_LOCAL_MACHINE\\X]\n\"v\"=dword:00000003\n");
  EXPECT_EQ(GetValue(kHklm, "X", "v"), RegValue::Dword(3));
  SetValue(kHklm, "X", "w", RegValue::Dword(4));
  EXPECT_EQ(GetValue(kHklm, "X", "v"), RegValue::Dword(3));
}

TEST_F(RegistryTest, HiveOfAnotherRootIsAnError) {
  SetValue(kHklm, kKey, "v", RegValue::Dword(1));
  testing::WriteFile(HivePath(), "[HKEY_CURRENT_USER\\X]\n");
  EXPECT_THROW(GetValue(kHklm, kKey, "v"), RegistryError);
}

TEST_F(RegistryTest, FileSystemFailuresNameTheFile) {
  // A plain file where the registry directory should be.
  testing::WriteFile(RegistryDirectory(), "not a directory");
  EXPECT_EQ(GetValue(kHklm, kKey, "v"), std::nullopt);
  try {
    SetValue(kHklm, kKey, "v", RegValue::Dword(1));
    ADD_FAILURE() << "no RegistryError";
  } catch (const RegistryError& error) {
    EXPECT_THAT(error.what(), HasSubstr(RegistryDirectory()));
  }
}

}  // namespace
}  // namespace corvane::platform::registry
