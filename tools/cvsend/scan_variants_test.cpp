#include "tools/cvsend/scan_variants.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

namespace corvane::cvsend {
namespace {

// The shape of a scanner's full scan, cut down: identity, adapters (one of
// them the NIC), the stamp, packages and files with abbreviated lines.
constexpr std::string_view kTemplate =
    "Device ID = {3D1219C7-0000-0000-0000-000000005EED}\n"
    "Device Name = vm\n"
    "Network - TCPIP - Host Name = vm\n"
    "Network - NIC Address = 02FC00000001\n"
    "Network - Adapter - (Name:ifb0) - MAC Address = 6A7164A168D3\n"
    "* - Type = ether\n"
    "Network - Adapter - (Name:eth0) - MAC Address = 02FC00000001 \n"
    "* - Type = ethernet\n"
    "Last Hardware Scan date = 1796000000\n"
    "_SOFTWARE = Packages and Files\n"
    "Software - Package - (Name:a) - Version = 1.0\n"
    "* - Architecture = all\n"
    "Software - File - (Path:/usr/bin/a) - ExeName = a\n"
    "* - FileSize = 10\n"
    "Software - Package - (Name:b) - Version = 2.0  \n"
    "* - Architecture = amd64\n"
    "Software - Package - (Name:c) - Version = 3.0\n"
    "Software - File - (Path:/usr/bin/c) - ExeName = c\n"
    "* - FileSize = 30\n"
    "Software - Package - (Name:d) - Version = 4.0\n";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(ScanVariantsTest, EveryDeviceGetsItsOwnIdentityAndAdapterAddresses) {
  const std::string scan = PersonaliseScan(kTemplate, 7, 42);
  const DeviceIdentity identity = IdentityFor(7, 42);
  EXPECT_EQ(identity.device_id, "{BE0C0007-0000-4000-8000-00000000002A}");
  EXPECT_EQ(identity.nic_address, "02070000002A");
  const std::vector<std::string> lines = Lines(scan);
  ASSERT_EQ(lines.size(), Lines(std::string(kTemplate)).size());
  EXPECT_EQ(lines[0], "Device ID = " + identity.device_id);
  EXPECT_EQ(lines[1], "Device Name = bench7-42");
  EXPECT_EQ(lines[2], "Network - TCPIP - Host Name = bench7-42");
  EXPECT_EQ(lines[3], "Network - NIC Address = 02070000002A");
  // The NIC's adapter keeps the NIC address; the other one gets its own.
  EXPECT_EQ(lines[4], "Network - Adapter - (Name:ifb0) - MAC Address = " + AdapterMacFor(7, 42, 1));
  EXPECT_EQ(lines[6], "Network - Adapter - (Name:eth0) - MAC Address = 02070000002A");
  EXPECT_EQ(lines[5], "* - Type = ether");
  EXPECT_EQ(scan.substr(scan.find("Last Hardware")),
            std::string(kTemplate.substr(kTemplate.find("Last Hardware"))));

  // The same seed and number give the same scan; any other gives other
  // addresses, across devices, series and adapters.
  EXPECT_EQ(PersonaliseScan(kTemplate, 7, 42), scan);
  std::set<std::string> addresses;
  for (uint32_t seed : {7u, 8u}) {
    for (uint32_t number : {0u, 1u, 255u, 256u, 70000u}) {
      for (int adapter : {0, 1, 2}) addresses.insert(AdapterMacFor(seed, number, adapter));
      EXPECT_NE(IdentityFor(seed, number).device_id, IdentityFor(seed, number + 1).device_id);
    }
  }
  EXPECT_EQ(addresses.size(), 2u * 5u * 3u);
}

TEST(ScanVariantsTest, DroppingTheFileSectionTakesTheAbbreviatedLinesAlong) {
  const std::string scan = DropFileSection(kTemplate);
  EXPECT_EQ(scan.find("Software - File"), std::string::npos);
  EXPECT_EQ(scan.find("FileSize"), std::string::npos);
  // The package lines and their own abbreviated lines stay.
  EXPECT_NE(scan.find("Software - Package - (Name:b) - Version = 2.0  \n* - Architecture = amd64\n"
                      "Software - Package - (Name:c)"),
            std::string::npos);
  EXPECT_EQ(Lines(scan).size(), Lines(std::string(kTemplate)).size() - 4);
  EXPECT_EQ(CountPackages(scan), 4);
  // CR LF line ends stay as they were.
  EXPECT_EQ(DropFileSection("A - B = 1\r\nSoftware - File - (Path:x) - ExeName = x\r\n"
                            "* - FileSize = 1\r\nC - D = 2\r\n"),
            "A - B = 1\r\nC - D = 2\r\n");
}

TEST(ScanVariantsTest, ChangedVersionsAreSpreadOverThePackagesAndRepeatable) {
  const std::string two = ChangePackageVersions(kTemplate, 2, "+x1");
  EXPECT_NE(two.find("(Name:a) - Version = 1.0\n"), std::string::npos);
  // Trailing blanks of a value would be trimmed off after the suffix.
  EXPECT_NE(two.find("(Name:b) - Version = 2.0+x1\n"), std::string::npos);
  EXPECT_NE(two.find("(Name:c) - Version = 3.0\n"), std::string::npos);
  EXPECT_NE(two.find("(Name:d) - Version = 4.0+x1\n"), std::string::npos);
  EXPECT_EQ(two.size(), kTemplate.size() + 2 * 3 - 2);
  EXPECT_EQ(ChangePackageVersions(kTemplate, 2, "+x1"), two);
  // More changes than packages change every package once.
  const std::string all = ChangePackageVersions(kTemplate, 10, "+y");
  EXPECT_NE(all.find("(Name:b) - Version = 2.0+y\n"), std::string::npos);
  EXPECT_NE(all.find("(Name:d) - Version = 4.0+y\n"), std::string::npos);
  EXPECT_EQ(all.find("+y+y"), std::string::npos);
}

TEST(ScanVariantsTest, ADeltaSyncsWithTheStoredStampAndCarriesOnlyTheChangedPackages) {
  const std::string full = PersonaliseScan(kTemplate, 1, 5);
  EXPECT_EQ(BuildDeltaScan(full, 2, "+d1"),
            "Device ID = {BE0C0001-0000-4000-8000-000000000005}\n"
            "Device Name = bench1-5\n"
            "Network - TCPIP - Host Name = bench1-5\n"
            "Network - NIC Address = 020100000005\n"
            "Last Sync Date = 1796000000\n"
            "Last Hardware Scan date = 1796000000\n"
            "_SOFTWARE = Packages and Files\n"
            "Software - Package - (Name:b) - Version = 2.0+d1\n"
            "Software - Package - (Name:d) - Version = 4.0+d1\n"
            "_DELETED\n"
            "_ENDDELETED\n");
  EXPECT_EQ(ScanValue(full, "Last Hardware Scan date ="), "1796000000");
  EXPECT_EQ(ScanValue(full, "Missing ="), "");
}

TEST(ScanVariantsTest, TheSampleFullScanKeepsItsPackagesWithoutItsFiles) {
  std::ifstream in(std::string(CORVANE_SAMPLE_SCANS_DIR) + "/debian12-full.scn", std::ios::binary);
  if (!in) GTEST_SKIP() << "sample scans not found";
  std::ostringstream text;
  text << in.rdbuf();
  const std::string sample = text.str();
  const std::string without = DropFileSection(sample);
  EXPECT_EQ(CountPackages(sample), 985);
  EXPECT_EQ(CountPackages(without), 985);
  EXPECT_EQ(without.find("Software - File"), std::string::npos);
  // No abbreviated line was left behind to continue a package instead.
  EXPECT_EQ(without.find("* - ExeName"), std::string::npos);
  EXPECT_EQ(without.find("* - FileSize"), std::string::npos);
  const std::string delta = BuildDeltaScan(PersonaliseScan(without, 1, 0), 10, "+d");
  EXPECT_EQ(Lines(delta).size(), 4u + 3u + 10u + 2u);
}

}  // namespace
}  // namespace corvane::cvsend
