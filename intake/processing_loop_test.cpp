// The processing thread on a real inventory database: what it does with the
// files of the storage directory, how it serves maintenance, and how it
// ends.

#include "intake/processing_loop.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/schema_create.h"
#include "diag/catalogue.h"
#include "intake/processing_stats.h"
#include "intake/storage.h"
#include "notifex/notifex.h"
#include "platform/paths.h"
#include "platform/sync.h"
#include "platform/sync_test_util.h"
#include "testsupport/syslog_capture.h"
#include "testsupport/temp_root.h"
#include "testsupport/test_databases.h"

namespace corvane::intake {
namespace {

namespace fs = std::filesystem;
using corvane::platform::testing::Eventually;
using corvane::platform::testing::kLongMs;
using corvane::testing::FilesIn;
using corvane::testing::ReadFileOrEmpty;
using corvane::testing::WriteFile;

std::string DeviceId(int n) {
  char id[64];
  std::snprintf(id, sizeof id, "{5CA40000-0000-4000-8000-%012d}", n);
  return id;
}

std::string ScanOf(int n) {
  return "Device ID = " + DeviceId(n) + "\nDevice Name = host" + std::to_string(n) +
         "\nOS - Name = Linux\n";
}

class ProcessingLoopTest : public ::testing::TestWithParam<corvane::testing::TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no " << GetParam().name << " server";
    RegisterEventApplicationEx(diag::kApplicationName, diag::kApplicationName,
                               platform::ProgramPath().c_str());
    EnableNTEventLog(1);
    database_ = std::make_unique<corvane::testing::ScratchDatabase>(GetParam());
    db_.Open(database_->connection_string(), -1);
    db::CreateInventoryDatabase(db_, GetParam().kind);
    context_.program_directory = root_.path();
    context_.stop_service = [this] { ++stop_requests_; };
  }

  void TearDown() override {
    if (thread_) {
      context_.running = false;
      context_.worker_stop.Set();
      EXPECT_TRUE(thread_->Join(kLongMs));
    }
  }

  void Start(bool with_connection = true) {
    if (with_connection) corvane::testing::WriteDefaultConnection(*database_);
    ASSERT_TRUE(SetUpStorageDirectories(context_));
    thread_ = std::make_unique<platform::Thread>([this] { RunProcessingLoop(context_); });
  }

  // As a receiver delivers it: written under another name, then renamed.
  void Deliver(const std::string& name, const std::string& text) {
    WriteFile(dir() + "/" + name + ".tmp", text);
    fs::rename(dir() + "/" + name + ".tmp", dir() + "/" + name);
  }

  int Devices(int n) {
    return db_
        .QuerySingleValue("SELECT COUNT(*) FROM Computer WHERE DeviceId = '" + DeviceId(n) + "'")
        .ToInt32()
        .value_or(-1);
  }
  bool Stored(int n) {
    return Eventually([&] { return Devices(n) == 1; });
  }
  const std::string& dir() const { return context_.storage.root; }
  service::Settings& settings() { return context_.configuration.settings; }

  corvane::testing::TempRoot root_;
  corvane::testing::SyslogCapture syslog_{root_.path()};
  std::unique_ptr<corvane::testing::ScratchDatabase> database_;
  db::Connection db_;
  service::ServerContext context_;
  std::atomic<int> stop_requests_{0};
  std::unique_ptr<platform::Thread> thread_;
};

TEST_P(ProcessingLoopTest, WorksOffWhatIsThereThenWhatArrivesUntilTheWorkerStop) {
  db_.Execute("UPDATE METASYSTEMS SET SWSCANFREQ = 5 WHERE System_Idn = 0");
  context_.storage = StorageDirectoriesFor(root_.path());
  fs::create_directories(context_.storage.root);
  WriteFile(dir() + "/SCA0001.scn", ScanOf(1));
  WriteFile(dir() + "/SCA0002.scn", ScanOf(2));
  Start();

  // The first cycle needs no notification.
  ASSERT_TRUE(Stored(1));
  ASSERT_TRUE(Stored(2));
  EXPECT_TRUE(syslog_.WaitFor("Event 4107: Successfully connected to the database at "));
  EXPECT_TRUE(context_.database_online.IsSet());
  EXPECT_EQ(context_.software_scan_frequency.load(), 5u);
  EXPECT_TRUE(Eventually([&] { return FilesIn(dir(), ".scn").empty(); }));

  // Later files wake it through the directory watch; every wake-up reads
  // the frequency again (a missing value reads as 1).
  db_.Execute("UPDATE METASYSTEMS SET SWSCANFREQ = NULL WHERE System_Idn = 0");
  Deliver("SCA0003.scn", ScanOf(3));
  ASSERT_TRUE(Stored(3));
  EXPECT_TRUE(Eventually([&] { return context_.software_scan_frequency == 1u; }));
  EXPECT_FALSE(thread_->Finished());
  EXPECT_EQ(stop_requests_.load(), 0);

  // The worker stop alone ends it, and the online event goes with it.
  context_.worker_stop.Set();
  ASSERT_TRUE(thread_->Join(kLongMs));
  EXPECT_FALSE(context_.database_online.IsSet());
  thread_.reset();
}

TEST_P(ProcessingLoopTest, APendingMaintenanceIsServedBeforeTheNextFile) {
  settings().log_stats = 1;  // event 4 marks the start of every scan
  context_.storage = StorageDirectoriesFor(root_.path());
  fs::create_directories(context_.storage.root);
  WriteFile(dir() + "/SCA0001.scn", ScanOf(1));
  context_.maintenance_request.Set();
  Start();

  ASSERT_TRUE(context_.maintenance_done.Wait(kLongMs));
  EXPECT_FALSE(context_.maintenance_request.IsSet());
  // The pending scan waited for the maintenance and was then looked at again.
  ASSERT_TRUE(Stored(1));
  std::vector<std::string> lines;
  while (std::optional<std::string> line = syslog_.Next(2000)) {
    if (line->find("Event 4:") != std::string::npos) break;
    lines.push_back(*line);
  }
  bool maintenance_first = false;
  for (const std::string& line : lines) {
    if (line.find("Event 2389:") != std::string::npos) maintenance_first = true;
  }
  EXPECT_TRUE(maintenance_first) << "no event 2389 before the scan started";

  // A second request while idle.
  context_.maintenance_done.Reset();
  context_.maintenance_request.Set();
  ASSERT_TRUE(context_.maintenance_done.Wait(kLongMs));
  EXPECT_TRUE(syslog_.WaitFor("Event 2389:"));
  EXPECT_FALSE(thread_->Finished());
}

TEST_P(ProcessingLoopTest, AFailedMaintenanceCompletesTheHandshakeAndEndsTheThread) {
  settings().max_scan_age = 30;
  db_.Execute("DROP TABLE HISTORY");  // the purge cannot run
  Start();
  ASSERT_TRUE(syslog_.WaitFor("Event 4107:"));
  context_.maintenance_request.Set();
  ASSERT_TRUE(context_.maintenance_done.Wait(kLongMs));
  EXPECT_FALSE(context_.maintenance_request.IsSet());
  EXPECT_TRUE(syslog_.WaitFor("Event 4100: Database exception: "));
  ASSERT_TRUE(thread_->Join(kLongMs));
  EXPECT_FALSE(context_.database_online.IsSet());
  EXPECT_EQ(stop_requests_.load(), 0);  // the watchdog replaces it; the service stays
}

TEST_P(ProcessingLoopTest, StoreScansKeepsACopyAndForwardScansHandsOneOn) {
  const std::string forward = root_.path() + "/forward";
  fs::create_directory(forward);
  settings().store_scans = 1;
  settings().forward_scans = 1;
  settings().forward_scans_path = forward;
  Start();
  Deliver("SCA0007.scn", ScanOf(7));
  ASSERT_TRUE(Stored(7));
  EXPECT_EQ(ReadFileOrEmpty(context_.storage.storage + "/SCA0007.scn"), ScanOf(7));
  const std::vector<std::string> forwarded = FilesIn(forward);
  ASSERT_EQ(forwarded.size(), 1u);  // no temporary file left behind
  EXPECT_EQ(forwarded[0].substr(0, 3), "SCA");
  EXPECT_EQ(forwarded[0].substr(7), ".scn");
  EXPECT_EQ(ReadFileOrEmpty(forward + "/" + forwarded[0]), ScanOf(7));
}

TEST_P(ProcessingLoopTest, ScansWithoutADeviceIdAreSetAsideAndTheLoopGoesOn) {
  settings().db_error_recovery_tries = 10;
  context_.storage = StorageDirectoriesFor(root_.path());
  fs::create_directories(context_.storage.root);
  for (int i = 0; i < 12; ++i) {
    WriteFile(dir() + "/BAD" + std::to_string(100 + i) + ".scn", "Device Name = nameless\n");
  }
  Start();
  ASSERT_TRUE(
      Eventually([&] { return FilesIn(context_.storage.error_scan, ".scn").size() == 12; }));
  Deliver("SCA0009.scn", ScanOf(9));
  ASSERT_TRUE(Stored(9));
  // The file goes once its scan is committed, a moment after the rows show.
  EXPECT_TRUE(Eventually([&] { return FilesIn(dir(), ".scn").empty(); }));
  EXPECT_FALSE(thread_->Finished());
}

TEST_P(ProcessingLoopTest, ScansSetAsideCountTowardsTheErrorDirectoriesBound) {
  settings().max_error_directory_mb = 1;
  settings().max_scan_file_size = 100000;
  context_.storage = StorageDirectoriesFor(root_.path());
  fs::create_directories(context_.storage.error_trans);
  const std::string old = context_.storage.error_trans + "/SCA0001.scn";
  WriteFile(old, std::string(1000000, 'x'));
  fs::last_write_time(old, fs::last_write_time(old) - std::chrono::hours(1));
  WriteFile(dir() + "/BAD0001.scn", "Device Name = nameless\n");
  WriteFile(dir() + "/BIG0001.scn", ScanOf(1) + std::string(100000, '#'));
  Start();

  // Both set aside, the big one without being read: together with the old
  // transfer they pass 1 MiB, and the old one makes room.
  ASSERT_TRUE(Eventually([&] {
    return FilesIn(context_.storage.error_scan).size() == 1 &&
           FilesIn(context_.storage.error_big_scan).size() == 1 && !fs::exists(old);
  }));
  EXPECT_TRUE(syslog_.WaitFor(
      "Event 2393: Inventory server removed the 1 oldest files (1000000 bytes) from the "
      "ErrorScan, ErrorBigScan and ErrorTrans directories, which together held more than "
      "1048576 bytes."));
  EXPECT_FALSE(thread_->Finished());
}

TEST_P(ProcessingLoopTest, PublishesItsCountsWhenTheQueueIsWorkedOff) {
  const std::string stats_path = root_.path() + "/CVDiv32.stats";
  auto published = [&] { return ParseProcessingStats(ReadFileOrEmpty(stats_path)); };
  Start();
  // At once, before any scan: the reader's starting point.
  ASSERT_TRUE(Eventually([&] { return published().has_value(); }));
  const ProcessingStats start = *published();
  EXPECT_EQ(start.scans_applied, 0u);
  EXPECT_EQ(start.scans_refused, 0u);

  Deliver("SCA0001.scn", ScanOf(1));
  Deliver("BAD0001.scn", "Device Name = nameless\n");
  Deliver("SCA0002.scn", ScanOf(2));
  ASSERT_TRUE(Eventually([&] {
    std::optional<ProcessingStats> now = published();
    return now && now->scans_applied + now->scans_refused == 3;
  }));
  const ProcessingStats after = *published();
  EXPECT_EQ(after.scans_applied, 2u);
  EXPECT_EQ(after.scans_refused, 1u);
  EXPECT_TRUE(Stored(1) && Stored(2));
  EXPECT_GT(after.statements, start.statements + 2);
  // Two COMPUTER rows at least, and what their scans stored.
  EXPECT_GT(after.rows_written, start.rows_written + 2);

  // A re-scan that changes nothing is applied, and counted, all the same.
  Deliver("SCA0003.scn", ScanOf(1));
  ASSERT_TRUE(Eventually([&] { return published()->scans_applied == 3; }));
  EXPECT_EQ(published()->scans_refused, 1u);
  EXPECT_FALSE(thread_->Finished());
}

TEST_P(ProcessingLoopTest, ADatabaseThatCannotBeOpenedStopsTheService) {
  context_.storage = StorageDirectoriesFor(root_.path());
  fs::create_directories(context_.storage.root);
  WriteFile(dir() + "/SCA0001.scn", ScanOf(1));
  Start(/*with_connection=*/false);
  ASSERT_TRUE(thread_->Join(kLongMs));
  EXPECT_EQ(stop_requests_.load(), 1);
  EXPECT_TRUE(syslog_.WaitFor("Event 4100: Database exception: "));
  EXPECT_FALSE(context_.database_online.IsSet());
  EXPECT_EQ(FilesIn(dir(), ".scn"), std::vector<std::string>{"SCA0001.scn"});
}

INSTANTIATE_TEST_SUITE_P(Db, ProcessingLoopTest,
                         ::testing::ValuesIn(corvane::testing::AvailableTestDatabases()),
                         corvane::testing::TestDatabaseName);

// --- The pieces on their own ------------------------------------------------

TEST(ProcessingPiecesTest, WaitingForAFileEndsAsSoonAsItsFateIsKnown) {
  corvane::testing::TempRoot root;
  const std::string file = root.path() + "/a.scn";
  WriteFile(file, "x");
  std::atomic<bool> running{true};
  const std::chrono::milliseconds pause(1);
  EXPECT_EQ(WaitForReadableFile(file, running, 3, pause), FileWait::kReadable);
  EXPECT_EQ(WaitForReadableFile(root.path() + "/gone.scn", running, 3, pause), FileWait::kMissing);
  // A path below a plain file never opens.
  EXPECT_EQ(WaitForReadableFile(file + "/x", running, 3, pause), FileWait::kGaveUp);
  running = false;
  EXPECT_EQ(WaitForReadableFile(file + "/x", running, 18001, std::chrono::milliseconds(100)),
            FileWait::kStopping);
}

TEST(ProcessingPiecesTest, CopiesAndForwardsFailQuietlyWithoutTheirDirectory) {
  corvane::testing::TempRoot root;
  const std::string file = root.path() + "/a.scn";
  WriteFile(file, "scan");
  EXPECT_FALSE(CopyToStorage(file, root.path() + "/missing"));
  EXPECT_FALSE(ForwardScanFile(file, root.path() + "/missing", "SCA"));
  EXPECT_FALSE(ForwardScanFile(root.path() + "/gone.scn", root.path(), "SCA"));

  fs::create_directory(root.path() + "/Storage");
  WriteFile(root.path() + "/Storage/a.scn", "older copy");
  EXPECT_TRUE(CopyToStorage(file, root.path() + "/Storage"));
  EXPECT_EQ(ReadFileOrEmpty(root.path() + "/Storage/a.scn"), "scan");
  EXPECT_EQ(ReadSoftwareScanFrequency(nullptr), 1);
}

}  // namespace
}  // namespace corvane::intake
