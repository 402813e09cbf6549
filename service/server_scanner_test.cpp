// The project's scanner against a running server, on fixture machines the
// tests make: the first run sends a full scan, later runs deltas that carry
// exactly what changed, and a device the server no longer knows is brought
// back by a full scan without anyone's help. Written once, run on every
// test database.

#include "scanner/testing/fixture_root.h"
#include "service/server_database_fixture.h"

namespace corvane::server_testing {
namespace {

using scanner_testing::FixtureRoot;
using scanner_testing::kFixtureDeviceId;

class ServerScannerTest : public ServerDatabaseTest {
 protected:
  // One run of the scanner against the server, its standard error in the
  // output too; the scan it sent is kept in `sent`.
  testing::RunResult Scan(const std::string& sent) {
    return testing::RunToEnd(
        "/bin/sh", {"-c", "exec \"$0\" \"$@\" 2>&1", testing::BuildBinDirectory() + "/rivozu32",
                    "--server", "127.0.0.1:" + std::to_string(tcp_port_), "--root", machine_.path(),
                    "--state", state_, "--output", root_.path() + "/" + sent});
  }
  std::string Sent(const std::string& sent) {
    return testing::ReadFileOrEmpty(root_.path() + "/" + sent);
  }
  std::string Device() {
    return "Computer_Idn = (SELECT Computer_Idn FROM Computer WHERE " +
           DeviceCondition(kFixtureDeviceId) + ")";
  }
  // Waits until the server has applied the scan of `time` (its "Last
  // Hardware Scan date") and has no scan file left.
  bool Applied(const std::string& time) {
    return WaitUntil([&] {
      return Count("Computer", DeviceCondition(kFixtureDeviceId) + " AND LastHWScanDate = " +
                                   db::SqlQuote(db::DbValue::Text(time))) == 1 &&
             ScanFilesLeft() == 0;
    });
  }
  static std::string Field(const std::string& sent, const std::string& name) {
    const std::string scan = "\n" + sent;
    const size_t at = scan.find("\n" + name + " = ");
    if (at == std::string::npos) return {};
    const size_t start = at + name.size() + 4;
    return scan.substr(start, scan.find('\n', start) - start);
  }
  size_t ErrorScans() {
    return testing::FilesIn(program_directory_ + "/cvscan/ErrorScan", ".scn").size();
  }

  FixtureRoot machine_{root_.path() + "/machine"};
  std::string state_ = root_.path() + "/scanner-state";
};

TEST_P(ServerScannerTest, AFullScanThenDeltasThatCarryExactlyWhatChanged) {
  StartServer();
  // The device ID the fixture's scans carry.
  fs::create_directories(state_);
  testing::WriteFile(state_ + "/device-id", std::string(kFixtureDeviceId) + "\n");

  testing::RunResult first = Scan("first.scn");
  ASSERT_EQ(first.exit_code, 0) << first.output;
  EXPECT_NE(first.output.find("sent a full scan"), std::string::npos) << first.output;
  const std::string first_time = Field(Sent("first.scn"), "Last Hardware Scan date");
  ASSERT_TRUE(Applied(first_time)) << "the full scan did not reach the database";
  EXPECT_EQ(Count("AppSoftware", Device()), 2);
  EXPECT_EQ(Count("FileInfoInstance", Device()), 5);
  EXPECT_EQ(Count("NetworkAdapter", Device()), 2);
  EXPECT_EQ(Count("OSConfigFiles", Device()), 3);
  EXPECT_EQ(Count("UnmodeledData"), 0);
  const int history = Count("HISTORY");

  // Nothing changed: a delta of identity and stamps, and nothing stored
  // but the stamps.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  testing::RunResult second = Scan("second.scn");
  ASSERT_EQ(second.exit_code, 0) << second.output;
  EXPECT_NE(second.output.find("sent a delta scan"), std::string::npos) << second.output;
  const std::string unchanged = Sent("second.scn");
  EXPECT_EQ(Field(unchanged, "Last Sync Date"), first_time);
  EXPECT_NE(unchanged.find("_SOFTWARE = Packages and Files\n_DELETED\n_ENDDELETED\n"),
            std::string::npos)
      << unchanged;
  const std::string second_time = Field(unchanged, "Last Hardware Scan date");
  ASSERT_TRUE(Applied(second_time)) << "the delta did not reach the database";
  EXPECT_EQ(Count("HISTORY"), history);
  EXPECT_EQ(Count("AppSoftware", Device()), 2);

  // One package added, one removed, one upgraded.
  machine_.Write("/var/lib/dpkg/status",
                 "Package: coreutils\nStatus: install ok installed\nInstalled-Size: 18000\n"
                 "Architecture: amd64\nVersion: 9.2-1\nDescription: GNU core utilities\n\n"
                 "Package: htop\nStatus: install ok installed\nArchitecture: amd64\n"
                 "Version: 3.2.2-2\nDescription: interactive processes viewer\n");
  machine_.Write("/var/lib/dpkg/info/tool.list", "");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  testing::RunResult third = Scan("third.scn");
  ASSERT_EQ(third.exit_code, 0) << third.output;
  const std::string delta = Sent("third.scn");
  std::vector<std::string> package_lines;
  for (size_t at = delta.find("Software - Package"); at != std::string::npos;
       at = delta.find("Software - Package", at + 1)) {
    package_lines.push_back(delta.substr(at, delta.find('\n', at) - at));
  }
  EXPECT_EQ(package_lines, (std::vector<std::string>{
                               "Software - Package - (Name:coreutils) - Version = 9.2-1",
                               "Software - Package - (Name:htop) - Version = 3.2.2-2",
                               "Software - Package - (Name:tool) - Name = tool",
                           }))
      << delta;
  ASSERT_TRUE(Applied(Field(delta, "Last Hardware Scan date")));
  EXPECT_EQ(Count("AppSoftware", Device() + " AND Name = 'coreutils' AND Version = '9.2-1'"), 1);
  EXPECT_EQ(Count("AppSoftware", Device() + " AND Name = 'htop' AND Description = "
                                            "'interactive processes viewer'"),
            1);
  EXPECT_EQ(Count("AppSoftware", Device() + " AND Name = 'tool'"), 0);
  EXPECT_EQ(Count("AppSoftware", Device()), 2);
  EXPECT_GT(Count("HISTORY"), history);
  EXPECT_EQ(ErrorScans(), 0u);
  EXPECT_EQ(Count("UnmodeledData"), 0);
}

TEST_P(ServerScannerTest, ADeviceTheServerNoLongerKnowsIsBroughtBackByAFullScan) {
  StartServer();
  testing::RunResult first = Scan("first.scn");
  ASSERT_EQ(first.exit_code, 0) << first.output;
  std::string device_id = testing::ReadFileOrEmpty(state_ + "/device-id");
  device_id.pop_back();
  ASSERT_TRUE(WaitUntil([&] { return Count("Computer", DeviceCondition(device_id)) == 1; }));

  // The database is made again from nothing.
  server_->Signal(SIGTERM);
  ASSERT_TRUE(server_->Wait(30000).has_value());
  connection_.Close();
  database_ = std::make_unique<testing::ScratchDatabase>(GetParam());
  connection_.Open(database_->connection_string(), -1);
  db::CreateInventoryDatabase(connection_, GetParam().kind);
  testing::WriteDefaultConnection(*database_);
  StartServer();

  // The scanner still holds the state of the old database: its delta is
  // refused, and the server asks this device for a full scan next time.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  testing::RunResult refused = Scan("refused.scn");
  ASSERT_EQ(refused.exit_code, 0) << refused.output;
  EXPECT_NE(refused.output.find("sent a delta scan"), std::string::npos) << refused.output;
  ASSERT_TRUE(syslog_.WaitFor("Event 2391: Inventory data for " + device_id + " is out of sync."));

  testing::RunResult next = Scan("next.scn");
  ASSERT_EQ(next.exit_code, 0) << next.output;
  EXPECT_NE(next.output.find("sent a full scan"), std::string::npos) << next.output;
  ASSERT_TRUE(WaitUntil([&] { return Count("Computer", DeviceCondition(device_id)) == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return ServerList("Force Full Scans").empty(); }));
  EXPECT_EQ(Count("AppSoftware"), 2);
}

TEST_P(ServerScannerTest, ADeviceIdTheServerHoldsForADuplicateIsGivenUpForANewOne) {
  platform::registry::SetValue(RegRoot::kLocalMachine, service::kServerKey, "Bad Device IDs",
                               RegValue::MultiSz({kFixtureDeviceId}));
  StartServer();
  fs::create_directories(state_);
  testing::WriteFile(state_ + "/device-id", std::string(kFixtureDeviceId) + "\n");
  testing::RunResult run = Scan("first.scn");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_NE(run.output.find("sent a full scan"), std::string::npos) << run.output;
  std::string device_id = testing::ReadFileOrEmpty(state_ + "/device-id");
  device_id.pop_back();
  EXPECT_NE(device_id, kFixtureDeviceId);
  EXPECT_EQ(Field(Sent("first.scn"), "Device ID"), device_id);
  ASSERT_TRUE(WaitUntil([&] { return Count("Computer", DeviceCondition(device_id)) == 1; }));
  EXPECT_EQ(Count("Computer", DeviceCondition(kFixtureDeviceId)), 0);
}

TEST_P(ServerScannerTest, AServerThatCannotBeReachedIsAFailureAndKeepsTheState) {
  // No server runs on the port.
  testing::RunResult unreachable = Scan("never.scn");
  EXPECT_EQ(unreachable.exit_code, 1);
  EXPECT_NE(unreachable.output.find("rivozu32: cannot send the scan to 127.0.0.1:" +
                                    std::to_string(tcp_port_) + ": cannot connect"),
            std::string::npos)
      << unreachable.output;
  EXPECT_FALSE(fs::exists(state_ + "/last-sent"));
  EXPECT_FALSE(fs::exists(root_.path() + "/never.scn"));

  testing::RunResult usage = testing::RunToEnd(testing::BuildBinDirectory() + "/rivozu32",
                                               {"--server", "127.0.0.1:99999"});
  EXPECT_EQ(usage.exit_code, 2);
}

INSTANTIATE_TEST_SUITE_P(Db, ServerScannerTest,
                         ::testing::ValuesIn(testing::AvailableTestDatabases()),
                         testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::server_testing
