// The bound on the error directories: which files a clean-up removes, when
// it runs, and what it reports.

#include "intake/error_directories.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "diag/catalogue.h"
#include "intake/storage.h"
#include "notifex/event_file.h"
#include "notifex/notifex.h"
#include "testsupport/temp_root.h"

namespace corvane::intake {
namespace {

using corvane::testing::FilesIn;
using corvane::testing::WriteFile;

class ErrorDirectoryLimitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnableNTEventLog(0);
    EnableCorvaneEventLog(1);
    context_.program_directory = root_.path();
    ASSERT_TRUE(SetUpStorageDirectories(context_));
  }

  // A file of `size` bytes written `age_seconds` ago.
  static std::string Put(const std::string& path, size_t size, int age_seconds) {
    WriteFile(path, std::string(size, 'x'));
    timespec times[2] = {{time(nullptr) - age_seconds, 0}, {time(nullptr) - age_seconds, 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    return path;
  }

  std::vector<std::string> Directories() const {
    return {storage().error_scan, storage().error_big_scan, storage().error_trans};
  }
  const service::StorageDirectories& storage() const { return context_.storage; }

  static std::vector<notifex::EventRecord> Events() {
    return notifex::ParseEventFile(corvane::testing::ReadFileOrEmpty(notifex::EventFilePath()))
        .records;
  }

  corvane::testing::TempRoot root_;
  service::ServerContext context_;
};

TEST_F(ErrorDirectoryLimitTest, OldestFilesGoFirstAcrossTheDirectoriesAndNothingElse) {
  // Left from an earlier run: the first addition lists them.
  Put(storage().error_trans + "/SCA0001.scn", 300, 500);
  Put(storage().error_scan + "/SCA0002.scn", 300, 400);
  Put(storage().error_big_scan + "/SCA0003.scn", 300, 300);
  Put(storage().error_trans + "/SCA0004.scn", 300, 200);
  // Older still, but not the error directories' files: never removed.
  Put(storage().root + "/SCA0009.scn", 5000, 900);
  ASSERT_EQ(mkdir((storage().error_scan + "/kept").c_str(), 0755), 0);
  Put(storage().error_scan + "/kept/SCA0008.scn", 5000, 900);

  ErrorDirectoryLimit limit(Directories(), 1000);
  // 1500 bytes: down to 900 (90 % of the limit) takes the two oldest.
  limit.Added(Put(storage().error_scan + "/SCA0005.scn", 300, 100));
  EXPECT_EQ(limit.total(), 900u);
  EXPECT_EQ(FilesIn(storage().error_big_scan), std::vector<std::string>{"SCA0003.scn"});
  EXPECT_EQ(FilesIn(storage().error_scan), std::vector<std::string>{"SCA0005.scn"});
  EXPECT_EQ(FilesIn(storage().error_trans), std::vector<std::string>{"SCA0004.scn"});
  EXPECT_EQ(FilesIn(storage().root), std::vector<std::string>{"SCA0009.scn"});
  EXPECT_EQ(FilesIn(storage().error_scan + "/kept"), std::vector<std::string>{"SCA0008.scn"});

  std::vector<notifex::EventRecord> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event_id, diag::kMsgErrorDirectoriesCleaned);
  EXPECT_EQ(events[0].type, diag::kKindWarning);
  EXPECT_EQ(events[0].inserts, (std::vector<std::string>{"2", "600", "1000"}));
}

TEST_F(ErrorDirectoryLimitTest, AdditionsCountWithoutListingUntilTheRecountIsDue) {
  ErrorDirectoryLimit limit(Directories(), 1000, {.recount_interval = std::chrono::hours(1)});
  EXPECT_FALSE(limit.total());
  limit.Added(storage().error_trans + "/missing.scn");  // nothing was set aside
  EXPECT_FALSE(limit.total());
  limit.Added(Put(storage().error_trans + "/SCA0001.scn", 400, 30));
  EXPECT_EQ(limit.total(), 400u);
  // Removed behind the server's back: still counted until a listing.
  ASSERT_EQ(unlink((storage().error_trans + "/SCA0001.scn").c_str()), 0);
  limit.Added(Put(storage().error_scan + "/SCA0002.scn", 400, 20));
  EXPECT_EQ(limit.total(), 800u);
  // Passing the limit lists first: the real total is under it, so nothing goes.
  limit.Added(Put(storage().error_big_scan + "/SCA0003.scn", 400, 10));
  EXPECT_EQ(limit.total(), 800u);
  EXPECT_EQ(FilesIn(storage().error_scan).size() + FilesIn(storage().error_big_scan).size(), 2u);
  EXPECT_TRUE(Events().empty());
}

TEST_F(ErrorDirectoryLimitTest, ADueRecountSeesFilesAddedBehindTheServersBack) {
  ErrorDirectoryLimit limit(Directories(), 1000, {.recount_interval = std::chrono::seconds(0)});
  limit.Added(Put(storage().error_trans + "/SCA0001.scn", 100, 30));
  EXPECT_EQ(limit.total(), 100u);
  Put(storage().error_scan + "/SCA0002.scn", 2000, 20);  // not told
  limit.Added(Put(storage().error_trans + "/SCA0003.scn", 100, 10));
  // 2200 bytes: the two oldest go, the big one with them.
  EXPECT_EQ(limit.total(), 100u);
  EXPECT_EQ(FilesIn(storage().error_trans), std::vector<std::string>{"SCA0003.scn"});
  EXPECT_TRUE(FilesIn(storage().error_scan).empty());
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0].inserts, (std::vector<std::string>{"2", "2100", "1000"}));
}

TEST_F(ErrorDirectoryLimitTest, FilesOlderThanTheAgeGoAndTheRestSetTheTotal) {
  const int day = 86400;
  Put(storage().error_scan + "/SCA0001.scn", 100, 40 * day);
  Put(storage().error_big_scan + "/SCA0002.scn", 200, 31 * day);
  Put(storage().error_trans + "/SCA0003.scn", 400, 29 * day);
  Put(storage().error_scan + "/SCA0004.scn", 800, 60);
  // Neither the spool nor a kept subdirectory is the limit's to clean.
  Put(storage().root + "/SCA0009.scn", 10, 90 * day);
  ASSERT_EQ(mkdir((storage().error_scan + "/kept").c_str(), 0755), 0);
  Put(storage().error_scan + "/kept/SCA0008.scn", 10, 90 * day);

  ErrorDirectoryLimit limit(Directories(), 1 << 20);
  limit.RemoveOlderThan(time(nullptr) - 30 * day, 30);
  EXPECT_EQ(FilesIn(storage().error_scan), std::vector<std::string>{"SCA0004.scn"});
  EXPECT_TRUE(FilesIn(storage().error_big_scan).empty());
  EXPECT_EQ(FilesIn(storage().error_trans), std::vector<std::string>{"SCA0003.scn"});
  EXPECT_EQ(FilesIn(storage().root), std::vector<std::string>{"SCA0009.scn"});
  EXPECT_EQ(FilesIn(storage().error_scan + "/kept"), std::vector<std::string>{"SCA0008.scn"});
  EXPECT_EQ(limit.total(), 1200u);

  std::vector<notifex::EventRecord> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event_id, diag::kMsgOldErrorFilesRemoved);
  EXPECT_EQ(events[0].type, diag::kKindInformation);
  EXPECT_EQ(events[0].inserts, (std::vector<std::string>{"2", "300", "30"}));

  // Nothing old left: no event.
  limit.RemoveOlderThan(time(nullptr) - 30 * day, 30);
  EXPECT_EQ(Events().size(), 1u);
}

TEST_F(ErrorDirectoryLimitTest, OneLimitPerContextFromItsSettingWithZeroForTheDefault) {
  context_.configuration.settings.max_error_directory_mb = 0;
  std::shared_ptr<ErrorDirectoryLimit> limit = ErrorDirectoryLimitOf(context_);
  EXPECT_EQ(limit->limit_bytes(), 1024ull << 20);
  EXPECT_EQ(ErrorDirectoryLimitOf(context_), limit);

  service::ServerContext other;
  other.program_directory = root_.path();
  other.configuration.settings.max_error_directory_mb = 1;
  EXPECT_EQ(ErrorDirectoryLimitOf(other)->limit_bytes(), 1u << 20);
  // It knows the directories of the storage directory.
  Put(storage().error_big_scan + "/SCA0001.scn", (1 << 20) + 1, 10);
  ErrorDirectoryLimitOf(other)->Added(storage().error_big_scan + "/SCA0001.scn");
  EXPECT_TRUE(FilesIn(storage().error_big_scan).empty());
}

}  // namespace
}  // namespace corvane::intake
