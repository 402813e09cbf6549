// The server run from a program directory of its own against a real
// inventory database: scans sent by the scan client end up in the database.
// Written once, run on every test database.

#include <cstdlib>

#include "service/server_database_fixture.h"

namespace corvane::server_testing {
namespace {

TEST_P(ServerDatabaseTest, FullScansOverTcpAndUdpReachTheDatabase) {
  StartServer();
  const std::string sample = std::string(CORVANE_SAMPLE_SCANS_DIR) + "/debian12-full.scn";
  SendTcp(sample);
  ASSERT_TRUE(WaitUntil([&] {
    return Count("Computer", DeviceCondition(kSampleDevice) + " AND LastUpdInvSvr IS NOT NULL") ==
           1;
  })) << "the TCP scan did not reach the database";
  EXPECT_EQ(Count("Computer", DeviceCondition(kSampleDevice) + " AND InventoryServer IS NOT NULL"),
            1);
  EXPECT_EQ(Count("AppSoftware"), 985);
  EXPECT_TRUE(WaitUntil([&] { return ScanFilesLeft() == 0; }));

  // Another device over UDP.
  std::string text = testing::ReadFileOrEmpty(sample);
  // Another machine: its own device ID and NIC address (the same ones would
  // make it the same device).
  text.replace(text.find(kSampleDevice), std::string(kSampleDevice).size(), "{UDP-DEVICE}");
  const std::string nic = "Network - NIC Address = 02FC00000001";
  text.replace(text.find(nic), nic.size(), "Network - NIC Address = 02FC000000AA");
  const std::string udp_scan = WriteScan("udp.scn", text);
  testing::RunResult udp =
      testing::RunToEnd(testing::BuildBinDirectory() + "/cvsend",
                        {"--udp", "--port", std::to_string(udp_port_), udp_scan}, {}, 120000);
  ASSERT_EQ(udp.exit_code, 0) << udp.output;
  ASSERT_TRUE(WaitUntil([&] {
    return Count("Computer", DeviceCondition("{UDP-DEVICE}") + " AND LastUpdInvSvr IS NOT NULL") ==
           1;
  })) << "the UDP scan did not reach the database";
  EXPECT_EQ(Count("AppSoftware"), 2 * 985);

  // The same scan again changes nothing but the stamp.
  const db::DbValue stamp =
      Value("SELECT LastUpdInvSvr FROM Computer WHERE " + DeviceCondition(kSampleDevice));
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  SendTcp(sample);
  ASSERT_TRUE(WaitUntil([&] {
    return Value("SELECT LastUpdInvSvr FROM Computer WHERE " + DeviceCondition(kSampleDevice)) !=
           stamp;
  }));
  EXPECT_EQ(Count("AppSoftware"), 2 * 985);
  EXPECT_EQ(Count("Computer"), 2);
}

TEST_P(ServerDatabaseTest, TheFourSamplesApplyInTurnOverTcp) {
  StartServer();
  const std::string samples = CORVANE_SAMPLE_SCANS_DIR;
  const std::string vm = "Computer_Idn = (SELECT Computer_Idn FROM Computer WHERE " +
                         DeviceCondition(kSampleDevice) + ")";
  auto error_scans = [&] {
    return testing::FilesIn(program_directory_ + "/cvscan/ErrorScan", ".scn").size();
  };

  SendTcp(samples + "/debian12-full.scn");
  ASSERT_TRUE(WaitUntil([&] { return Count("AppSoftware") == 985 && ScanFilesLeft() == 0; }));
  EXPECT_EQ(Count("FileInfoInstance", vm), 871);
  EXPECT_EQ(Count("FileInfo", "Discovered = 1"), 871);
  EXPECT_EQ(Count("FileInfoInstance", vm + " AND FileInfo_Idn IS NULL"), 0);

  // The delta: one hardware change, a package upgraded and one added, a
  // package and a file deleted, one description cleared.
  SendTcp(samples + "/debian12-delta.scn");
  ASSERT_TRUE(WaitUntil([&] { return Count("Memory", vm + " AND PhysicalMemory = 32768") == 1; }));
  EXPECT_EQ(Count("AppSoftware", "Name = 'adwaita-icon-theme' AND Version = '43-1+deb12u9'"), 1);
  EXPECT_EQ(Count("AppSoftware", "Name = 'sample-new-tool' AND Architecture = 'amd64'"), 1);
  EXPECT_EQ(Count("AppSoftware", "Name = 'alsa-topology-conf'"), 0);
  EXPECT_EQ(Count("AppSoftware", "Name = 'alsa-ucm-conf' AND Description IS NULL"), 1);
  EXPECT_EQ(Count("AppSoftware"), 985);
  EXPECT_GT(Count("HISTORY", vm), 0);
  EXPECT_EQ(error_scans(), 0u);

  // The configuration file and the BIOS text, stored as binary values.
  SendTcp(samples + "/config-files.scn");
  const std::string cfghost = "Computer_Idn = (SELECT Computer_Idn FROM Computer WHERE " +
                              DeviceCondition("{6C1F0000-0000-4000-8000-00000000C0F1}") + ")";
  ASSERT_TRUE(WaitUntil([&] { return Count("OSConfigFiles", cfghost) == 1; }));
  const db::DbValue file = Value("SELECT FileData FROM OSConfigFiles WHERE " + cfghost);
  ASSERT_EQ(file.type(), db::DbValue::Type::kBytes);
  EXPECT_NE(std::string(file.bytes().begin(), file.bytes().end()).find("/dev/vda / ext4"),
            std::string::npos);
  const db::DbValue bios = Value("SELECT BiosText FROM BiosStrings WHERE " + cfghost);
  ASSERT_EQ(bios.type(), db::DbValue::Type::kBytes);
  EXPECT_NE(std::string(bios.bytes().begin(), bios.bytes().end()).find("SMBIOS 2.8 present."),
            std::string::npos);

  // Its delta removes the file's row.
  SendTcp(samples + "/config-delta.scn");
  ASSERT_TRUE(WaitUntil([&] { return Count("OSConfigFiles", cfghost) == 0; }));
  EXPECT_EQ(Count("BiosStrings", cfghost), 1);
  EXPECT_EQ(error_scans(), 0u);
}

TEST_P(ServerDatabaseTest, AnUnknownDeviceWithALastSyncDateIsForcedToAFullScan) {
  StartServer();
  const std::string delta = WriteScan("delta.scn",
                                      "Device ID = {NEW-DEVICE}\nDevice Name = fresh\n"
                                      "Last Sync Date = 1796000000\nOS - Name = Linux\n");
  SendTcp(delta);
  ASSERT_TRUE(syslog_.WaitFor("Event 2391: Inventory data for {NEW-DEVICE} is out of sync."));
  SendTcp(delta);
  ASSERT_TRUE(syslog_.WaitFor("Event 2391:"));
  EXPECT_EQ(ServerList("Force Full Scans"), std::vector<std::string>{"{NEW-DEVICE}"});
  EXPECT_EQ(Count("Computer"), 0);

  // Its next reply asks for a full scan; after the full scan it is no
  // longer listed.
  const std::string full = WriteScan("full.scn",
                                     "Device ID = {NEW-DEVICE}\nDevice Name = fresh\n"
                                     "OS - Name = Linux\n");
  EXPECT_NE(ReplyFlags(SendTcp(full)) & 0x200000u, 0u);
  ASSERT_TRUE(WaitUntil([&] { return Count("Computer", DeviceCondition("{NEW-DEVICE}")) == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return ServerList("Force Full Scans").empty(); }));
  EXPECT_EQ(ReplyFlags(SendTcp(full)) & 0x200000u, 0u);
}

TEST_P(ServerDatabaseTest, ADeviceWithTooManyHardwareChangesIsADuplicate) {
  SetServerValue("Hardware Changes Number", 3);
  SetServerValue("Handle Duplicate DeviceIDs", 1);
  StartServer();
  const std::string first =
      WriteScan("first.scn",
                "Device ID = {TWIN}\nDevice Name = twin\nMemory - Physical Memory = 1024\n"
                "Processor - Cores = 2\nBIOS - Version = 1.0\nOS - Name = Linux\n");
  SendTcp(first);
  ASSERT_TRUE(WaitUntil([&] { return Count("Computer", DeviceCondition("{TWIN}")) == 1; }));

  const std::string other =
      WriteScan("other.scn",
                "Device ID = {TWIN}\nDevice Name = twin\nMemory - Physical Memory = 2048\n"
                "Processor - Cores = 8\nBIOS - Version = 2.0\nOS - Name = Linux\n");
  SendTcp(other);
  ASSERT_TRUE(syslog_.WaitFor("Event 2390: Inventory server detected {TWIN} as a duplicated"));
  EXPECT_TRUE(WaitUntil(
      [&] { return ServerList("Bad Device IDs") == std::vector<std::string>{"{TWIN}"}; }));
  EXPECT_TRUE(WaitUntil(
      [&] { return !testing::FilesIn(program_directory_ + "/cvscan/ErrorScan", ".scn").empty(); }));
  // Rolled back: the first scan's values stay.
  EXPECT_EQ(Count("Memory", "PhysicalMemory = 1024"), 1);
  EXPECT_NE(ReplyFlags(SendTcp(first)) & 0x80000u, 0u);
}

TEST_P(ServerDatabaseTest, AKilledServerLosesNoScanAndAppliesEachOnce) {
  constexpr int kScans = 100;
  // Enough packages per scan that the batch takes seconds, so the kill
  // lands in the middle of it.
  constexpr int kPackages = 200;
  std::string packages;
  for (int p = 0; p < kPackages; ++p)
    packages += "Software - Package - (Name:pkg" + std::to_string(p) + ") - Version = 1\n";
  fs::create_directories(program_directory_ + "/cvscan");
  for (int i = 0; i < kScans; ++i) {
    const std::string id = "{BATCH-" + std::to_string(i) + "}";
    testing::WriteFile(program_directory_ + "/cvscan/SCA" + std::to_string(1000 + i) + ".scn",
                       "Device ID = " + id + "\nDevice Name = batch" + std::to_string(i) +
                           "\nOS - Name = Linux\n_SOFTWARE = Packages\n" + packages);
  }
  StartServer();
  ASSERT_TRUE(WaitUntil([&] { return Count("Computer") >= 3; }, 60000));
  server_->Signal(SIGKILL);
  server_->Wait(30000);
  server_.reset();
  ASSERT_LT(Count("Computer"), kScans) << "the batch ended before the kill; nothing was tested";

  StartServer();
  ASSERT_TRUE(
      WaitUntil([&] { return Count("Computer") == kScans && ScanFilesLeft() == 0; }, 120000))
      << Count("Computer") << " devices, " << ScanFilesLeft() << " files left";
  EXPECT_EQ(Count("AppSoftware"), kPackages * kScans);
  EXPECT_EQ(Value("SELECT COUNT(DISTINCT DeviceId) FROM Computer").ToInt32(), kScans);
  EXPECT_TRUE(testing::FilesIn(program_directory_ + "/cvscan/ErrorScan", ".scn").empty());
}

// The scanner of the "cvlogon" share: records its arguments and writes a
// scan of the server's machine at its "/o=" path.
constexpr char kSelfScanner[] =
    "#!/bin/sh\n"
    "echo \"$@\" > \"$(dirname \"$0\")/arguments\"\n"
    "out=\"${1#/o=}\"\n"
    "printf 'Device ID = {SELF-SCAN}\\r\\nDevice Name = inventory-server\\r\\n"
    "OS - Name = Linux\\r\\n' > \"$out\"\n";

TEST_P(ServerDatabaseTest, RightAfterStartTheServerScansItselfWithTheCvlogonSharesScanner) {
  SetServerValue("Do Self Scan", 0);
  const std::string share = root_.path() + "/share";
  fs::create_directories(share);
  testing::WriteFile(root_.path() + "/smb.conf", "[global]\n[CVLOGON]\n   path = " + share + "\n");
  testing::WriteFile(share + "/rivozu32", kSelfScanner);
  fs::permissions(share + "/rivozu32", fs::perms::owner_all);
  StartServer();
  ASSERT_TRUE(WaitUntil([&] { return Count("Computer", DeviceCondition("{SELF-SCAN}")) == 1; }))
      << "the self scan did not reach the database";
  const std::string arguments = testing::ReadFileOrEmpty(share + "/arguments");
  const std::string prefix = "/o=" + program_directory_ + "/cvscan/SCA";
  EXPECT_EQ(arguments.rfind(prefix, 0), 0u) << arguments;
  EXPECT_EQ(arguments.substr(arguments.size() - 20), ".tmp /f /noui /nocd\n") << arguments;
  EXPECT_TRUE(testing::FilesIn(program_directory_ + "/cvscan", ".tmp").empty());
}

TEST_P(ServerDatabaseTest, TheSelfScanWithTheProjectsScannerPutsThisMachineInTheDatabase) {
  SetServerValue("Do Self Scan", 0);
  const std::string share = root_.path() + "/share";
  fs::create_directories(share);
  testing::WriteFile(root_.path() + "/smb.conf", "[cvlogon]\npath = " + share + "\n");
  fs::copy_file(testing::BuildBinDirectory() + "/rivozu32", share + "/rivozu32");
  // The scanner keeps its device ID in the test's root, not the machine's.
  const std::string state = root_.path() + "/scanner-state";
  setenv("CORVANE_SCANNER_STATE", state.c_str(), 1);
  StartServer();
  ASSERT_TRUE(WaitUntil([&] { return !testing::ReadFileOrEmpty(state + "/device-id").empty(); }));
  std::string device_id = testing::ReadFileOrEmpty(state + "/device-id");
  device_id.pop_back();  // its line end
  ASSERT_TRUE(WaitUntil([&] { return Count("Computer", DeviceCondition(device_id)) == 1; }))
      << "the self scan did not reach the database";
  // Every package dpkg lists, where it does; at least the executables of
  // /usr/bin (the other directories add more).
  testing::RunResult packages =
      testing::RunToEnd("/bin/sh", {"-c", "dpkg-query -W 2>/dev/null | wc -l"});
  const int listed = std::atoi(packages.output.c_str());
  if (listed > 0) {
    EXPECT_EQ(Count("AppSoftware"), listed);
  }
  testing::RunResult usr_bin = testing::RunToEnd(
      "/bin/sh",
      {"-c", "find -L /usr/bin -mindepth 1 -maxdepth 1 -type f -perm /111 2>/dev/null | wc -l"});
  EXPECT_GE(Count("FileInfoInstance"), std::atoi(usr_bin.output.c_str()));
  EXPECT_GT(Count("FileInfoInstance"), 0);
  EXPECT_GT(Count("NetworkAdapter"), 0);
  EXPECT_GT(Count("LocalUser"), 0);
  EXPECT_GT(Count("LocalGroup"), 0);
  EXPECT_GT(Count("OSConfigFiles"), 0);
  EXPECT_EQ(Count("UnmodeledData"), 0);
  EXPECT_EQ(testing::FilesIn(program_directory_ + "/cvscan/ErrorScan", ".scn").size(), 0u);
}

TEST_P(ServerDatabaseTest, AShareWithoutTheScannerIsAScannerErrorAndLeavesNoFile) {
  platform::registry::SetValue(RegRoot::kLocalMachine, "Software\\Arvex\\Corvane\\XTrace",
                               "CVDiv32", RegValue::Dword(2));
  const std::string share = root_.path() + "/empty-share";
  fs::create_directories(share);
  testing::WriteFile(root_.path() + "/smb.conf", "[cvlogon]\npath = " + share + "\n");
  // The scanner error may come before the database is online.
  server_ = std::make_unique<ChildProcess>(program_, std::vector<std::string>{"-debug"});
  ASSERT_TRUE(syslog_.WaitFor("Event 2386:", 30000));
  const std::string trace = testing::ReadFileOrEmpty(program_directory_ + "/CVDiv32.xlg");
  EXPECT_NE(trace.find("Failed to create process \"" + share + "/rivozu32\", \"\"" + share +
                       "/rivozu32\" /o=\"" + program_directory_ + "/cvscan/SCA"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find(".tmp\" /f /noui /nocd\", 2"), std::string::npos) << trace;
  EXPECT_TRUE(testing::FilesIn(program_directory_ + "/cvscan", ".tmp").empty());
  EXPECT_EQ(ScanFilesLeft(), 0);
}

INSTANTIATE_TEST_SUITE_P(Db, ServerDatabaseTest,
                         ::testing::ValuesIn(testing::AvailableTestDatabases()),
                         testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::server_testing
