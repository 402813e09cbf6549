// Delta scans against the last scan sent, the state kept for them, and the
// scanners' code page. The delta's proof is the store: a full scan and then
// the delta must leave the database as the new full scan alone would.

#include "scanner/scan_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scanner/collector.h"
#include "scanner/device_state.h"
#include "scanner/scan_contents.h"
#include "scanner/testing/fixture_root.h"
#include "store/testing/store_harness.h"
#include "testsupport/temp_root.h"
#include "testsupport/test_databases.h"

namespace corvane::scanner {
namespace {

using scanner_testing::FixtureRoot;
using scanner_testing::kFixtureDeviceId;

// The lines of `text` between the first and the second marker given.
std::vector<std::string> LinesBetween(const std::string& text, const std::string& from,
                                      const std::string& to) {
  std::vector<std::string> lines;
  const size_t start = text.find(from);
  const size_t end = text.find(to, start);
  if (start == std::string::npos || end == std::string::npos) return {"<markers missing>"};
  size_t at = start + from.size();
  while (at < end) {
    const size_t line_end = text.find('\n', at);
    lines.push_back(text.substr(at, line_end - at));
    at = line_end + 1;
  }
  return lines;
}

// tool goes, coreutils is upgraded (and loses its size and description),
// newpkg arrives; hosts changes, fstab goes.
void ChangeTheFixture(FixtureRoot& machine) {
  machine.Write("/var/lib/dpkg/status",
                "Package: coreutils\nStatus: install ok installed\nArchitecture: amd64\n"
                "Version: 9.1-2\n\nPackage: newpkg\nStatus: install ok installed\n"
                "Version: 1.0\nDescription: new\n");
  machine.Write("/var/lib/dpkg/info/tool.list", "");
  machine.Write("/etc/hosts", "127.0.0.1 localhost\n");
  std::filesystem::remove(machine.path() + "/etc/fstab");
}

ScanContents Collect(const std::string& root, int64_t time) {
  return ScanContentsOf(CollectInventory({root, kFixtureDeviceId, time}));
}

TEST(ScannerDeltaTest, AnUnchangedMachineSendsOnlyItsIdentityAndStamps) {
  testing::TempRoot temp;
  FixtureRoot machine(temp.path() + "/root");
  const ScanContents first = Collect(machine.path(), 1800000000);
  const std::string delta = FormatDeltaScan(first, Collect(machine.path(), 1800086400));
  EXPECT_EQ(delta, std::string("Device ID = ") + kFixtureDeviceId +
                       "\nDevice Name = fixture\nLast Sync Date = 1800000000\n"
                       "Network - TCPIP - Host Name = fixture.example.net\n"
                       "Network - NIC Address = 525400123456\n"
                       "Last Hardware Scan date = 1800086400\n_SOFTWARE = Packages and Files\n"
                       "_DELETED\n_ENDDELETED\n");
}

TEST(ScannerDeltaTest, PackagesAddedRemovedAndUpgradedAreExactlyTheDelta) {
  testing::TempRoot temp;
  FixtureRoot machine(temp.path() + "/root");
  const ScanContents before = Collect(machine.path(), 1800000000);
  ChangeTheFixture(machine);
  const ScanContents after = Collect(machine.path(), 1800086400);
  const std::string delta = FormatDeltaScan(before, after);

  const std::vector<std::string> software =
      LinesBetween(delta, "_SOFTWARE = Packages and Files\n", "_BeginContents");
  EXPECT_EQ(software, (std::vector<std::string>{
                          "Software - Package - (Name:coreutils) - Version = 9.1-2",
                          "Software - Package - (Name:newpkg) - Version = 1.0",
                          "* - Source = deb",
                          "* - Description = new",
                          "Software - File - (Path:/usr/bin/cat) - Version = 9.1-2",
                          "Software - File - (Path:/usr/bin/ls) - Version = 9.1-2",
                      }));
  // The changed hosts file goes whole (its size counting CR LF line ends,
  // as the server will hold them); fstab is gone; tool's file lost its
  // package, so its package values are cleared, and so are coreutils'
  // size and description.
  EXPECT_NE(delta.find("_BeginContents\n21\n"), std::string::npos) << delta;
  EXPECT_NE(delta.find("hosts\n/etc/\n127.0.0.1 localhost\n_EndContents\n"), std::string::npos);
  const std::vector<std::string> deleted = LinesBetween(delta, "_DELETED\n", "_ENDDELETED");
  EXPECT_EQ(deleted, (std::vector<std::string>{
                         "Software - Package - (Name:coreutils) - Size = 18432000",
                         "Software - Package - (Name:coreutils) - Description = GNU core utilities",
                         "Software - Package - (Name:tool) - Name = tool",
                         "Software - File - (Path:/usr/sbin/tool) - Version = 2.0",
                         "Software - File - (Path:/usr/sbin/tool) - Vendor = Debian",
                         "Software - File - (Path:/usr/sbin/tool) - Title = tool",
                         "Cfg - /etc/fstab 42 " + std::to_string(before.files[0].time),
                     }));
}

TEST(ScannerDeltaTest, AnInstanceThatGainsValuesKeepsItsRow) {
  ScanContents before;
  before.device_id = kFixtureDeviceId;
  before.values = {{"Mass Storage - Disk - (Name:sdb)", "Name", "sdb", "Name", "sdb", false},
                   {"OS", "", "", "Kernel Version", "6.1", false}};
  before.files = {{"", 1, "BIOS 1\n", 8, Digest("BIOS 1\n")}};
  ScanContents after = before;
  after.values = {{"Mass Storage - Disk - (Name:sdb)", "Name", "sdb", "Model", "X", false}};
  after.files.clear();
  const std::vector<std::string> deleted =
      LinesBetween(FormatDeltaScan(before, after), "_DELETED\n", "_ENDDELETED");
  // The key attribute stood in for the disk's missing values then; it must
  // not delete the disk now. A value of a component without instances that
  // is gone is cleared, and the BIOS text's deletion ends in its size.
  EXPECT_EQ(deleted, (std::vector<std::string>{"OS - Kernel Version = 6.1", "Cfg - CVBIOS.TXT 8"}));
}

TEST(ScannerDeltaTest, TheStateReadsBackAsItWasAndABrokenOneAsNone) {
  testing::TempRoot temp;
  FixtureRoot machine(temp.path() + "/root");
  ScanContents scan = Collect(machine.path(), 1800000000);
  scan.values.push_back({"OS", "", "", "Description", "tabs\tkept in the last field", false});
  const std::string text = SerializeScanState(scan);
  std::optional<ScanContents> back = ParseScanState(text);
  ASSERT_TRUE(back.has_value());
  // A delta against the state read back is the delta against the scan.
  const ScanContents later = Collect(machine.path(), 1800000001);
  EXPECT_EQ(FormatDeltaScan(*back, later), FormatDeltaScan(scan, later));
  EXPECT_EQ(SerializeScanState(*back), text);

  EXPECT_FALSE(ParseScanState(text.substr(0, text.size() - 5)).has_value());  // cut short
  EXPECT_FALSE(ParseScanState("corvane-scanner-state 2\n" + text.substr(text.find('\n') + 1)));
  EXPECT_FALSE(ParseScanState(text + "what\tis this\n").has_value());
  EXPECT_FALSE(LoadLastSentScan(temp.path() + "/no-state").has_value());

  std::string error;
  ASSERT_TRUE(StoreLastSentScan(temp.path() + "/state", scan, &error)) << error;
  ASSERT_TRUE(LoadLastSentScan(temp.path() + "/state").has_value());
  EXPECT_EQ(SerializeScanState(*LoadLastSentScan(temp.path() + "/state")), text);
}

TEST(ScannerDeltaTest, TextIsWrittenInTheScannersCodePage) {
  EXPECT_EQ(ToScanCodePage("Zo\xC3\xAB \xE2\x82\xAC"
                           "5 \xE6\x97\xA5"),
            "Zo\xEB \x80"
            "5 ?");
  EXPECT_EQ(ToScanCodePage("bad \xC3 and \xED\xA0\x80 end"), "bad ? and ??? end");
  EXPECT_EQ(ToScanCodePage(std::string("a\tb\r\nc\0d", 8)), "a b  c d");
  EXPECT_EQ(ToScanCodePage("a\tb\r\nc", true), "a\tb\r\nc");
  EXPECT_EQ(ToScanCodePage("\xC3\xBF"), "?");  // 0xFF would vanish on the way
}

class ScannerDeltaStoreTest
    : public ::testing::TestWithParam<corvane::testing::TestDatabaseServer> {};

// Everything the store holds of the fixture device, row by row.
std::string Holdings(store::testing::StoreHarness& harness) {
  std::string out;
  for (const char* sql :
       {"SELECT Name, Version, Architecture, Description FROM AppSoftware ORDER BY Name",
        // The catalogue's titles and versions are shared and kept by its
        // first writer, so only the links are the device's own.
        "SELECT i.Path, f.FileName, f.FileSize FROM FileInfoInstance i "
        "LEFT JOIN FileInfo f ON f.FileInfo_Idn = i.FileInfo_Idn ORDER BY i.Path",
        "SELECT FilePath, FileSize FROM OSConfigFiles ORDER BY FilePath",
        "SELECT Name, Model FROM DiskDrive ORDER BY Name"}) {
    for (db::Recordset rows = harness.connection().Query(sql); !rows.AtEnd(); rows.Next()) {
      for (int i = 0; i < rows.FieldCount(); ++i) out += rows.Value(i).ToText() + "|";
      out += "\n";
    }
  }
  return out;
}

TEST_P(ScannerDeltaStoreTest, AFullScanAndItsDeltaStoreWhatTheNewFullScanWould) {
  if (!GetParam().available()) GTEST_SKIP() << "no " << GetParam().name << " server";
  testing::TempRoot temp;
  FixtureRoot machine(temp.path() + "/root");
  const ScanContents before = Collect(machine.path(), 1800000000);
  ChangeTheFixture(machine);
  machine.Write("/sys/block/sda/device/model", "OTHER DISK\n");
  const ScanContents after = Collect(machine.path(), 1800086400);

  store::testing::StoreHarness by_delta(GetParam());
  by_delta.Apply(FormatFullScan(before));
  by_delta.Apply(FormatDeltaScan(before, after));
  store::testing::StoreHarness by_full(GetParam());
  by_full.Apply(FormatFullScan(after));
  const std::string held = Holdings(by_delta);
  EXPECT_EQ(held, Holdings(by_full));
  EXPECT_NE(held.find("newpkg|1.0|"), std::string::npos) << held;
  EXPECT_EQ(held.find("\ntool|"), std::string::npos) << held;
  EXPECT_EQ(by_delta.Count("UnmodeledData"), 0);
}

INSTANTIATE_TEST_SUITE_P(Db, ScannerDeltaStoreTest,
                         ::testing::ValuesIn(corvane::testing::AvailableTestDatabases()),
                         corvane::testing::TestDatabaseName);

}  // namespace
}  // namespace corvane::scanner
