// Per-device scan processing on every test database: scan files dropped into
// a storage directory, processed through a device processor opened on the
// default connection, and what ends up in the database, the directories,
// the device-ID lists and the event log.

#include "store/scan_processor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Common/Include/ascii_case.h"
#include "Common/Include/xtrace.h"
#include "db/error.h"
#include "db/schema_create.h"
#include "diag/catalogue.h"
#include "notifex/notifex.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "store/device_identity.h"
#include "store/testing/scan_processor_fixture.h"
#include "testsupport/syslog_capture.h"
#include "testsupport/temp_root.h"
#include "testsupport/test_databases.h"

namespace corvane::store {
namespace {

namespace fs = std::filesystem;
using corvane::testing::AvailableTestDatabases;
using corvane::testing::ReadFileOrEmpty;
using corvane::testing::ScratchDatabase;
using corvane::testing::TestDatabaseServer;
using ScanProcessorTest = ScanProcessorFixture;

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

std::vector<std::string> RegistryList(const char* name) {
  std::optional<platform::RegValue> value =
      platform::registry::GetValue(platform::RegRoot::kLocalMachine, service::kServerKey, name);
  return value ? value->strings : std::vector<std::string>();
}

class RecordingFollowUp : public MiniScanFollowUp {
 public:
  bool IsPxeBoot(std::string_view text) override {
    calls.push_back("pxe");
    return text.find("Network - Pxeboot = Yes") != std::string_view::npos;
  }
  bool InHoldingQueue(std::string_view) override {
    calls.push_back("queue");
    return false;
  }
  void StartCustomJob(std::string_view, int32_t computer_idn) override {
    calls.push_back("job " + std::to_string(computer_idn));
  }
  std::vector<std::string> calls;
};

TEST_P(ScanProcessorTest, ANewDeviceIsStoredAndTheSameScanAgainOnlyRestampsIt) {
  ScanProcessingSettings settings;
  settings.log_stats = true;
  settings.generate_sql = true;
  auto processor = Processor(settings);

  const ScanOutcome first = processor->ProcessScanFile(Drop("SCA1.scn", full_));
  EXPECT_EQ(first.code, kScanApplied) << processor->error_text();
  EXPECT_TRUE(first.stored);
  EXPECT_FALSE(InStorage("SCA1.scn"));
  EXPECT_TRUE(SetAside("SCA1.scn").empty());
  EXPECT_EQ(Count("Computer"), 1);
  EXPECT_EQ(Value("SELECT DeviceId FROM Computer").ToText(), kDeviceId);
  EXPECT_FALSE(Value("SELECT LastUpdInvSvr FROM Computer").is_null_like());
  const std::string& server = device_.metaschema()->server_name();
  EXPECT_EQ(Value("SELECT InventoryServer FROM Computer").ToText(), server);
  EXPECT_EQ(Count(TableOf("Computer.Software.Package", "Name")), 985);
  EXPECT_EQ(Memory(), "24105");
  EXPECT_NE(ReadFileOrEmpty(storage_ + "/dmsql/vm.txt").find("INSERT INTO "), std::string::npos);

  std::optional<std::string> started = syslog_.WaitFor("Event 4:");
  ASSERT_TRUE(started.has_value());
  EXPECT_NE(started->find(kDeviceId), std::string::npos) << *started;
  std::optional<std::string> done = syslog_.WaitFor("Event 5:");
  ASSERT_TRUE(done.has_value());
  EXPECT_NE(done->find("Display Name: vm"), std::string::npos) << *done;
  EXPECT_NE(done->find("Elapsed Time: 0:"), std::string::npos) << *done;

  const std::string before = Dump();
  const ScanOutcome again = processor->ProcessScanFile(Drop("SCA2.scn", full_));
  EXPECT_EQ(again.code, kScanApplied) << processor->error_text();
  EXPECT_FALSE(InStorage("SCA2.scn"));
  EXPECT_EQ(Dump(), before);
}

TEST_P(ScanProcessorTest, ADeltaTheDatabaseCannotPlaceIsRefusedUntilTheFullScan) {
  auto processor = Processor();
  // An unknown device that believes it was synchronised.
  for (const char* name : {"SCA1.scn", "SCA2.scn"}) {
    const ScanOutcome refused = processor->ProcessScanFile(Drop(name, delta_));
    EXPECT_EQ(refused.code, kScanOutOfSync);
    EXPECT_TRUE(refused.set_aside);
    EXPECT_FALSE(refused.stored);
    EXPECT_FALSE(InStorage(name));
    EXPECT_EQ(SetAside(name), delta_);
    EXPECT_TRUE(force_.Contains(kDeviceId));
    EXPECT_EQ(RegistryList(kForceFullScansValue), std::vector<std::string>{kDeviceId});
  }
  EXPECT_EQ(Count("Computer"), 0);
  std::optional<std::string> event = syslog_.WaitFor("Event 2391:");
  ASSERT_TRUE(event.has_value());
  EXPECT_NE(event->find(kDeviceId), std::string::npos) << *event;

  EXPECT_EQ(processor->ProcessScanFile(Drop("SCA3.scn", full_)).code, kScanApplied);
  EXPECT_FALSE(force_.Contains(kDeviceId));
  EXPECT_TRUE(RegistryList(kForceFullScansValue).empty());

  // The delta fits the stored full scan; the same delta again no longer does.
  EXPECT_EQ(processor->ProcessScanFile(Drop("SCA4.scn", delta_)).code, kScanApplied);
  EXPECT_EQ(Memory(), "32768");
  EXPECT_EQ(processor->ProcessScanFile(Drop("SCA5.scn", delta_)).code, kScanOutOfSync);
  EXPECT_EQ(RegistryList(kForceFullScansValue), std::vector<std::string>{kDeviceId});
  EXPECT_EQ(SetAside("SCA5.scn"), delta_);
}

TEST_P(ScanProcessorTest, AsManyHardwareChangesAsTheLimitMakeADuplicate) {
  const std::string changed =
      Replaced(Replaced(Replaced(full_, "Physical Memory = 24105", "Physical Memory = 65536"),
                        "Processor - Cores = 2", "Processor - Cores = 8"),
               "BIOS - Version = 1.16.3", "BIOS - Version = 2.0");
  ScanProcessingSettings settings;
  settings.hardware_changes_limit = 3;
  EXPECT_EQ(Processor(settings)->ProcessScanFile(Drop("SCA1.scn", full_)).code, kScanApplied);

  // Reported, but applied while duplicates are not handled.
  EXPECT_EQ(Processor(settings)->ProcessScanFile(Drop("SCA2.scn", changed)).code, kScanApplied);
  EXPECT_TRUE(syslog_.WaitFor("Event 2390:").has_value());
  EXPECT_EQ(Memory(), "65536");
  EXPECT_FALSE(bad_.Contains(kDeviceId));

  // Below the limit: no duplicate.
  settings.handle_duplicates = true;
  settings.hardware_changes_limit = 4;
  EXPECT_EQ(Processor(settings)->ProcessScanFile(Drop("SCA3.scn", full_)).code, kScanApplied);
  EXPECT_EQ(Memory(), "24105");
  EXPECT_FALSE(bad_.Contains(kDeviceId));

  settings.hardware_changes_limit = 3;
  auto processor = Processor(settings);
  const ScanOutcome duplicate = processor->ProcessScanFile(Drop("SCA4.scn", changed));
  EXPECT_EQ(duplicate.code, kScanNotApplied);
  EXPECT_TRUE(duplicate.set_aside);
  EXPECT_EQ(Memory(), "24105");
  EXPECT_EQ(SetAside("SCA4.scn"), changed);
  EXPECT_TRUE(bad_.Contains(kDeviceId));
  EXPECT_EQ(RegistryList(kBadDeviceIdsValue), std::vector<std::string>{kDeviceId});
  std::optional<std::string> event = syslog_.WaitFor("Event 2390:");
  ASSERT_TRUE(event.has_value());
  EXPECT_NE(event->find(kDeviceId), std::string::npos) << *event;
}

TEST_P(ScanProcessorTest, ScansThatCannotBeAppliedAreSetAsideAndProcessingGoesOn) {
  auto processor = Processor();
  const std::string anonymous = "Device Name = nobody\nMemory - Physical Memory = 1\n";
  ScanOutcome outcome = processor->ProcessScanFile(Drop("SCA1.scn", anonymous));
  EXPECT_EQ(outcome.code, kScanNotApplied);
  EXPECT_TRUE(outcome.set_aside);
  EXPECT_EQ(SetAside("SCA1.scn"), anonymous);
  EXPECT_FALSE(InStorage("SCA1.scn"));

  // Cut inside an embedded file: nothing of it, not even the new device row.
  const std::string cut = "Device ID = {CUT}\nMemory - Physical Memory = 1\n_BeginContents\n12\n";
  outcome = processor->ProcessScanFile(Drop("SCA2.scn", cut));
  EXPECT_EQ(outcome.code, kScanNotApplied);
  EXPECT_TRUE(outcome.set_aside);
  EXPECT_EQ(SetAside("SCA2.scn"), cut);
  EXPECT_EQ(Count("Computer"), 0);
  EXPECT_EQ(Count("Memory"), 0);

  // Opens but cannot be read: moved away so that it is never read again.
  fs::create_directories(storage_ + "/SCA3.scn/inside");
  outcome = processor->ProcessScanFile(storage_ + "/SCA3.scn");
  EXPECT_EQ(outcome.code, kScanUnreadable);
  EXPECT_FALSE(outcome.set_aside);
  EXPECT_FALSE(InStorage("SCA3.scn"));
  EXPECT_TRUE(fs::is_directory(storage_ + "/ErrorScan/SCA3.scn/inside"));
  EXPECT_NE(processor->error_text().find(storage_ + "/SCA3.scn"), std::string::npos);
}

TEST_P(ScanProcessorTest, AFullScanCutInsideAnEmbeddedFileLeavesTheDeviceAsItWas) {
  StartTrace();
  auto processor = Processor();
  ASSERT_EQ(processor->ProcessScanFile(Drop("SCA1.scn", full_)).code, kScanApplied);
  const std::string before = Dump();
  const int disks = Count(TableOf("Computer.Mass Storage.Disk", "Size"));
  const int groups = Count(TableOf("Computer.Users.Local Group", "GID"));
  ASSERT_GT(disks, 0);
  ASSERT_GT(groups, 0);

  // Every header is there, but the text stops before the declared size and
  // before "_EndContents": disks, users, groups, packages and files are cut.
  const size_t disk_lines = full_.find("Mass Storage - Disk");
  ASSERT_NE(disk_lines, std::string::npos);
  const std::string head =
      Replaced(full_.substr(0, disk_lines), "Physical Memory = 24105", "Physical Memory = 65536") +
      "_BeginContents\n500\n1796000000\nfstab\n/etc/\n/dev/vda / ext4\n";
  const ScanOutcome outcome = processor->ProcessScanFile(Drop("SCA2.scn", head));
  EXPECT_EQ(outcome.code, kScanNotApplied);
  EXPECT_TRUE(outcome.set_aside);
  EXPECT_FALSE(outcome.stored);
  EXPECT_FALSE(InStorage("SCA2.scn"));
  EXPECT_EQ(SetAside("SCA2.scn"), head);
  EXPECT_EQ(Dump(), before);
  EXPECT_EQ(Memory(), "24105");

  // A mini scan cut the same way is refused too.
  const std::string mini =
      "Device Name = vm\nNetwork - TCPIP - Host Name = vm\nNetwork - NIC Address = "
      "02FC00000001\nMemory - Physical Memory = 32768\n_BeginContents\n9\n0\nf\n/\nab\n";
  EXPECT_EQ(processor->ProcessMiniScanFile(Drop("IMS1.ims", mini), false), 0u);
  EXPECT_EQ(SetAside("IMS1.ims"), mini);
  EXPECT_EQ(Dump(), before);
  const std::string trace = TraceText();
  EXPECT_NE(trace.find("SCA2.scn not applied, kept in ErrorScan: The scan text ends inside"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("IMS1.ims not applied, kept in ErrorScan"), std::string::npos) << trace;

  // Closed, the same block is applied and the rest of the scan with it.
  const std::string closed = head + "_EndContents\n" + full_.substr(disk_lines);
  EXPECT_EQ(processor->ProcessScanFile(Drop("SCA3.scn", closed)).code, kScanApplied)
      << processor->error_text();
  EXPECT_EQ(Memory(), "65536");
  EXPECT_EQ(Count(TableOf("Computer.Mass Storage.Disk", "Size")), disks);
  EXPECT_EQ(Count(TableOf("Computer.Users.Local Group", "GID")), groups);
  EXPECT_EQ(Count(TableOf("Computer.Configuration Files.File", "File Size")), 1);
}

TEST_P(ScanProcessorTest, AnIdentityValueLongerThanItsColumnRefusesTheScan) {
  auto processor = Processor();
  // Two IDs that share their first 499 characters, all that a line lookup
  // sees: cut to fit, they would name one device.
  const std::string id(10000, 'd');
  for (const char* name : {"SCA1.scn", "SCA2.scn"}) {
    const std::string scan =
        "Device ID = " + id + name + "\nDevice Name = long\n" + "Memory - Physical Memory = 1\n";
    const ScanOutcome outcome = processor->ProcessScanFile(Drop(name, scan));
    EXPECT_EQ(outcome.code, kScanNotApplied);
    EXPECT_TRUE(outcome.set_aside);
    EXPECT_EQ(SetAside(name), scan);
  }
  EXPECT_EQ(Count("Computer"), 0);
  EXPECT_EQ(Count("Memory"), 0);
  std::optional<std::string> event = syslog_.WaitFor("Event 2392:");
  ASSERT_TRUE(event.has_value());
  EXPECT_NE(event->find("refused a scan of " + std::string(64, 'd') + "...: its Device ID is " +
                        std::to_string(id.size() + 8) +
                        " characters long, and the database holds at most 64 characters"),
            std::string::npos)
      << *event;

  // A device name one character too long, in characters of any width.
  const std::string name = "Device ID = {NAME}\nDevice Name = " + std::string(256, 'n') + "\n";
  EXPECT_EQ(processor->ProcessScanFile(Drop("SCA3.scn", name)).code, kScanNotApplied);
  event = syslog_.WaitFor("its Device Name is 256 characters long");
  ASSERT_TRUE(event.has_value());
  EXPECT_NE(event->find("refused a scan of {NAME}:"), std::string::npos) << *event;
  // 64 characters of the scanners' code page, 128 bytes once decoded: fits.
  const std::string wide(64, '\xE9');
  EXPECT_EQ(processor
                ->ProcessScanFile(Drop("SCA4.scn",
                                       "Device ID = {WIDE}\nType = x\n"
                                       "Network - NIC Address = " +
                                           wide + "\n"))
                .code,
            kScanApplied)
      << processor->error_text();

  // Mini scans are matched by these values: refused the same way.
  const std::string mini =
      "Device Name = m\nNetwork - NIC Address = " + std::string(65, 'A') + "\n";
  EXPECT_EQ(processor->ProcessMiniScanFile(Drop("IMS1.ims", mini), false), 0u);
  EXPECT_EQ(SetAside("IMS1.ims"), mini);
  EXPECT_TRUE(syslog_.WaitFor("its NIC Address is 65 characters long").has_value());
  EXPECT_EQ(Count("Computer"), 1);
}

TEST_P(ScanProcessorTest, OtherLongValuesAreCutToTheirColumnAtACharacterBoundary) {
  StartTrace();
  // 70 characters of the scanners' code page for a column of 64: decoded,
  // they are two and three bytes long ("\xE9" and "\x80": e acute, euro).
  std::string scanned, stored;
  for (int i = 0; i < 35; ++i) {
    scanned += "\xE9\x80";
    if (i < 32) stored += "\xC3\xA9\xE2\x82\xAC";
  }
  const std::string key(300, 'k');  // an adapter name for a column of 255
  // Cut at 32, it would end in a blank that its literal drops.
  const std::string status = std::string(31, 'u') + "  tail";
  const std::string scan = "Device ID = {CUT}\nType = " + scanned +
                           "\nNetwork - Adapter - (Name:" + key + ") - MTU = 9000\n" +
                           "Network - Adapter - (Name:" + key + "x) - Status = " + status + "\n";
  auto processor = Processor();
  ASSERT_EQ(processor->ProcessScanFile(Drop("SCA1.scn", scan)).code, kScanApplied)
      << processor->error_text();
  EXPECT_EQ(Value("SELECT Type FROM Computer").ToText(), stored);
  const std::string adapters = TableOf("Computer.Network.Adapter", "MTU");
  // Two names that differ only past the width are one instance.
  EXPECT_EQ(Count(adapters), 1);
  EXPECT_EQ(Value("SELECT Name FROM " + adapters).ToText(), key.substr(0, 255));
  EXPECT_EQ(Value("SELECT MTU FROM " + adapters).ToText(), "9000");
  EXPECT_EQ(Value("SELECT Status FROM " + adapters).ToText(), std::string(31, 'u'));

  // The cut values meet their stored selves: nothing changes, and nothing
  // but the device's update stamp is written.
  const std::string before = Dump();
  const uint64_t written = device_.connection()->statement_counts().rows_written;
  ASSERT_EQ(processor->ProcessScanFile(Drop("SCA2.scn", scan)).code, kScanApplied);
  EXPECT_EQ(Dump(), before);
  EXPECT_EQ(device_.connection()->statement_counts().rows_written - written, 1u);
  const std::string trace = TraceText();
  EXPECT_NE(trace.find("SCA2.scn applied to device {CUT}; 4 values cut to fit their columns"),
            std::string::npos)
      << trace;
}

TEST_P(ScanProcessorTest, AFailedScanIsDeletedOnlyOnceItsTextIsSaved) {
  const std::string groups = TableOf("Computer.Users.Local Group", "Name");
  connection_.Execute("DROP TABLE " + groups);
  auto processor = Processor();

  // "ErrorScan" cannot be made: the file must stay where it is.
  fs::remove_all(storage_ + "/ErrorScan");
  corvane::testing::WriteFile(storage_ + "/ErrorScan", "not a directory");
  ScanOutcome outcome = processor->ProcessScanFile(Drop("SCA1.scn", full_));
  EXPECT_NE(outcome.code, kScanApplied);
  EXPECT_NE(outcome.code, kScanOutOfSync);
  EXPECT_FALSE(outcome.set_aside);
  EXPECT_FALSE(outcome.stored);
  EXPECT_EQ(ReadFileOrEmpty(storage_ + "/SCA1.scn"), full_);
  EXPECT_EQ(Count("Computer"), 0);
  EXPECT_NE(processor->error_text().find(groups), std::string::npos) << processor->error_text();

  fs::remove(storage_ + "/ErrorScan");
  outcome = processor->ProcessScanFile(storage_ + "/SCA1.scn");
  EXPECT_NE(outcome.code, kScanApplied);
  EXPECT_FALSE(outcome.set_aside);
  EXPECT_FALSE(InStorage("SCA1.scn"));
  EXPECT_EQ(SetAside("SCA1.scn"), full_);
  EXPECT_EQ(Count("Computer"), 0);
}

TEST_P(ScanProcessorTest, ADeviceWithANewDeviceIdIsFoundByItsIdentity) {
  auto processor = Processor();
  ASSERT_EQ(processor->ProcessScanFile(Drop("SCA1.scn", full_)).code, kScanApplied);
  const std::string renamed = Replaced(full_, kDeviceId, "{RENAMED}");
  EXPECT_EQ(processor->ProcessScanFile(Drop("SCA2.scn", renamed)).code, kScanApplied);
  EXPECT_EQ(Count("Computer"), 1);
  EXPECT_EQ(Value("SELECT DeviceId FROM Computer").ToText(), "{RENAMED}");

  // Two devices with that identity: neither is guessed.
  connection_.Execute(
      "INSERT INTO Computer(DeviceId, HostName, NICAddress) VALUES('{CLONE}', 'vm', "
      "'02FC00000001')");
  const std::string third = Replaced(full_, kDeviceId, "{THIRD}");
  EXPECT_EQ(processor->ProcessScanFile(Drop("SCA3.scn", third)).code, kScanApplied);
  EXPECT_EQ(Count("Computer"), 3);
  EXPECT_EQ(Count("Computer", "DeviceId = '{RENAMED}'"), 1);
}

TEST_P(ScanProcessorTest, UnmanagedNodesGoWhenTheirDeviceSendsAFullScan) {
  auto node = [&](const std::string& name, const std::string& address) {
    connection_.Execute("INSERT INTO UNMANAGEDNODES(NODENAME, PHYSADDRESS) VALUES(" + name + ", " +
                        address + ")");
  };
  node("'vm'", "NULL");
  node("NULL", "'02FC00000001'");
  node("'other'", "'AABBCCDDEEFF'");
  node("''", "''");
  auto processor = Processor();
  ASSERT_EQ(processor->ProcessScanFile(Drop("SCA1.scn", full_)).code, kScanApplied);
  EXPECT_EQ(Count("UNMANAGEDNODES"), 2);
  EXPECT_EQ(Count("UNMANAGEDNODES", "NODENAME = 'other'"), 1);

  node("'vm'", "NULL");
  ASSERT_EQ(processor->ProcessScanFile(Drop("SCA2.scn", delta_)).code, kScanApplied);
  EXPECT_EQ(Count("UNMANAGEDNODES", "NODENAME = 'vm'"), 1);
  ASSERT_EQ(processor->ProcessScanFile(Drop("SCA3.scn", full_)).code, kScanApplied);
  EXPECT_EQ(Count("UNMANAGEDNODES", "NODENAME = 'vm'"), 0);
}

TEST_P(ScanProcessorTest, TextsFromTheNetworkReachSqlAndFileNamesOnlyAsData) {
  connection_.Execute(
      "INSERT INTO UNMANAGEDNODES(NODENAME, PHYSADDRESS) VALUES('bystander', 'BB')");
  const std::string id = "x'); DROP TABLE COMPUTER; --";
  const std::string scan = "Device ID = " + id +
                           "\nDevice Name = ../../evil\nNetwork - TCPIP - Host Name = h' OR "
                           "'1'='1\nNetwork - NIC Address = AA' OR ''='\n";
  ScanProcessingSettings settings;
  settings.generate_sql = true;
  auto processor = Processor(settings);
  EXPECT_EQ(processor->ProcessScanFile(Drop("SCA1.scn", scan)).code, kScanApplied)
      << processor->error_text();
  EXPECT_EQ(Value("SELECT DeviceId FROM Computer").ToText(), id);
  EXPECT_EQ(Value("SELECT HostName FROM Computer").ToText(), "h' OR '1'='1");
  EXPECT_EQ(Count("UNMANAGEDNODES"), 1);
  EXPECT_EQ(corvane::testing::FilesIn(storage_ + "/dmsql"),
            std::vector<std::string>{SqlCopyFileName("../../evil") + ".txt"});
  EXPECT_FALSE(fs::exists(root_.path() + "/evil.txt"));
}

TEST_P(ScanProcessorTest, MiniScansCreateOrAmendADeviceAndStartItsJob) {
  RecordingFollowUp follow_up;
  auto processor = Processor();
  processor->set_mini_scan_follow_up(&follow_up);
  const std::string unknown =
      "Device Name = pxe01\nNetwork - TCPIP - Host Name = pxe01\nNetwork - NIC Address = "
      "00AA00BB00CC\nNetwork - Pxeboot = Yes\n";
  EXPECT_NE(processor->ProcessMiniScanFile(Drop("IMS1.ims", unknown), true), 0u)
      << processor->error_text();
  EXPECT_FALSE(InStorage("IMS1.ims"));
  EXPECT_EQ(ReadFileOrEmpty(storage_ + "/Storage/IMS1.ims"), unknown);
  const std::string idn =
      Value("SELECT Computer_Idn FROM Computer WHERE DeviceId = 'Unassigned'").ToText();
  EXPECT_EQ(Value("SELECT NICAddress FROM Computer").ToText(), "00AA00BB00CC");
  EXPECT_EQ(follow_up.calls, (std::vector<std::string>{"pxe", "queue", "job " + idn}));

  // A known device takes the mini scan's values and keeps everything else.
  ASSERT_EQ(processor->ProcessScanFile(Drop("SCA1.scn", full_)).code, kScanApplied);
  follow_up.calls.clear();
  const std::string known =
      "Device Name = vm\nNetwork - TCPIP - Host Name = vm\nNetwork - NIC Address = "
      "02FC00000001\nMemory - Physical Memory = 32768\n";
  EXPECT_NE(processor->ProcessMiniScanFile(Drop("IMS2.ims", known), false), 0u);
  EXPECT_FALSE(InStorage("IMS2.ims"));
  EXPECT_EQ(Count("Computer"), 2);
  EXPECT_EQ(Memory(), "32768");
  EXPECT_EQ(Count(TableOf("Computer.Software.Package", "Name")), 985);
  EXPECT_EQ(Count(TableOf("Computer.Network.Adapter", "Name")), 3);
  EXPECT_EQ(Count(TableOf("Computer.OS", "Description"), "Description IS NOT NULL"), 1);
  EXPECT_EQ(follow_up.calls, std::vector<std::string>{"pxe"});
}

INSTANTIATE_TEST_SUITE_P(Db, ScanProcessorTest, ::testing::ValuesIn(AvailableTestDatabases()),
                         corvane::testing::TestDatabaseName);

TEST(ScanProcessingTextsTest, ElapsedTimeIsWholeMinutesAndSeconds) {
  EXPECT_EQ(ElapsedText(61900), "1:01");
  EXPECT_EQ(ElapsedText(59999), "0:59");
  EXPECT_EQ(ElapsedText(3600000), "60:00");
}

TEST(ScanProcessingTextsTest, OracleLeavesOutTheEmptyTextTests) {
  EXPECT_EQ(UnmanagedNodesDeleteSql(db::kDbmsOracle, "AA", "n'x", "h"),
            "DELETE FROM UNMANAGEDNODES WHERE (PHYSADDRESS IS NOT NULL AND PHYSADDRESS = 'AA') OR "
            "(NODENAME IS NOT NULL AND (NODENAME = 'n''x' OR NODENAME = 'h'))");
  EXPECT_EQ(UnmanagedNodesDeleteSql(db::kDbmsSqlServer, "AA", "n", "h"),
            "DELETE FROM UNMANAGEDNODES WHERE (PHYSADDRESS IS NOT NULL AND PHYSADDRESS <> '' AND "
            "PHYSADDRESS = 'AA') OR (NODENAME IS NOT NULL AND NODENAME <> '' AND (NODENAME = 'n' "
            "OR NODENAME = 'h'))");
}

TEST(ScanProcessingTextsTest, SqlCopyNamesStayInsideTheirDirectory) {
  EXPECT_EQ(SqlCopyFileName("../../etc/passwd"), ".._.._etc_passwd");
  EXPECT_EQ(SqlCopyFileName(".."), "_..");
  EXPECT_EQ(SqlCopyFileName("."), "_.");
  EXPECT_EQ(SqlCopyFileName(""), "_");
  EXPECT_EQ(SqlCopyFileName(std::string("a\0b\\c", 5)), "a_b_c");
  const std::string long_name = std::string(kMaxSqlCopyNameLength - 1, 'a') + "\xC3\xA9";
  EXPECT_EQ(SqlCopyFileName(long_name), std::string(kMaxSqlCopyNameLength - 1, 'a'));
  EXPECT_EQ(StorageRootOf("/srv/cvscan/old/cvscan/SCA1.scn"), "/srv/cvscan/old/cvscan/");
  EXPECT_EQ(StorageRootOf("/srv/scans/SCA1.scn"), "");
}

}  // namespace
}  // namespace corvane::store
