#include "service/inventory_server.h"

#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "notifex/event_file.h"
#include "notifex/notifex.h"
#include "platform/registry.h"
#include "testsupport/net.h"
#include "testsupport/recording_channel.h"
#include "testsupport/temp_root.h"

namespace corvane::service {
namespace {

using platform::RegRoot;
using platform::RegValue;
using platform::ServiceStatus;

class InventoryServerTest : public ::testing::Test {
 protected:
  InventoryServerTest() {
    std::filesystem::create_directories(program_directory_);
    Set("TCP Port", port_);
    Set("UDP Port", 0);  // any free port: tests run side by side
    platform::registry::SetValue(RegRoot::kLocalMachine, "SOFTWARE\\Arvex\\Corvane\\EventLog",
                                 "Corvane Event Log", RegValue::Dword(1));
    status_.SetStopEvent(&service_stop_);
  }
  void Set(const char* name, uint32_t value) {
    platform::registry::SetValue(RegRoot::kLocalMachine, kServerKey, name, RegValue::Dword(value));
  }
  std::vector<notifex::EventRecord> Events() {
    return notifex::ParseEventFile(testing::ReadFileOrEmpty(notifex::EventFilePath())).records;
  }

  testing::TempRoot root_;
  std::string program_directory_ = root_.path() + "/program";
  uint16_t port_ = testing::FreeTcpPort();
  std::vector<uint32_t> Hints() {
    std::vector<uint32_t> hints;
    for (const ServiceStatus& status : log_->Reports()) hints.push_back(status.wait_hint_ms);
    return hints;
  }

  std::shared_ptr<testing::StatusLog> log_ = std::make_shared<testing::StatusLog>();
  ServiceStatusReporter status_{std::make_unique<testing::RecordingChannel>(log_)};
  platform::Event service_stop_{true, false};
};

TEST_F(InventoryServerTest, StartsListeningReportsItsSettingsAndStops) {
  platform::registry::SetValue(RegRoot::kLocalMachine, "Software\\Arvex\\Corvane\\XTrace",
                               "CVDiv32", RegValue::Dword(2));
  std::atomic<int> processing_runs{0};
  InventoryServer server({program_directory_,
                          [&](ServerContext& context) {
                            ++processing_runs;
                            context.worker_stop.Wait(platform::kInfinite);
                          },
                          nullptr});
  ASSERT_TRUE(server.Start("-debug", status_));
  EXPECT_EQ(Hints(), (std::vector<uint32_t>{20000, 90000, 20000}));
  EXPECT_TRUE(testing::CanConnect(port_));
  EXPECT_TRUE(server.context()->started.IsSet());
  for (const char* directory :
       {"cvscan", "cvscan/ErrorScan", "cvscan/ErrorBigScan", "cvscan/ErrorTrans"}) {
    EXPECT_TRUE(std::filesystem::is_directory(program_directory_ + "/" + directory)) << directory;
  }
  EXPECT_FALSE(std::filesystem::exists(program_directory_ + "/cvscan/Storage"));

  server.ReportStartupSettings();
  server.Stop(status_);
  EXPECT_EQ(processing_runs, 1);
  std::vector<notifex::EventRecord> events = Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].event_id, 9u);
  EXPECT_EQ(events[0].inserts, (std::vector<std::string>{"22", "23", "0"}));
  EXPECT_EQ(events[1].event_id, 11u);
  EXPECT_EQ(Hints().back(), 3000u);

  std::string trace = testing::ReadFileOrEmpty(program_directory_ + "/CVDiv32.xlg");
  EXPECT_EQ(trace.rfind("[  D A T E", 0), 0u) << trace;
  EXPECT_NE(trace.find("Inventory server stopping"), std::string::npos);
}

TEST_F(InventoryServerTest, WithoutSelfScanTheOtherSettingsEventIsReported) {
  Set("Do Self Scan", 0);
  Set("Clean At", 4);
  InventoryServer server({program_directory_, nullptr, nullptr});
  ASSERT_TRUE(server.Start("", status_));
  server.ReportStartupSettings();
  server.Stop(status_);
  std::vector<notifex::EventRecord> events = Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0].event_id, 10u);
  EXPECT_EQ(events[0].inserts, (std::vector<std::string>{"4", "0"}));
}

TEST_F(InventoryServerTest, WithNoListenerStartFailsAfterStoppingEverything) {
  int occupant = testing::BindTcpPort(port_, true);
  int udp_occupant = testing::BindUdpPort(0);
  ASSERT_GE(occupant, 0);
  Set("UDP Port", testing::BoundPort(udp_occupant));
  std::atomic<bool> processing_ended{false};
  InventoryServer server({program_directory_,
                          [&](ServerContext& context) {
                            context.worker_stop.Wait(platform::kInfinite);
                            processing_ended = true;
                          },
                          nullptr});
  EXPECT_FALSE(server.Start("", status_));
  close(occupant);
  close(udp_occupant);
  EXPECT_TRUE(processing_ended);
  EXPECT_FALSE(server.context()->is_running());
  for (const notifex::EventRecord& event : Events()) {
    EXPECT_NE(event.event_id, 11u) << "a failed start reports no unload";
  }
}

TEST_F(InventoryServerTest, TheWatchdogReplacesAnEndedProcessingThreadThenStopsTheService) {
  Set("DB Error Recovery Tries", 3);
  std::atomic<int> processing_runs{0};
  InventoryServer server({program_directory_, [&](ServerContext&) { ++processing_runs; }, nullptr});
  ASSERT_TRUE(server.Start("", status_));
  EXPECT_TRUE(service_stop_.Wait(20000));
  EXPECT_EQ(processing_runs, 4);
  EXPECT_EQ(server.watchdog_restarts(), 3u);
  server.Stop(status_);
}

TEST_F(InventoryServerTest, WithoutTheDatabaseNoProcessingThreadRuns) {
  Set("Do DB", 0);
  std::atomic<int> processing_runs{0};
  InventoryServer server({program_directory_, [&](ServerContext&) { ++processing_runs; }, nullptr});
  ASSERT_TRUE(server.Start("", status_));
  EXPECT_EQ(server.context()->software_scan_frequency, 1u);
  server.Stop(status_);
  EXPECT_EQ(processing_runs, 0);
  EXPECT_FALSE(service_stop_.IsSet());
}

}  // namespace
}  // namespace corvane::service
