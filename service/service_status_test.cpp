#include "service/service_status.h"

#include <gtest/gtest.h>

#include "testsupport/recording_channel.h"

namespace corvane::service {
namespace {

using platform::ServiceState;
using platform::ServiceStatus;

class StatusReporterTest : public ::testing::Test {
 protected:
  std::shared_ptr<testing::StatusLog> log_ = std::make_shared<testing::StatusLog>();
  ServiceStatusReporter reporter_{std::make_unique<testing::RecordingChannel>(log_)};
  platform::Event stop_{true, false};
};

TEST_F(StatusReporterTest, PendingReportsCountCheckpointsAndStopResetsThem) {
  reporter_.SetStopEvent(&stop_);
  reporter_.ReportStartPending(3000);
  reporter_.ReportStartPending(20000);
  ASSERT_EQ(log_->Reports().size(), 2u);
  EXPECT_EQ(log_->Reports()[1].checkpoint, 2u);
  EXPECT_EQ(log_->Reports()[1].wait_hint_ms, 20000u);
  EXPECT_EQ(log_->Reports()[1].controls_accepted, 0u);

  reporter_.Report(ServiceState::kRunning);
  reporter_.HandleControl(ServiceControl::kStop);
  ASSERT_EQ(log_->Reports().size(), 4u);
  EXPECT_EQ(log_->Reports()[3].state, ServiceState::kStopPending);
  EXPECT_EQ(log_->Reports()[3].checkpoint, 1u);
  EXPECT_EQ(log_->Reports()[3].wait_hint_ms, 3000u);
  EXPECT_EQ(log_->Reports()[3].controls_accepted, kAcceptStop | kAcceptPauseContinue);
  EXPECT_TRUE(stop_.IsSet());
}

TEST_F(StatusReporterTest, PauseTogglesOnlyTheReportedState) {
  reporter_.Report(ServiceState::kRunning);
  reporter_.HandleControl(ServiceControl::kPause);
  EXPECT_EQ(log_->Reports().back().state, ServiceState::kPaused);
  reporter_.HandleControl(ServiceControl::kPause);
  EXPECT_EQ(log_->Reports().back().state, ServiceState::kRunning);
  reporter_.HandleControl(ServiceControl::kPause);
  reporter_.HandleControl(ServiceControl::kContinue);
  EXPECT_EQ(log_->Reports().back().state, ServiceState::kRunning);
  reporter_.HandleControl(ServiceControl::kInterrogate);
  EXPECT_EQ(log_->Reports().back().state, ServiceState::kRunning);
}

TEST_F(StatusReporterTest, ARefusedReportSignalsTheStopEvent) {
  reporter_.SetStopEvent(&stop_);
  log_->refuse = true;
  EXPECT_FALSE(reporter_.Report(ServiceState::kRunning));
  EXPECT_TRUE(stop_.IsSet());
}

TEST(StatusReporterWithoutManager, EveryReportFailsAndSignalsStop) {
  ServiceStatusReporter reporter(nullptr);
  platform::Event stop(true, false);
  reporter.SetStopEvent(&stop);
  EXPECT_FALSE(reporter.ReportStartPending(3000));
  EXPECT_TRUE(stop.IsSet());
  EXPECT_FALSE(reporter.final_exit_code());
}

TEST_F(StatusReporterTest, TheFirstStoppedReportDecidesTheExitCode) {
  reporter_.ReportFailedStop();
  reporter_.Report(ServiceState::kStopped, 0);
  EXPECT_EQ(log_->Reports()[0].win32_exit_code, kWin32GeneralFailure);
  EXPECT_EQ(reporter_.final_exit_code(), kWin32GeneralFailure);
}

}  // namespace
}  // namespace corvane::service
