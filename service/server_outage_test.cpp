// Database outages against a running server: the test's own PostgreSQL
// stopped in the middle of a batch and started again, or down when the
// server starts. No scan may be lost, none set aside, and the server must
// come back by itself, in the foreground run as under a service manager.

#include <signal.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/dialect.h"
#include "db/schema.h"
#include "db/schema_create.h"
#include "notifex/event_file.h"
#include "platform/registry.h"
#include "service/config.h"
#include "testsupport/child_process.h"
#include "testsupport/net.h"
#include "testsupport/private_postgres.h"
#include "testsupport/syslog_capture.h"
#include "testsupport/temp_root.h"
#include "testsupport/test_databases.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using platform::RegRoot;
using platform::RegValue;
using testing::ChildProcess;

constexpr int kScans = 100;
// Enough packages that the batch takes seconds, so the outage lands in it.
constexpr int kPackages = 200;
// As long as an administrator's restart of the database server may take.
constexpr int kOutageSeconds = 20;

bool WaitUntil(const std::function<bool()>& condition, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 100) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return condition();
}

class ServerOutageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    postgres_ = std::make_unique<testing::PrivatePostgres>();
    if (!postgres_->available()) GTEST_SKIP() << "no private PostgreSQL server (needs root)";
    SetUpOn(postgres_->server());
  }
  void SetUpOn(const testing::TestDatabaseServer& server) {
    unsetenv("NOTIFY_SOCKET");
    database_ = std::make_unique<testing::ScratchDatabase>(server);
    Connect();
    db::CreateInventoryDatabase(connection_, server.kind);
    testing::WriteDefaultConnection(*database_);
    fs::create_directories(program_directory_ + "/cvscan");
    for (const char* file : {"CVDiv32", "libnotifex.so", "libcvcredentials.so"}) {
      fs::copy_file(testing::BuildBinDirectory() + "/" + file, program_directory_ + "/" + file);
    }
    Set("TCP Port", testing::FreeTcpPort());
    Set("UDP Port", 0);
    platform::registry::SetValue(RegRoot::kLocalMachine, "SOFTWARE\\Arvex\\Corvane\\EventLog",
                                 "Corvane Event Log", RegValue::Dword(1));
    platform::registry::SetValue(RegRoot::kLocalMachine, "Software\\Arvex\\Corvane\\XTrace",
                                 "CVDiv32", RegValue::Dword(1));
  }
  void TearDown() override {
    if (!server_) return;
    server_->Signal(SIGTERM);
    server_->Wait(30000);
    // What the processing thread did about the outage, for a failure.
    if (HasFailure()) {
      std::cerr << testing::ReadFileOrEmpty(program_directory_ + "/CVDiv32.xlg")
                << server_->output() << "\nexit status " << server_->Wait(0).value_or(-1) << "\n";
    }
  }

  static void Set(const char* name, uint32_t value) {
    platform::registry::SetValue(RegRoot::kLocalMachine, service::kServerKey, name,
                                 RegValue::Dword(value));
  }
  void Connect() { connection_.Open(database_->connection_string(), -1); }

  void WriteBatch() {
    std::string packages;
    for (int p = 0; p < kPackages; ++p)
      packages += "Software - Package - (Name:pkg" + std::to_string(p) + ") - Version = 1\n";
    for (int i = 0; i < kScans; ++i) {
      testing::WriteFile(program_directory_ + "/cvscan/SCA" + std::to_string(1000 + i) + ".scn",
                         "Device ID = {OUTAGE-" + std::to_string(i) + "}\nDevice Name = outage" +
                             std::to_string(i) + "\nOS - Name = Linux\n_SOFTWARE = Packages\n" +
                             packages);
    }
  }
  void StartServer(bool as_service) {
    if (as_service) {
      manager_ = std::make_unique<testing::DatagramListener>(root_.path() + "/notify.sock");
      server_ = std::make_unique<ChildProcess>(
          program_directory_ + "/CVDiv32", std::vector<std::string>{},
          std::vector<std::string>{"NOTIFY_SOCKET=" + manager_->path()});
      ASSERT_TRUE(manager_->WaitFor("READY=1", 30000));
    } else {
      server_ = std::make_unique<ChildProcess>(program_directory_ + "/CVDiv32",
                                               std::vector<std::string>{"-debug"});
    }
  }

  int Count(const std::string& table) {
    return connection_.QuerySingleValue("SELECT COUNT(*) FROM " + table).ToInt32().value_or(-1);
  }
  size_t FilesLeft(const std::string& directory) {
    return testing::FilesIn(program_directory_ + "/cvscan" + directory, ".scn").size();
  }
  size_t EventCount(uint32_t id) {
    size_t count = 0;
    for (const notifex::EventRecord& record :
         notifex::ParseEventFile(testing::ReadFileOrEmpty(notifex::EventFilePath())).records) {
      count += record.event_id == id ? 1 : 0;
    }
    return count;
  }

  // Stops the database in the middle of the batch, starts it again after
  // the outage, and checks that the whole batch arrives within a minute.
  void OutageInTheMiddleOfABatch(bool as_service, const std::string& stop_mode) {
    WriteBatch();
    StartServer(as_service);
    ASSERT_TRUE(WaitUntil([&] { return Count("Computer") >= 3; }, 60000));
    ASSERT_TRUE(postgres_->Stop(stop_mode));
    connection_.Close();
    std::this_thread::sleep_for(std::chrono::seconds(kOutageSeconds));
    EXPECT_FALSE(server_->Wait(0)) << "the server must not stop over an outage";
    ASSERT_TRUE(postgres_->Start());
    Connect();
    ASSERT_LT(Count("Computer"), kScans) << "the batch ended before the outage; nothing was tested";
    EXPECT_TRUE(WaitUntil([&] { return Count("Computer") == kScans && FilesLeft("") == 0; }, 60000))
        << Count("Computer") << " devices, " << FilesLeft("") << " files left";
    EXPECT_EQ(Count("AppSoftware"), kScans * kPackages);
    EXPECT_EQ(FilesLeft("/ErrorScan"), 0u);
    EXPECT_FALSE(server_->Wait(0));
    EXPECT_EQ(EventCount(4100), 1u) << "one loss";
    EXPECT_EQ(EventCount(4107), 2u) << "online at start, then one recovery";
  }

  std::unique_ptr<testing::PrivatePostgres> postgres_;
  testing::TempRoot root_;
  std::unique_ptr<testing::ScratchDatabase> database_;
  db::Connection connection_;
  std::string program_directory_ = root_.path() + "/program";
  std::unique_ptr<testing::DatagramListener> manager_;
  std::unique_ptr<ChildProcess> server_;
};

// A fast shutdown ends the sessions cleanly; an immediate one as a crash
// would. Each in the foreground run and under a service manager.
TEST_F(ServerOutageTest, AFastShutdownInTheMiddleOfABatchLosesNothingInTheForeground) {
  OutageInTheMiddleOfABatch(/*as_service=*/false, "fast");
}

TEST_F(ServerOutageTest, AFastShutdownInTheMiddleOfABatchLosesNothingAsAService) {
  OutageInTheMiddleOfABatch(/*as_service=*/true, "fast");
}

TEST_F(ServerOutageTest, ACrashOfTheDatabaseInTheMiddleOfABatchLosesNothingInTheForeground) {
  OutageInTheMiddleOfABatch(/*as_service=*/false, "immediate");
}

TEST_F(ServerOutageTest, ACrashOfTheDatabaseInTheMiddleOfABatchLosesNothingAsAService) {
  OutageInTheMiddleOfABatch(/*as_service=*/true, "immediate");
}

TEST_F(ServerOutageTest, AServerStartedWhileTheDatabaseIsDownBeginsOnceItIsUp) {
  testing::WriteFile(program_directory_ + "/cvscan/SCA0001.scn",
                     "Device ID = {EARLY}\nDevice Name = early\nOS - Name = Linux\n");
  connection_.Close();
  ASSERT_TRUE(postgres_->Stop("fast"));
  StartServer(/*as_service=*/false);
  std::this_thread::sleep_for(std::chrono::seconds(5));
  EXPECT_FALSE(server_->Wait(0)) << "the server waits for its database";
  ASSERT_TRUE(postgres_->Start());
  Connect();
  EXPECT_TRUE(WaitUntil([&] { return Count("Computer") == 1 && FilesLeft("") == 0; }, 60000));
  EXPECT_EQ(EventCount(4100), 1u);
}

// The embedded database locked by another program for a while: the scans
// wait for it, and none is lost or set aside.
class SqliteLockTest : public ServerOutageTest {
 protected:
  void SetUp() override {
    for (const testing::TestDatabaseServer& server : testing::AvailableTestDatabases()) {
      if (server.kind == db::kDbmsSqlite) SetUpOn(server);
    }
  }
};

TEST_F(SqliteLockTest, AnExclusiveLockHeldByAnotherProcessForTenSecondsDelaysTheScansOnly) {
  WriteBatch();
  StartServer(/*as_service=*/false);
  ASSERT_TRUE(WaitUntil([&] { return Count("Computer") >= 3; }, 60000));
  connection_.Execute("BEGIN EXCLUSIVE TRANSACTION");
  const int locked_at = Count("Computer");
  std::this_thread::sleep_for(std::chrono::seconds(10));
  EXPECT_EQ(Count("Computer"), locked_at) << "the lock held nothing back";
  connection_.Execute("COMMIT");
  ASSERT_LT(locked_at, kScans) << "the batch ended before the lock; nothing was tested";
  EXPECT_TRUE(WaitUntil([&] { return Count("Computer") == kScans && FilesLeft("") == 0; }, 60000))
      << Count("Computer") << " devices, " << FilesLeft("") << " files left";
  EXPECT_EQ(Count("AppSoftware"), kScans * kPackages);
  EXPECT_EQ(FilesLeft("/ErrorScan"), 0u);
  EXPECT_FALSE(server_->Wait(0));
}

// Another server of a newer release upgrades the shared database while
// this one runs: this one processes nothing it might write wrongly, keeps
// what it receives, says why once, and goes on once it may.
class NewerSchemaTest : public ServerOutageTest {
 protected:
  void SetUp() override {
    for (const testing::TestDatabaseServer& server : testing::AvailableTestDatabases()) {
      if (server.kind == db::kDbmsSqlite) SetUpOn(server);
    }
  }
  void SetSchemaVersion(int version) {
    connection_.Execute(
        "UPDATE METASYSTEMS SET SCHEMAVERSION = " + std::to_string(version) + ", METASTAMP = " +
        db::DateLiteral(std::time(nullptr) + 3600, db::kDbmsSqlite) + " WHERE System_Idn = 0");
  }
  void WriteScan(const std::string& name) {
    testing::WriteFile(
        program_directory_ + "/cvscan/" + name + ".scn",
        "Device ID = {" + name + "}\nDevice Name = " + name + "\nOS - Name = Linux\n");
  }
};

TEST_F(NewerSchemaTest, AnUpgradeByANewerServerHoldsTheScansInTheSpoolUntilThisOneMayWrite) {
  const int known = db::schema::InventorySchema().version;
  WriteScan("SCA0001");
  StartServer(/*as_service=*/false);
  ASSERT_TRUE(WaitUntil([&] { return Count("Computer") == 1 && FilesLeft("") == 0; }, 30000));

  SetSchemaVersion(known + 1);
  WriteScan("SCA0002");
  ASSERT_TRUE(WaitUntil([&] { return EventCount(2394) == 1; }, 30000));
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(Count("Computer"), 1);
  EXPECT_EQ(FilesLeft(""), 1u) << "the scan waits in the spool";
  EXPECT_EQ(FilesLeft("/ErrorScan"), 0u);
  EXPECT_EQ(EventCount(2394), 1u) << "said once, not at every try";
  EXPECT_EQ(EventCount(4100), 0u) << "no outage";
  EXPECT_FALSE(server_->Wait(0)) << "the server keeps receiving";

  // The newer server's release withdrawn: the database is this one's again.
  SetSchemaVersion(known);
  EXPECT_TRUE(WaitUntil([&] { return Count("Computer") == 2 && FilesLeft("") == 0; }, 60000));
  EXPECT_EQ(EventCount(4107), 2u) << "online at start, then again";
}

}  // namespace
}  // namespace corvane
