// The server starts a device's queued custom job after a mini scan that says
// the device booted over the network: the job queued with cvadmin, the mini
// scans sent with cvsend, the job runner a script first on the server's PATH
// that notes each start. Written once, run on every test database.

#include <sys/stat.h>

#include <cstdlib>

#include "service/server_database_fixture.h"

namespace corvane::server_testing {
namespace {

constexpr char kPxeDevice[] = "{PXE-0000-0000-0000-0000000000B0}";
constexpr char kOtherDevice[] = "{PXE-0000-0000-0000-0000000000B1}";

class ServerPxeJobTest : public ServerDatabaseTest {
 protected:
  void SetUp() override {
    ServerDatabaseTest::SetUp();
    if (IsSkipped()) return;
    // The runner notes its arguments, one start per line.
    const std::string bin = root_.path() + "/jobbin";
    fs::create_directories(bin);
    testing::WriteFile(bin + "/Lemmick", "#!/bin/sh\necho \"$@\" >> " + calls_ + "\n");
    ASSERT_EQ(chmod((bin + "/Lemmick").c_str(), 0755), 0);
    const char* path = std::getenv("PATH");
    ASSERT_EQ(setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1), 0);
  }

  // A device as its full scan creates it; its Computer_Idn.
  std::string AddDevice(const std::string& device_id, const std::string& name,
                        const std::string& nic) {
    SendTcp(WriteScan(name + ".scn", "Device ID = " + device_id + "\nDevice Name = " + name +
                                         "\nNetwork - TCPIP - Host Name = " + name +
                                         "\nNetwork - NIC Address = " + nic +
                                         "\nOS - Name = Linux\n"));
    EXPECT_TRUE(WaitUntil([&] { return Count("Computer", DeviceCondition(device_id)) == 1; }));
    return Value("SELECT Computer_Idn FROM Computer WHERE " + DeviceCondition(device_id)).ToText();
  }

  std::string AddDeviceDirectly(const std::string& device_id) {
    connection_.Execute("INSERT INTO Computer(DeviceId) VALUES(" +
                        db::SqlQuote(db::DbValue::Text(device_id)) + ")");
    return Value("SELECT Computer_Idn FROM Computer WHERE " + DeviceCondition(device_id)).ToText();
  }

  void QueueJob(const std::string& device_id, const std::string& task) {
    testing::RunResult added =
        testing::RunToEnd(testing::BuildBinDirectory() + "/cvadmin",
                          {"job", "add", "--device", device_id, "--task", task});
    ASSERT_EQ(added.exit_code, 0) << added.output;
  }

  // Sends a mini scan of the device and waits until it is applied: each
  // carries a memory size of its own, which the device row then shows.
  void SendMini(const std::string& idn, const std::string& name, const std::string& nic,
                const std::string& lines) {
    const std::string memory = std::to_string(1000 + ++minis_);
    const std::string path =
        WriteScan("mini" + memory + ".txt", "Device Name = " + name +
                                                "\nNetwork - TCPIP - Host Name = " + name +
                                                "\nNetwork - NIC Address = " + nic + "\n" + lines +
                                                "Memory - Physical Memory = " + memory + "\n");
    testing::RunResult sent =
        testing::RunToEnd(testing::BuildBinDirectory() + "/cvsend",
                          {"--port", std::to_string(tcp_port_), "--mini", path});
    ASSERT_EQ(sent.exit_code, 0) << sent.output;
    ASSERT_TRUE(WaitUntil([&] {
      return Count("Memory", "Computer_Idn = " + idn + " AND PhysicalMemory = " + memory) == 1;
    })) << "mini scan "
        << memory << " was not applied";
  }

  std::string Calls() { return testing::ReadFileOrEmpty(calls_); }

  const std::string calls_ = root_.path() + "/lemmick.calls";
  int minis_ = 0;
};

TEST_P(ServerPxeJobTest, AQueuedJobStartsOnceAtTheDevicesNetworkBoot) {
  StartServer();
  const std::string idn = AddDevice(kPxeDevice, "pxe01", "00AA00BB00C0");
  const std::string other = AddDevice(kOtherDevice, "pxe02", "00AA00BB00C1");
  QueueJob(kPxeDevice, "42");

  SendMini(idn, "pxe01", "00AA00BB00C0", "Network - Pxeboot = YES\n");
  const std::string first = "/TASKID=42 /MACH=" + idn + "\n";
  ASSERT_TRUE(WaitUntil([&] { return Calls() == first; })) << Calls();

  // The job was handed out: the next network boot starts nothing.
  SendMini(idn, "pxe01", "00AA00BB00C0", "Network - Pxeboot = YES\n");
  // With a job waiting again: no network boot, or a holding-queue proxy
  // (by host name, or by NIC address when the host name is empty), starts
  // nothing; neither does a device without a job.
  QueueJob(kPxeDevice, "43");
  SendMini(idn, "pxe01", "00AA00BB00C0", "Network - Pxeboot = No\n");
  SendMini(idn, "pxe01", "00AA00BB00C0",
           "Network - Pxeboot = Yes\n"
           "Corvane Management - PXE Holding Queue - Proxy Host Name = proxy01\n");
  SendMini(idn, "pxe01", "00AA00BB00C0",
           "Network - Pxeboot = Yes\n"
           "Corvane Management - PXE Holding Queue - Proxy Host Name =\n"
           "Corvane Management - PXE Holding Queue - Proxy NIC Address = 00AA00BB00FF\n");
  SendMini(other, "pxe02", "00AA00BB00C1", "Network - Pxeboot = Yes\n");
  EXPECT_EQ(Calls(), first);

  // The waiting job starts at the next network boot, and it is the only
  // start since the first: the mini scans above are processed in turn on
  // the same thread before this one.
  SendMini(idn, "pxe01", "00AA00BB00C0", "Network - Pxeboot = yes\n");
  const std::string both = first + "/TASKID=43 /MACH=" + idn + "\n";
  EXPECT_TRUE(WaitUntil([&] { return Calls() == both; })) << Calls();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(Calls(), both);
  EXPECT_EQ(testing::ReadFileOrEmpty(program_directory_ + "/CVDiv32.log"), "");

  testing::RunResult listed =
      testing::RunToEnd(testing::BuildBinDirectory() + "/cvadmin", {"job", "list"});
  EXPECT_EQ(listed.exit_code, 0);
  EXPECT_NE(listed.output.find("0 pending job(s)"), std::string::npos) << listed.output;
}

TEST_P(ServerPxeJobTest, JobsAreQueuedOnlyForAKnownDeviceWithAValidTask) {
  const std::string idn = AddDeviceDirectly(kPxeDevice);
  auto cvadmin = [](const std::vector<std::string>& arguments) {
    return testing::RunToEnd(testing::BuildBinDirectory() + "/cvadmin", arguments).exit_code;
  };
  EXPECT_EQ(cvadmin({"job", "add", "--device", "{NO-SUCH-DEVICE}", "--task", "1"}), 1);
  for (const char* task : {"0", "-3", "12x", "2147483648", ""})
    EXPECT_EQ(cvadmin({"job", "add", "--device", kPxeDevice, "--task", task}), 2) << task;
  EXPECT_EQ(cvadmin({"job", "add", "--task", "1"}), 2);
  EXPECT_EQ(cvadmin({"job", "add", "--device", kPxeDevice, "--task", "1", "--x", "y"}), 2);
  EXPECT_EQ(cvadmin({"job"}), 2);
  EXPECT_EQ(cvadmin({"job", "list", "extra"}), 2);
  EXPECT_EQ(Count("PxeCustomJobs"), 0);

  EXPECT_EQ(cvadmin({"job", "add", "--device", kPxeDevice, "--task=2147483647"}), 0);
  testing::RunResult listed =
      testing::RunToEnd(testing::BuildBinDirectory() + "/cvadmin", {"job", "list"});
  EXPECT_NE(listed.output.find(std::string(kPxeDevice) + "\t" + idn + "\t2147483647\n"),
            std::string::npos)
      << listed.output;
}

INSTANTIATE_TEST_SUITE_P(Db, ServerPxeJobTest,
                         ::testing::ValuesIn(testing::AvailableTestDatabases()),
                         testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::server_testing
