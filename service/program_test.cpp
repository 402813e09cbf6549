// CVDiv32 as administrators and the service manager run it.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "service/config.h"
#include "testsupport/child_process.h"
#include "testsupport/syslog_capture.h"
#include "testsupport/temp_root.h"

namespace corvane {
namespace {

using testing::ChildProcess;
using testing::ReadFileOrEmpty;
using testing::RunToEnd;

// A stand-in for systemctl: logs its arguments and answers "show" with the
// next line of the "states" file (the last line repeats).
constexpr char kFakeSystemctl[] = R"SH(#!/bin/sh
echo "$*" >> "$FAKE_DIR/systemctl.log"
if [ "$1" = show ]; then
  if [ -s "$FAKE_DIR/states" ]; then
    head -n 1 "$FAKE_DIR/states"
    if [ "$(wc -l < "$FAKE_DIR/states")" -gt 1 ]; then sed -i 1d "$FAKE_DIR/states"; fi
  else
    echo inactive
  fi
fi
exit 0
)SH";

class ProgramTest : public ::testing::Test {
 protected:
  ProgramTest() {
    unsetenv("NOTIFY_SOCKET");
    std::filesystem::create_directories(units_);
    testing::WriteFile(systemctl_, kFakeSystemctl);
    chmod(systemctl_.c_str(), 0755);
    environment_ = {"CORVANE_SYSTEMD_UNIT_DIR=" + units_, "CORVANE_SYSTEMCTL=" + systemctl_,
                    "FAKE_DIR=" + root_.path()};
  }

  testing::RunResult Run(const std::vector<std::string>& arguments) {
    return RunToEnd(program_, arguments, environment_);
  }
  std::string Unit() { return ReadFileOrEmpty(units_ + "/corvane-inventory-server.service"); }
  std::string SystemctlLog() { return ReadFileOrEmpty(root_.path() + "/systemctl.log"); }

  testing::TempRoot root_;
  std::string program_ = testing::BuildBinDirectory() + "/CVDiv32";
  std::string units_ = root_.path() + "/units";
  std::string systemctl_ = root_.path() + "/systemctl";
  std::vector<std::string> environment_;
};

TEST_F(ProgramTest, WithoutArgumentsOrWithAnUnknownWordItExitsAtOnceChangingNothing) {
  for (std::vector<std::string> arguments :
       {std::vector<std::string>{}, {"-bogus"}, {"/BOGUS", "core"}}) {
    testing::RunResult result = Run(arguments);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.output, "");
  }
  EXPECT_FALSE(std::filesystem::exists(root_.path() + "/registry"));
  EXPECT_TRUE(std::filesystem::is_empty(units_));
  EXPECT_EQ(SystemctlLog(), "");
}

TEST_F(ProgramTest, InstallCoreWritesANotifyUnitWithTheOriginatorDependencyAndEnablesIt) {
  testing::RunResult result = Run({"-install", "-Core"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output, "Corvane Inventory Server installed.\n");
  std::string unit = Unit();
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("Requires=arvex-alert-originator.service\n"), std::string::npos);
  EXPECT_NE(unit.find("After=network.target arvex-alert-originator.service\n"), std::string::npos);
  EXPECT_NE(unit.find("ExecStart=\"" + program_ + "\"\n"), std::string::npos);
  EXPECT_NE(unit.find("Environment=\"CORVANE_ROOT=" + root_.path() + "\"\n"), std::string::npos);
  EXPECT_NE(unit.find("Description=Handles the processing of inventory data for Corvane(R) "
                      "Vantora\n"),
            std::string::npos);
  EXPECT_NE(SystemctlLog().find("enable corvane-inventory-server.service\n"), std::string::npos);
  // Install loads the settings once, which writes their defaults.
  EXPECT_EQ(platform::registry::GetValue(platform::RegRoot::kLocalMachine, service::kServerKey,
                                         "TCP Port"),
            platform::RegValue::Dword(5007));

  // A second install leaves the first unit as it was.
  EXPECT_EQ(Run({"/install"}).output, "CreateService failed - File exists (0x11)\n");
  EXPECT_EQ(Unit(), unit);
}

TEST_F(ProgramTest, InstallWithoutCoreHasNoDependency) {
  EXPECT_EQ(Run({"/INSTALL"}).output, "Corvane Inventory Server installed.\n");
  EXPECT_EQ(Unit().find("Requires="), std::string::npos);
}

TEST_F(ProgramTest, RemoveStopsARunningServicePollingItsStateThenDeletesIt) {
  ASSERT_EQ(Run({"-install"}).exit_code, 0);
  testing::WriteFile(root_.path() + "/states", "active\ndeactivating\ndeactivating\ninactive\n");
  testing::RunResult result = Run({"/REMOVE"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output,
            "Stopping Corvane Inventory Server..."
            "\nCorvane Inventory Server stopped.\n"
            "Corvane Inventory Server removed.\n");
  EXPECT_EQ(Unit(), "");
  std::string log = SystemctlLog();
  EXPECT_NE(log.find("stop --no-block corvane-inventory-server.service\n"), std::string::npos);
  EXPECT_NE(log.find("disable corvane-inventory-server.service\n"), std::string::npos);
}

TEST_F(ProgramTest, RemoveOfAStoppedServiceOnlyDeletesIt) {
  ASSERT_EQ(Run({"-install"}).exit_code, 0);
  EXPECT_EQ(Run({"-remove"}).output, "Corvane Inventory Server removed.\n");
  EXPECT_EQ(SystemctlLog().find("stop"), std::string::npos);
}

TEST_F(ProgramTest, RemoveAndInstallReportWhatTheyCouldNotOpen) {
  EXPECT_EQ(Run({"-remove"}).output, "OpenService failed - No such file or directory (0x2)\n");
  std::filesystem::remove_all(units_);
  EXPECT_EQ(Run({"-install"}).output, "OpenSCManager failed - No such file or directory (0x2)\n");
}

}  // namespace
}  // namespace corvane
