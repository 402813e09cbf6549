// The server run as administrators and the service manager run it, from a
// program directory of its own.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "service/config.h"
#include "testsupport/child_process.h"
#include "testsupport/net.h"
#include "testsupport/syslog_capture.h"
#include "testsupport/temp_root.h"

namespace corvane {
namespace {

using platform::RegRoot;
using platform::RegValue;
using testing::ChildProcess;

class ServerRunTest : public ::testing::Test {
 protected:
  ServerRunTest() {
    unsetenv("NOTIFY_SOCKET");
    // The server keeps its storage directory and trace log beside itself.
    std::filesystem::create_directories(program_directory_);
    for (const char* file : {"CVDiv32", "libnotifex.so", "libcvcredentials.so"}) {
      std::filesystem::copy_file(testing::BuildBinDirectory() + "/" + file,
                                 program_directory_ + "/" + file);
    }
    SetServerValue("TCP Port", port_);
    SetServerValue("UDP Port", 0);  // any free port: tests run side by side
    // No database here: a server that must open one would stop itself.
    SetServerValue("Do DB", 0);
  }
  void SetServerValue(const char* name, uint32_t value) {
    platform::registry::SetValue(RegRoot::kLocalMachine, service::kServerKey, name,
                                 RegValue::Dword(value));
  }
  std::optional<RegValue> ServerValue(const char* name) {
    return platform::registry::GetValue(RegRoot::kLocalMachine, service::kServerKey, name);
  }

  testing::TempRoot root_;
  testing::SyslogCapture syslog_{root_.path()};
  std::string program_directory_ = root_.path() + "/program";
  std::string program_ = program_directory_ + "/CVDiv32";
  uint16_t port_ = testing::FreeTcpPort();
};

TEST_F(ServerRunTest, TheForegroundRunListensTracesAndUnloadsOnEnter) {
  platform::registry::SetValue(RegRoot::kLocalMachine, "Software\\Arvex\\Corvane\\XTrace",
                               "CVDiv32", RegValue::Dword(2));
  ChildProcess debug(program_, {"-debug"});
  ASSERT_TRUE(syslog_.WaitFor("Event 9: Corvane Inventory Server loaded successfully.", 20000));
  EXPECT_TRUE(testing::CanConnect(port_));
  EXPECT_TRUE(std::filesystem::is_directory(program_directory_ + "/cvscan/ErrorScan"));
  // The first start left the defaults in the registry, and not the values
  // that are never written.
  EXPECT_EQ(ServerValue("Max Scan File Size"), RegValue::Dword(10000000));
  EXPECT_EQ(ServerValue("Use Connection Address"), RegValue::Dword(1));
  EXPECT_FALSE(ServerValue("Store Scans"));
  EXPECT_FALSE(ServerValue("Bad Device IDs"));

  debug.WriteInput("\n");
  EXPECT_EQ(debug.Wait(30000), 0);
  EXPECT_TRUE(syslog_.WaitFor("Event 11: Corvane Inventory Server unloaded."));
  std::string trace = testing::ReadFileOrEmpty(program_directory_ + "/CVDiv32.xlg");
  EXPECT_EQ(trace.rfind("[  D A T E  /  T I M E  /  P I D  /  T I D  /  F I L E  /  L I N E  ]", 0),
            0u)
      << trace;
  EXPECT_NE(trace.find("\n["), std::string::npos);
}

TEST_F(ServerRunTest, ScansSentOverTcpAndUdpLandAsScanFiles) {
  int probe = testing::BindUdpPort(0);
  uint16_t udp_port = testing::BoundPort(probe);
  close(probe);
  SetServerValue("UDP Port", udp_port);
  ChildProcess debug(program_, {"-debug"});
  ASSERT_TRUE(syslog_.WaitFor("Event 9:", 20000));

  std::string sample = std::string(CORVANE_SAMPLE_SCANS_DIR) + "/debian12-delta.scn";
  std::string cvsend = testing::BuildBinDirectory() + "/cvsend";
  testing::RunResult tcp = testing::RunToEnd(cvsend, {"--port", std::to_string(port_), sample});
  EXPECT_EQ(tcp.exit_code, 0) << tcp.output;
  testing::RunResult udp = testing::RunToEnd(
      cvsend, {"--udp", "--encipher", "--port", std::to_string(udp_port), sample});
  EXPECT_EQ(udp.exit_code, 0) << udp.output;

  // Both arrive as complete scan files; the TCP one carries the address line.
  std::vector<std::string> scans;
  for (int i = 0; i < 500 && scans.size() < 2; ++i) {
    scans.clear();
    for (const auto& entry : std::filesystem::directory_iterator(program_directory_ + "/cvscan")) {
      if (entry.path().extension() == ".scn") scans.push_back(entry.path());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(scans.size(), 2u);
  std::string expected = testing::ReadFileOrEmpty(sample);
  size_t line_feeds = std::count(expected.begin(), expected.end(), '\n');
  for (const std::string& scan : scans) {
    std::string text = testing::ReadFileOrEmpty(scan);
    EXPECT_GE(text.size(), expected.size() + line_feeds) << scan;
    EXPECT_NE(text.find("Device ID ="), std::string::npos) << scan;
  }

  debug.WriteInput("\n");
  EXPECT_EQ(debug.Wait(30000), 0);
}

TEST_F(ServerRunTest, TheForegroundRunStopsOnSigtermWithoutInput) {
  ChildProcess debug(program_, {"/DEBUG"});
  debug.CloseInput();
  ASSERT_TRUE(syslog_.WaitFor("Event 9:", 20000));
  EXPECT_FALSE(debug.Wait(200)) << "closed input must not stop the server";
  debug.Signal(SIGTERM);
  EXPECT_EQ(debug.Wait(30000), 0);
  EXPECT_TRUE(syslog_.WaitFor("Event 11:"));
}

TEST_F(ServerRunTest, AsAServiceItReportsItsStatesAndFollowsControls) {
  testing::DatagramListener manager(root_.path() + "/notify.sock");
  ChildProcess service(program_, {}, {"NOTIFY_SOCKET=" + manager.path()});
  EXPECT_TRUE(manager.WaitFor("STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000"));
  EXPECT_TRUE(manager.WaitFor("STATUS=Starting\nEXTEND_TIMEOUT_USEC=90000000"));
  EXPECT_TRUE(manager.WaitFor("READY=1", 20000));

  service.Signal(SIGUSR1);
  EXPECT_TRUE(manager.WaitFor("STATUS=Paused"));
  service.Signal(SIGUSR1);
  EXPECT_TRUE(manager.WaitFor("READY=1\nSTATUS=Running"));
  EXPECT_FALSE(service.Wait(100)) << "pause and continue must not end the service";

  service.Signal(SIGTERM);
  EXPECT_TRUE(manager.WaitFor("STOPPING=1\nSTATUS=Stopping\nEXTEND_TIMEOUT_USEC=3000000"));
  EXPECT_TRUE(manager.WaitFor("STATUS=Stopped", 30000));
  EXPECT_EQ(service.Wait(30000), 0);
}

TEST_F(ServerRunTest, AServiceThatCannotListenReportsNotLoadedAndExitsWith31) {
  int occupant = testing::BindTcpPort(port_, true);
  int udp_occupant = testing::BindUdpPort(0);
  ASSERT_GE(occupant, 0);
  SetServerValue("UDP Port", testing::BoundPort(udp_occupant));
  testing::DatagramListener manager(root_.path() + "/notify.sock");
  ChildProcess service(program_, {}, {"NOTIFY_SOCKET=" + manager.path()});
  EXPECT_TRUE(manager.WaitFor("STATUS=Stopped with exit code 31", 30000));
  EXPECT_EQ(service.Wait(30000), 31);
  close(occupant);
  close(udp_occupant);
  EXPECT_TRUE(syslog_.WaitFor("Event 2056: Winsock failed to bind to socket"));
  EXPECT_TRUE(syslog_.WaitFor("Event 2062: Winsock failed to bind to socket"));
  EXPECT_TRUE(syslog_.WaitFor("Event 8: Corvane Inventory Server not loaded."));
}

TEST_F(ServerRunTest, AServerThatStopsItselfExitsWithAFailureAsAServiceAndInTheForeground) {
  // No database connection is configured: the processing thread cannot open
  // one and stops the service.
  SetServerValue("Do DB", 1);
  {
    testing::DatagramListener manager(root_.path() + "/notify.sock");
    ChildProcess service(program_, {}, {"NOTIFY_SOCKET=" + manager.path()});
    EXPECT_TRUE(manager.WaitFor("STATUS=Stopped", 30000));
    EXPECT_EQ(service.Wait(30000), 1) << "a supervisor must see the failure";
  }
  ChildProcess debug(program_, {"-debug"});
  EXPECT_EQ(debug.Wait(30000), 1) << "the foreground run stops as the service does";
  EXPECT_TRUE(syslog_.WaitFor("Event 11:"));
}

}  // namespace
}  // namespace corvane
