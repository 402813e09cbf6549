// The generated benchmark scans: the sample's hardware kept as it is, and
// every generated package stored as its own instance with all its
// attributes, so the benchmarks measure the scans they claim to.

#include "bench/generated_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>

#include "bench/bench_database.h"
#include "store/testing/store_harness.h"

namespace corvane::bench {
namespace {

constexpr char kHardware[] =
    "Device ID = {3D1219C7-0000-0000-0000-00000000BE0C}\n"
    "Device Name = bench\n"
    "OS - Name = Debian GNU/Linux 12\n"
    "Last Hardware Scan date = 1796000000\n";

TEST(GeneratedScanTest, HardwarePartEndsAtTheSoftwareSection) {
  const std::string scan = std::string(kHardware) +
                           "_SOFTWARE = Packages and Files\n"
                           "Software - Package - (Name:adduser) - Version = 3.134\n";
  EXPECT_EQ(HardwarePart(scan), std::string(kHardware) + "_SOFTWARE = Packages and Files\n");
  // A scan without software gets the marker, also after an unterminated line.
  EXPECT_EQ(HardwarePart("Device Name = bench"),
            "Device Name = bench\n_SOFTWARE = Packages and Files\n");
  // Only a line that starts with the marker begins the section.
  EXPECT_EQ(HardwarePart("Note - Text = _SOFTWARE\n"),
            "Note - Text = _SOFTWARE\n_SOFTWARE = Packages and Files\n");
}

TEST(GeneratedScanTest, PackagesAreDistinctInstancesOfFixedSize) {
  const std::string hardware = HardwarePart(kHardware);
  const std::string text = ScanWithPackages(hardware, 1000);
  ASSERT_EQ(text.substr(0, hardware.size()), hardware);
  std::istringstream lines(text.substr(hardware.size()));
  std::set<std::string> keys;
  size_t count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    if (line.starts_with("Software - Package - (Name:")) {
      keys.insert(line.substr(0, line.find(')')));
    } else {
      EXPECT_TRUE(line.starts_with("* - ")) << line;
    }
  }
  EXPECT_EQ(count, 1000 * kLinesPerPackage);
  EXPECT_EQ(keys.size(), 1000u);
  EXPECT_EQ(ScanWithPackages(hardware, 1000), text);
  EXPECT_EQ(ScanWithPackages(hardware, 0), hardware);
}

TEST(GeneratedScanTest, AppliedScanStoresEveryPackageAndAgainWritesNoPackage) {
  const std::string sample = store::testing::SampleScan("debian12-full.scn");
  if (sample.empty()) GTEST_SKIP() << "sample scans not found";
  const std::string scan = ScanWithPackages(HardwarePart(sample), 300);
  store::testing::StoreHarness harness(BenchDatabaseServer());
  std::optional<db::AttributeInfo> name =
      harness.metaschema().LookupAttribute("Computer.Software.Package", "Name");
  std::optional<db::AttributeInfo> size =
      harness.metaschema().LookupAttribute("Computer.Software.Package", "Size");
  ASSERT_TRUE(name && size);

  const store::testing::ApplyResult first = harness.Apply(scan);
  ASSERT_TRUE(first.new_device);
  EXPECT_EQ(harness.Count(name->table), 300);
  EXPECT_EQ(harness.Count(name->table, size->column + " IS NULL"), 0);
  EXPECT_EQ(harness.Count(name->table, name->column + " = 'generated-0000299'"), 1);

  const store::testing::ApplyResult again = harness.Apply(scan);
  EXPECT_FALSE(again.new_device);
  EXPECT_EQ(again.Touching(name->table), 0);
  EXPECT_EQ(harness.Count(name->table), 300);
}

}  // namespace
}  // namespace corvane::bench
