// Network-boot custom jobs: the scan tests, the job table on every test
// database, the process's job component, and the launcher behind the mini
// scans of a real scan processor.

#include "tasks/pxe_jobs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/schema_create.h"
#include "db/schema_ddl.h"
#include "diag/catalogue.h"
#include "notifex/notifex.h"
#include "platform/paths.h"
#include "tasks/custom_jobs.h"
#include "testsupport/temp_root.h"
#include "testsupport/test_databases.h"

namespace corvane::tasks {
namespace {

namespace fs = std::filesystem;
using corvane::testing::ReadFileOrEmpty;
using corvane::testing::ScratchDatabase;
using corvane::testing::TestDatabaseServer;
using Outcome = QueuedJob::Outcome;

TEST(PxeScanTest, OnlyAPxebootValueOfYesInAnyCaseCounts) {
  EXPECT_TRUE(IsPxeBootScan("Device Name = a\nNetwork - Pxeboot = YES\n"));
  EXPECT_TRUE(IsPxeBootScan("Network - Pxeboot = yes \r\n"));
  EXPECT_FALSE(IsPxeBootScan("Network - Pxeboot = No\n"));
  EXPECT_FALSE(IsPxeBootScan("Network - Pxeboot = Yes please\n"));
  EXPECT_FALSE(IsPxeBootScan("Device Name = a\nNetwork - NIC Address = 00AA\n"));
  // The software section ends the lookup, as for every key value.
  EXPECT_FALSE(IsPxeBootScan("_SOFTWARE = x\nNetwork - Pxeboot = Yes\n"));
}

TEST(PxeScanTest, AProxyIsNamedByItsHostOrElseItsNicAddress) {
  const std::string host = "Corvane Management - PXE Holding Queue - Proxy Host Name =";
  const std::string nic = "Corvane Management - PXE Holding Queue - Proxy NIC Address =";
  EXPECT_TRUE(IsHoldingQueueProxy(host + " proxy01\n"));
  EXPECT_TRUE(IsHoldingQueueProxy(host + "\n" + nic + " 00AA00BB00CC\n"));
  EXPECT_TRUE(IsHoldingQueueProxy(nic + " 00AA00BB00CC\n"));
  EXPECT_FALSE(IsHoldingQueueProxy(host + "  \n" + nic + "\n"));
  EXPECT_FALSE(IsHoldingQueueProxy("Network - Pxeboot = Yes\n"));
}

TEST(PxeScanTest, TheRunnerIsStartedAsLemmickWithTaskAndDevice) {
  EXPECT_EQ(CustomJobCommandLine(42, 7),
            (std::vector<std::string>{"Lemmick", "/TASKID=42", "/MACH=7"}));
}

class CustomJobsTest : public ::testing::TestWithParam<TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no " << GetParam().name << " server";
    RegisterEventApplicationEx(diag::kApplicationName, diag::kApplicationName,
                               platform::ProgramPath().c_str());
    database_ = std::make_unique<ScratchDatabase>(GetParam());
    connection_.Open(database_->connection_string(), -1);
    db::CreateInventoryDatabase(connection_, kind());
    corvane::testing::WriteDefaultConnection(*database_);
  }

  db::DbmsKind kind() const { return GetParam().kind; }
  int32_t AddDevice(const std::string& device_id) {
    connection_.Execute("INSERT INTO Computer(DeviceId) VALUES('" + device_id + "')");
    return connection_
        .QuerySingleValue("SELECT MAX(Computer_Idn) FROM Computer WHERE DeviceId = '" + device_id +
                          "'")
        .ToInt32()
        .value_or(-1);
  }
  int32_t Queue(const std::string& device_id, int32_t task) {
    QueuedJob queued = QueueCustomJob(connection_, kind(), device_id, task);
    EXPECT_EQ(queued.outcome, Outcome::kQueued) << device_id;
    return queued.computer_idn;
  }
  // Opens the device processor that a processing thread would own.
  void OpenDevice() { ASSERT_EQ(device_.Open(30), 0u) << device_.error_text(); }
  TextLogSettings Log() { return {root_.path(), "CVDiv32", "PxeJobsTestLog", 1 << 20}; }
  std::string LogText() { return ReadFileOrEmpty(root_.path() + "/CVDiv32.log"); }

  testing::TempRoot root_;
  std::unique_ptr<ScratchDatabase> database_;
  db::Connection connection_;
  db::DeviceProcessor device_;
  std::vector<std::vector<std::string>> started_;
  ProgramStarter recorder_ = [this](const std::vector<std::string>& argv) {
    started_.push_back(argv);
    return true;
  };
};

TEST_P(CustomJobsTest, AQueuedJobIsHandedOutOnceAndOnlyToItsDevice) {
  const int32_t a = AddDevice("{A}");
  const int32_t b = AddDevice("{B}");
  EXPECT_EQ(Queue("{A}", 11), a);
  EXPECT_EQ(Queue(" {A}", 12), a);  // compared trimmed, as the server stores IDs
  EXPECT_EQ(Queue("{B}", 21), b);
  EXPECT_EQ(PendingCustomJobs(connection_).size(), 3u);

  // Oldest first, each once.
  EXPECT_EQ(TakePendingCustomJob(connection_, kind(), a), 11);
  EXPECT_EQ(TakePendingCustomJob(connection_, kind(), a), 12);
  EXPECT_EQ(TakePendingCustomJob(connection_, kind(), a), std::nullopt);
  EXPECT_EQ(TakePendingCustomJob(connection_, kind(), b + 100), std::nullopt);

  const std::vector<PendingJob> left = PendingCustomJobs(connection_);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].device_id, "{B}");
  EXPECT_EQ(left[0].computer_idn, b);
  EXPECT_EQ(left[0].task_id, 21);
  // Handed-out jobs stay as a record, stamped.
  EXPECT_EQ(
      connection_
          .QuerySingleValue("SELECT COUNT(*) FROM PxeCustomJobs WHERE HandedOutDate IS NOT NULL")
          .ToInt32(),
      2);
  // The connection is back in auto-commit: what another connection sees.
  db::Connection other;
  other.Open(database_->connection_string(), -1);
  EXPECT_EQ(TakePendingCustomJob(other, kind(), a), std::nullopt);
  EXPECT_EQ(TakePendingCustomJob(other, kind(), b), 21);
}

TEST_P(CustomJobsTest, JobsAreQueuedOnlyForExactlyOneDeviceAndIdsStayData) {
  // Twins are possible only in a database made before its unique keys.
  connection_.Execute("DROP INDEX UX_Computer_1");
  AddDevice("{TWIN}");
  AddDevice("{TWIN}");
  EXPECT_EQ(QueueCustomJob(connection_, kind(), "{TWIN}", 1).outcome, Outcome::kSeveralDevices);
  EXPECT_EQ(QueueCustomJob(connection_, kind(), "{NONE}", 1).outcome, Outcome::kNoDevice);
  EXPECT_EQ(QueueCustomJob(connection_, kind(), "  ", 1).outcome, Outcome::kNoDevice);
  EXPECT_EQ(QueueCustomJob(connection_, kind(), "x'); DELETE FROM Computer; --", 1).outcome,
            Outcome::kNoDevice);
  EXPECT_EQ(connection_.QuerySingleValue("SELECT COUNT(*) FROM Computer").ToInt32(), 2);
  EXPECT_TRUE(PendingCustomJobs(connection_).empty());
}

TEST_P(CustomJobsTest, TheLauncherStartsAPendingJobOnceAndOnlyForItsDevice) {
  OpenDevice();
  const int32_t device = AddDevice("{PXE}");
  const int32_t other = AddDevice("{OTHER}");
  Queue("{PXE}", 5);
  JobComponentHolder component(Log());
  PxeJobLauncher launcher(device_, component, recorder_);
  launcher.LaunchCustomJob(other);
  launcher.LaunchCustomJob(device);
  launcher.LaunchCustomJob(device);
  EXPECT_EQ(started_, (std::vector<std::vector<std::string>>{
                          {"Lemmick", "/TASKID=5", "/MACH=" + std::to_string(device)}}));
  EXPECT_EQ(LogText(), "");

  // A runner that cannot be started is passed over; the job was handed out.
  Queue("{PXE}", 6);
  PxeJobLauncher failing(device_, component, [](const std::vector<std::string>&) -> bool {
    throw std::runtime_error("no process");
  });
  failing.LaunchCustomJob(device);
  launcher.LaunchCustomJob(device);
  EXPECT_EQ(started_.size(), 1u);
}

TEST_P(CustomJobsTest, AComponentThatCannotBeCreatedIsLoggedOnceAndNeverAsked) {
  OpenDevice();
  const int32_t device = AddDevice("{PXE}");
  connection_.Execute("DROP TABLE PxeCustomJobs");
  JobComponentHolder component(Log());
  PxeJobLauncher launcher(device_, component, recorder_);
  // Device 0 asks no question: the component is not even created.
  launcher.LaunchCustomJob(0);
  launcher.LaunchCustomJob(-1);
  EXPECT_FALSE(fs::exists(root_.path() + "/CVDiv32.log"));

  launcher.LaunchCustomJob(device);
  const std::string logged = LogText();
  EXPECT_NE(logged.find("Failed to create an instance of the DB pointer interface : 0x"),
            std::string::npos)
      << logged;
  EXPECT_NE(logged.find(" (" + platform::ProgramPath() + ")\n"), std::string::npos) << logged;
  EXPECT_EQ(std::count(logged.begin(), logged.end(), '\n'), 1);

  // The table comes back with a job; the component is never created again.
  db::schema::Schema only_jobs;
  only_jobs.tables.push_back(*db::schema::InventorySchema().FindTable("PxeCustomJobs"));
  for (const std::string& sql : db::schema::CreateStatements(only_jobs, kind()))
    connection_.Execute(sql);
  Queue("{PXE}", 5);
  EXPECT_EQ(component.Get(connection_), nullptr);
  launcher.LaunchCustomJob(device);
  EXPECT_TRUE(started_.empty());
  EXPECT_EQ(LogText(), logged);
}

TEST_P(CustomJobsTest, AFailingJobTableNeitherStopsNorDisturbsMiniScans) {
  OpenDevice();
  connection_.Execute(
      "INSERT INTO Computer(DeviceId, HostName, NICAddress) VALUES('{PXE}', 'pxe01', '00AA')");
  Queue("{PXE}", 5);
  JobComponentHolder component(Log());
  PxeJobLauncher launcher(device_, component, recorder_);
  ASSERT_NE(component.Get(*device_.connection()), nullptr);
  connection_.Execute("DROP TABLE PxeCustomJobs");

  service::DeviceIdSet force;
  service::DeviceIdSet bad;
  store::ScanProcessor processor(device_, force, bad, {});
  processor.set_mini_scan_follow_up(&launcher);
  const std::string storage = root_.path() + "/cvscan";
  fs::create_directories(storage);
  for (const char* memory : {"2048", "4096"}) {
    const std::string path = storage + "/IMS" + memory + ".ims";
    corvane::testing::WriteFile(path,
                                "Device Name = pxe01\nNetwork - TCPIP - Host Name = pxe01\n"
                                "Network - NIC Address = 00AA\nNetwork - Pxeboot = Yes\n"
                                "Memory - Physical Memory = " +
                                    std::string(memory) + "\n");
    EXPECT_NE(processor.ProcessMiniScanFile(path, false), 0u) << processor.error_text();
    // Committed before the job question, and seen by another connection.
    EXPECT_EQ(connection_.QuerySingleValue("SELECT PhysicalMemory FROM Memory").ToText(), memory);
  }
  EXPECT_TRUE(started_.empty());
  EXPECT_EQ(LogText(), "");
  EXPECT_EQ(connection_.QuerySingleValue("SELECT COUNT(*) FROM Computer").ToInt32(), 1);
}

INSTANTIATE_TEST_SUITE_P(Db, CustomJobsTest,
                         ::testing::ValuesIn(corvane::testing::AvailableTestDatabases()),
                         corvane::testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::tasks
