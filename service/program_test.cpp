// CVDiv32 as administrators and the service manager run it.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "platform/servicectl.h"
#include "service/config.h"
#include "testsupport/child_process.h"
#include "testsupport/net.h"
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
  EXPECT_NE(unit.find("After=network-online.target postgresql.service mssql-server.service "
                      "arvex-alert-originator.service\n"),
            std::string::npos);
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

TEST_F(ProgramTest, TheInstalledUnitRestartsAfterFailuresIsSandboxedAndVerifies) {
  ASSERT_EQ(Run({"-install"}).exit_code, 0);
  const std::string unit = Unit();
  for (const char* line :
       {"Type=notify\n", "Restart=on-failure\n", "RestartSec=10s\n", "StateDirectory=corvane\n",
        "ProtectSystem=strict\n", "ProtectHome=yes\n", "PrivateTmp=yes\n", "NoNewPrivileges=yes\n",
        "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line << unit;
  }
  // Run from the build tree: the program's directory stays writable.
  EXPECT_NE(unit.find("ReadWritePaths=\"" + testing::BuildBinDirectory() + "\"\n"),
            std::string::npos)
      << unit;
  if (::access("/usr/bin/systemd-analyze", X_OK) != 0) GTEST_SKIP() << "no systemd-analyze";
  testing::RunResult verified =
      RunToEnd("/bin/sh", {"-c", "systemd-analyze verify --man=no \"$0\" 2>&1",
                           units_ + "/corvane-inventory-server.service"});
  EXPECT_EQ(verified.exit_code, 0) << verified.output;
  EXPECT_EQ(verified.output.find("corvane-inventory-server.service:"), std::string::npos)
      << verified.output;
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

TEST_F(ProgramTest, RemoveAndInstallReportWhatTheyCouldNotDoAndExitNonZero) {
  testing::RunResult remove = Run({"-remove"});
  EXPECT_EQ(remove.output, "OpenService failed - No such file or directory (0x2)\n");
  EXPECT_EQ(remove.exit_code, 1);
  std::filesystem::remove_all(units_);
  testing::RunResult install = Run({"-install"});
  EXPECT_EQ(install.output, "OpenSCManager failed - No such file or directory (0x2)\n");
  EXPECT_EQ(install.exit_code, 1);

  // A systemctl that fails: the unit is written but not enabled.
  std::filesystem::create_directories(units_);
  testing::WriteFile(systemctl_, "#!/bin/sh\nexit 1\n");
  testing::RunResult refused = Run({"-install"});
  EXPECT_EQ(refused.exit_code, 1) << refused.output;
  EXPECT_NE(refused.output.find("CreateService failed"), std::string::npos) << refused.output;
}

TEST(PackagedUnitTest, IsTheUnitTheInstallCommandWritesForThePackagesPaths) {
  platform::ServiceDefinition definition;
  definition.name = "Corvane Inventory Server";
  definition.description = "Handles the processing of inventory data for Corvane(R) Vantora";
  definition.program = "/usr/lib/corvane/CVDiv32";
  definition.user = "corvane";
  definition.data_directory = "/var/lib/corvane";
  EXPECT_EQ(
      platform::FormatUnitFile(definition, "/var/lib/corvane"),
      ReadFileOrEmpty(std::string(CORVANE_PACKAGING_DIR) + "/corvane-inventory-server.service"));
}

TEST_F(ProgramTest, AForegroundRunThatCannotStartSaysWhyOnStandardErrorAndExitsNonZero) {
  // Another program holds the TCP port.
  const int taken = testing::BindTcpPort(0, true);
  ASSERT_GE(taken, 0);
  platform::registry::SetValue(platform::RegRoot::kLocalMachine, service::kServerKey, "TCP Port",
                               platform::RegValue::Dword(testing::BoundPort(taken)));
  const std::string program_directory = root_.path() + "/program";
  std::filesystem::create_directories(program_directory);
  for (const char* file : {"CVDiv32", "libnotifex.so", "libcvcredentials.so"}) {
    std::filesystem::copy_file(testing::BuildBinDirectory() + "/" + file,
                               program_directory + "/" + file);
  }
  testing::RunResult run = RunToEnd(
      "/bin/sh", {"-c", "exec \"$0\" -debug 2>&1 </dev/null", program_directory + "/CVDiv32"},
      environment_, 30000);
  close(taken);
  EXPECT_EQ(run.exit_code, 1) << run.output;
  EXPECT_NE(run.output.find("Corvane-Inventory-Server: Event "), std::string::npos) << run.output;
}

}  // namespace
}  // namespace corvane
