#include "service/service_main.h"

#include <gtest/gtest.h>

#include "notifex/event_file.h"
#include "notifex/notifex.h"
#include "testsupport/recording_channel.h"
#include "testsupport/syslog_capture.h"
#include "testsupport/temp_root.h"

namespace corvane::service {
namespace {

using platform::ServiceState;
using platform::ServiceStatus;

class ScriptedServer : public Server {
 public:
  explicit ScriptedServer(bool starts) : starts_(starts) {}
  bool Start(const std::string& arguments, ServiceStatusReporter& status) override {
    start_arguments = arguments;
    status.ReportStartPending(20000);
    return starts_;
  }
  void ReportStartupSettings() override { settings_reported = true; }
  void Stop(ServiceStatusReporter&) override { stopped = true; }

  std::string start_arguments;
  std::atomic<bool> settings_reported{false};
  std::atomic<bool> stopped{false};

 private:
  bool starts_;
};

class ServiceMainTest : public ::testing::Test {
 protected:
  ServiceMainTest() { SetRegistryLogSetting("Corvane Event Log", 1); }

  std::vector<uint32_t> EventIds() {
    std::vector<uint32_t> ids;
    auto contents = notifex::ParseEventFile(testing::ReadFileOrEmpty(notifex::EventFilePath()));
    for (const auto& record : contents.records) ids.push_back(record.event_id);
    return ids;
  }

  testing::TempRoot root_;
  testing::SyslogCapture syslog_{root_.path()};
  std::shared_ptr<testing::StatusLog> log_ = std::make_shared<testing::StatusLog>();
};

TEST_F(ServiceMainTest, AFailedStartReportsNotLoadedAndStopsWithGeneralFailure) {
  ScriptedServer server(false);
  ServiceStatusReporter status(std::make_unique<testing::RecordingChannel>(log_));
  ServiceMain({"CVInventory Server", "a", "b"}, server, status);

  EXPECT_EQ(server.start_arguments, "a b");
  EXPECT_FALSE(server.stopped);
  std::vector<ServiceStatus> log = log_->Reports();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[0].state, ServiceState::kStartPending);
  EXPECT_EQ(log[1].state, ServiceState::kStartPending);
  EXPECT_EQ(log[2].wait_hint_ms, 20000u);
  EXPECT_EQ(log[3].state, ServiceState::kStopped);
  EXPECT_EQ(log[3].win32_exit_code, kWin32GeneralFailure);
  EXPECT_EQ(status.final_exit_code(), kWin32GeneralFailure);
  EXPECT_EQ(EventIds(), std::vector<uint32_t>{8});
  // The text comes from the program's own message table.
  EXPECT_TRUE(syslog_.WaitFor("Event 8: Corvane Inventory Server not loaded."));
}

TEST_F(ServiceMainTest, RunsUntilTheStopControlThenStopsTheServer) {
  ScriptedServer server(true);
  ServiceStatusReporter status(std::make_unique<testing::RecordingChannel>(log_));
  platform::Thread main_routine([&] { ServiceMain({"CVInventory Server"}, server, status); });
  for (int i = 0; i < 500 && !server.settings_reported; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(server.settings_reported);
  EXPECT_EQ(status.current().state, ServiceState::kRunning);
  EXPECT_FALSE(server.stopped);

  status.HandleControl(ServiceControl::kStop);
  ASSERT_TRUE(main_routine.Join(10000));
  EXPECT_TRUE(server.stopped);
  EXPECT_EQ(status.current().state, ServiceState::kStopped);
  EXPECT_EQ(status.final_exit_code(), 0u);
  EXPECT_TRUE(EventIds().empty());
}

}  // namespace
}  // namespace corvane::service
