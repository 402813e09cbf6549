// The scheduled tasks in a running server, on a clock the test sets: the
// daily maintenance served by the real processing thread on each test
// database, the drop of an incomplete datagram scan, and a stop in any of
// the timer's waits.

#include <atomic>
#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/dialect.h"
#include "db/schema_create.h"
#include "intake/datagram_intake.h"
#include "intake/processing_loop.h"
#include "intake/testing/datagram_fixture.h"
#include "notifex/event_file.h"
#include "platform/registry.h"
#include "platform/sync_test_util.h"
#include "service/inventory_server.h"
#include "tasks/clock.h"
#include "tasks/timer_thread.h"
#include "testsupport/net.h"
#include "testsupport/recording_channel.h"
#include "testsupport/temp_root.h"
#include "testsupport/test_databases.h"

namespace corvane::service {
namespace {

namespace fs = std::filesystem;

std::time_t December2026(int day, int hour, int minute) {
  return tasks::LocalSeconds(2026, 12, day, hour, minute);
}
using platform::RegRoot;
using platform::RegValue;
using platform::testing::Eventually;

class TimedServer {
 public:
  TimedServer(testing::TempRoot& root, std::time_t start)
      : program_directory_(root.path() + "/program"),
        clock_(std::make_shared<tasks::ManualClock>(start)) {
    fs::create_directories(program_directory_);
    Set("TCP Port", testing::FreeTcpPort());
    Set("UDP Port", 0);
    Set("Do Self Scan", 0);
    platform::registry::SetValue(RegRoot::kLocalMachine, "SOFTWARE\\Arvex\\Corvane\\EventLog",
                                 "Corvane Event Log", RegValue::Dword(1));
    status_.SetStopEvent(&service_stop_);
  }
  ~TimedServer() {
    if (server_) server_->Stop(status_);
  }

  static void Set(const char* name, uint32_t value) {
    platform::registry::SetValue(RegRoot::kLocalMachine, kServerKey, name, RegValue::Dword(value));
  }

  void Start(ProcessingBody body) {
    server_ = std::make_unique<InventoryServer>(
        ServerOptions{program_directory_, std::move(body), clock_});
    ASSERT_TRUE(server_->Start("", status_));
  }
  void Stop() {
    server_->Stop(status_);
    server_.reset();
  }

  // Runs the timer on to its next 300-second wait, passing the share
  // lookup's retries (no test gives the server a share).
  void RunToNextCycleWait() {
    for (;;) {
      std::optional<tasks::ManualClock::WaitInfo> wait = clock_->AwaitWait(serial_, 60000);
      ASSERT_TRUE(wait) << "the timer thread does not wait";
      serial_ = wait->serial;
      if (wait->timeout_ms == tasks::kTimerPeriodMs) return;
      if (wait->timeout_ms == tasks::kShareRetryMs) clock_->Advance(3);
    }
  }
  // The timer's next wait of `timeout_ms`, passing the share lookup's.
  void RunToWaitOf(uint32_t timeout_ms) {
    for (;;) {
      std::optional<tasks::ManualClock::WaitInfo> wait = clock_->AwaitWait(serial_, 60000);
      ASSERT_TRUE(wait);
      serial_ = wait->serial;
      if (wait->timeout_ms == timeout_ms) return;
      if (wait->timeout_ms == tasks::kShareRetryMs) clock_->Advance(3);
    }
  }
  void NextCycle(uint32_t seconds = 300) {
    clock_->Advance(seconds);
    RunToNextCycleWait();
  }

  std::vector<notifex::EventRecord> Events(uint32_t id) {
    std::vector<notifex::EventRecord> found;
    for (notifex::EventRecord& record :
         notifex::ParseEventFile(testing::ReadFileOrEmpty(notifex::EventFilePath())).records) {
      if (record.event_id == id) found.push_back(std::move(record));
    }
    return found;
  }

  InventoryServer& server() { return *server_; }
  tasks::ManualClock& clock() { return *clock_; }
  const std::string& program_directory() const { return program_directory_; }

 private:
  std::string program_directory_;
  std::shared_ptr<tasks::ManualClock> clock_;
  uint64_t serial_ = 0;
  std::shared_ptr<testing::StatusLog> log_ = std::make_shared<testing::StatusLog>();
  ServiceStatusReporter status_{std::make_unique<testing::RecordingChannel>(log_)};
  platform::Event service_stop_{true, false};
  std::unique_ptr<InventoryServer> server_;
};

class ServerMaintenanceTest : public ::testing::TestWithParam<testing::TestDatabaseServer> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "no " << GetParam().name << " server";
    database_ = std::make_unique<testing::ScratchDatabase>(GetParam());
    db_.Open(database_->connection_string(), -1);
    db::CreateInventoryDatabase(db_, GetParam().kind);
    testing::WriteDefaultConnection(*database_);
  }

  void Deliver(TimedServer& server, const std::string& device) {
    const std::string storage = server.program_directory() + "/cvscan/";
    testing::WriteFile(storage + device + ".tmp", "Device ID = {" + device + "}\r\nDevice Name = " +
                                                      device + "\r\nOS - Name = Linux\r\n");
    fs::rename(storage + device + ".tmp", storage + device + ".scn");
  }
  int Count(const std::string& sql) { return db_.QuerySingleValue(sql).ToInt32().value_or(-1); }
  int Devices(const std::string& device) {
    return Count("SELECT COUNT(*) FROM Computer WHERE DeviceId = '{" + device + "}'");
  }

  testing::TempRoot root_;
  std::unique_ptr<testing::ScratchDatabase> database_;
  db::Connection db_;
};

TEST_P(ServerMaintenanceTest, RunsAtCleanAtOnceADayAndPurgesDevicesOlderThanMaxScanAge) {
  TimedServer server(root_, December2026(9, 22, 50));
  TimedServer::Set("Clean At", 23);
  TimedServer::Set("Max Scan Age", 7);
  server.Start(intake::RunProcessingLoop);
  ASSERT_TRUE(server.server().context()->database_online.Wait(60000));
  Deliver(server, "OLD-DEVICE");
  Deliver(server, "NEW-DEVICE");
  ASSERT_TRUE(Eventually([&] { return Devices("OLD-DEVICE") == 1 && Devices("NEW-DEVICE") == 1; }));
  const int old_rows = Count(
      "SELECT COUNT(*) FROM Computer c JOIN Operating_System s ON s.Computer_Idn = c.Computer_Idn"
      " WHERE c.DeviceId = '{OLD-DEVICE}'");
  EXPECT_GT(old_rows, 0) << "the device has rows of its own to lose";
  db_.Execute("UPDATE Computer SET LastUpdInvSvr = " +
              db::DateLiteral(std::time(nullptr) - 30 * 86400, GetParam().kind) +
              " WHERE DeviceId = '{OLD-DEVICE}'");

  server.RunToNextCycleWait();  // 22:50: not yet
  EXPECT_TRUE(server.Events(2389).empty());
  server.NextCycle(1200);  // 23:10
  ASSERT_EQ(server.Events(2389).size(), 1u);
  ASSERT_EQ(server.Events(2388).size(), 1u);
  // The first cycle's share lookup took its 27 s.
  EXPECT_EQ(server.Events(2388)[0].inserts, std::vector<std::string>{"23:10:27"});
  EXPECT_EQ(server.server().watchdog_restarts(), 0u);
  EXPECT_EQ(Devices("OLD-DEVICE"), 0);
  EXPECT_EQ(Count("SELECT COUNT(*) FROM Operating_System WHERE Computer_Idn NOT IN"
                  " (SELECT Computer_Idn FROM Computer)"),
            0);
  EXPECT_EQ(Devices("NEW-DEVICE"), 1);

  server.NextCycle();                     // 23:15
  server.NextCycle(3600 * 23 + 45 * 60);  // 23:00 the next day
  EXPECT_EQ(server.Events(2389).size(), 2u) << "once a day, and again the next day";
  EXPECT_EQ(server.Events(2388).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Db, ServerMaintenanceTest,
                         ::testing::ValuesIn(testing::AvailableTestDatabases()),
                         testing::TestDatabaseName);

TEST(ServerTimerTest, AnIncompleteDatagramScanIsDroppedInTheFirstCycleAfterItIs300SecondsOld) {
  testing::TempRoot root;
  TimedServer server(root, December2026(9, 10, 0));
  TimedServer::Set("Do DB", 0);
  server.Start(nullptr);
  server.RunToNextCycleWait();
  const uint16_t port = server.server().datagram_intake()->udp_port();
  intake::testing::UdpTestClient client(port);
  const std::vector<std::string> datagrams = intake::testing::ScanDatagrams("STALE", 3);
  server.clock().Advance(299);  // the set's first packet comes at 299 s
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(client.Send(datagrams[i]));
    ASSERT_TRUE(client.Receive()) << "packet " << i + 1 << " acknowledged";
  }
  EXPECT_EQ(server.server().datagram_intake()->IncompleteScans(), 1u);
  server.NextCycle(1);  // 300 s: one second old
  EXPECT_EQ(server.server().datagram_intake()->IncompleteScans(), 1u);
  EXPECT_TRUE(server.Events(2384).empty());
  server.NextCycle();  // 600 s: 301 seconds old
  EXPECT_EQ(server.server().datagram_intake()->IncompleteScans(), 0u);
  ASSERT_EQ(server.Events(2384).size(), 1u);
  EXPECT_EQ(server.Events(2384)[0].inserts, std::vector<std::string>{"127.0.0.1"});
}

TEST(ServerTimerTest, ACompletedMaintenanceSetsTheWatchdogsRestartCountBackToZero) {
  testing::TempRoot root;
  TimedServer server(root, December2026(9, 22, 0));
  TimedServer::Set("Clean At", 23);
  std::atomic<int> runs{0};
  // The first processing thread ends at once, so the watchdog replaces it;
  // its replacement serves the maintenance.
  server.Start([&runs](ServerContext& context) {
    if (++runs == 1) return;
    context.database_online.Set();
    while (platform::WaitForAny({&context.worker_stop, &context.maintenance_request},
                                platform::kInfinite) == 1) {
      context.maintenance_request.Reset();
      context.maintenance_done.Set();
    }
  });
  ASSERT_TRUE(Eventually([&] { return server.server().watchdog_restarts() == 1; }));
  server.RunToNextCycleWait();
  EXPECT_EQ(server.server().watchdog_restarts(), 1u) << "no maintenance before 23:00";
  server.NextCycle(3600);
  EXPECT_EQ(server.Events(2388).size(), 1u);
  EXPECT_EQ(server.server().watchdog_restarts(), 0u);
}

TEST(ServerTimerTest, StopEndsTheTimerInEachOfItsWaits) {
  // A processing thread that never answers a maintenance request.
  auto online_and_idle = [](ServerContext& context) {
    context.database_online.Set();
    context.worker_stop.Wait(platform::kInfinite);
  };
  for (uint32_t wait : {tasks::kShareRetryMs, tasks::kTimerPeriodMs, tasks::kMaintenanceWaitMs}) {
    SCOPED_TRACE(wait);
    testing::TempRoot root;
    TimedServer server(root, December2026(9, wait == tasks::kMaintenanceWaitMs ? 23 : 10, 0));
    platform::registry::SetValue(RegRoot::kLocalMachine, "Software\\Arvex\\Corvane\\XTrace",
                                 "CVDiv32", RegValue::Dword(2));
    server.Start(online_and_idle);
    server.RunToWaitOf(wait);
    server.Stop();
    const std::string trace = testing::ReadFileOrEmpty(server.program_directory() + "/CVDiv32.xlg");
    EXPECT_NE(trace.find("Timer thread ended"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("did not end in time"), std::string::npos) << trace;
  }
}

}  // namespace
}  // namespace corvane::service
