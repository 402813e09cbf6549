// The scanner on a fixture root that the test makes (a small machine's
// /proc, /sys, /etc and dpkg files), its scan applied through the inventory
// store: every value lands in its own table, none in UnmodeledData. One
// test runs on this machine and checks only counts against dpkg-query.

#include "scanner/collector.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "scanner/device_state.h"
#include "scanner/scan_format.h"
#include "scanner/testing/fixture_root.h"
#include "store/testing/store_harness.h"
#include "testsupport/temp_root.h"
#include "testsupport/test_databases.h"

namespace corvane::scanner {
namespace {

using scanner_testing::FixtureRoot;
using scanner_testing::kFixtureDeviceId;

namespace fs = std::filesystem;

TEST(ScannerCollectorTest, AFixtureMachineIsInventoriedFromItsOwnFiles) {
  testing::TempRoot temp;
  FixtureRoot machine(temp.path() + "/root");
  const Inventory inventory =
      CollectInventory({temp.path() + "/root", kFixtureDeviceId, 1800000000});
  EXPECT_EQ(inventory.host_name, "fixture.example.net");
  EXPECT_EQ(inventory.device_name, "fixture");
  EXPECT_EQ(inventory.nic_address, "525400123456");
  EXPECT_EQ(inventory.default_gateway, "10.0.2.1");
  EXPECT_EQ(inventory.dns_server, "10.0.2.53");
  ASSERT_EQ(inventory.adapters.size(), 2u);
  EXPECT_EQ(inventory.adapters[0].name, "ens3");
  EXPECT_EQ(inventory.adapters[0].ipv6, "fe80::42");
  EXPECT_EQ(inventory.adapters[1].type, "loopback");
  EXPECT_EQ(inventory.adapters[1].status, "Up");
  EXPECT_EQ(inventory.adapters[1].mac, "");
  EXPECT_EQ(inventory.os_name, "Debian GNU/Linux 12");
  EXPECT_EQ(inventory.architecture, "x86_64");
  EXPECT_EQ(inventory.cores, 2);
  EXPECT_EQ(inventory.memory_mb, 7859);  // whole MB, as the kernel counts KiB
  EXPECT_EQ(inventory.swap_mb, 1023);
  ASSERT_EQ(inventory.disks.size(), 1u);  // loop devices are no disks
  EXPECT_EQ(inventory.disks[0].size_mb, 20480);
  ASSERT_EQ(inventory.drives.size(), 1u);
  EXPECT_EQ(inventory.drives[0].volume, "/dev/sda1");
  ASSERT_EQ(inventory.packages.size(), 2u);
  EXPECT_EQ(inventory.packages[0].size_bytes, 18000 * 1024);
  // Executables only; merged /usr: dpkg's /bin/ls is /usr/bin/ls.
  ASSERT_EQ(inventory.files.size(), 5u);
  EXPECT_EQ(inventory.files[0].path, "/usr/bin/cat");
  EXPECT_EQ(inventory.files[0].package, "coreutils");
  EXPECT_EQ(inventory.files[1].path, "/usr/bin/ls");
  EXPECT_EQ(inventory.files[1].package, "coreutils");
  EXPECT_EQ(inventory.files[1].version, "9.1-1");
  EXPECT_EQ(inventory.files[1].vendor, "Debian");
  EXPECT_EQ(inventory.files[1].size, 1000);
  EXPECT_EQ(inventory.files[2].path, "/usr/sbin/tool");
  EXPECT_EQ(inventory.files[3].package, "");  // /usr/local/bin/mine
  EXPECT_EQ(inventory.files[4].path, "/opt/vendor/app/bin/app");
}

class ScannerStoreTest : public ::testing::TestWithParam<corvane::testing::TestDatabaseServer> {};

TEST_P(ScannerStoreTest, TheFixtureScanIsStoredWithNothingUnmodeled) {
  if (!GetParam().available()) GTEST_SKIP() << "no " << GetParam().name << " server";
  testing::TempRoot temp;
  FixtureRoot machine(temp.path() + "/root");
  const std::string scan = FormatFullScan(
      ScanContentsOf(CollectInventory({temp.path() + "/root", kFixtureDeviceId, 1800000000})));
  store::testing::StoreHarness harness(GetParam());
  const store::testing::ApplyResult applied = harness.Apply(scan);
  ASSERT_TRUE(applied.new_device);
  EXPECT_EQ(harness.Count("UnmodeledData"), 0);
  EXPECT_EQ(harness.Count("Computer", std::string("DeviceId = '") + kFixtureDeviceId + "'"), 1);
  EXPECT_EQ(harness.Count("AppSoftware"), 2);
  EXPECT_EQ(harness.Count("FileInfoInstance"), 5);
  EXPECT_EQ(harness.Count("NetworkAdapter"), 2);
  EXPECT_EQ(harness.Count("LocalUser"), 2);
  EXPECT_EQ(harness.Count("LocalGroup"), 2);
  EXPECT_EQ(harness.Count("DiskDrive"), 1);
  EXPECT_EQ(harness.Count("LogicalDrive"), 1);
  // fstab, hosts and os-release as contents blocks, and the BIOS text made
  // of the DMI fields.
  EXPECT_EQ(harness.Count("OSConfigFiles"), 3);
  EXPECT_EQ(harness.Count("BiosStrings"), 1);
  EXPECT_EQ(harness.Value("SELECT NICAddress FROM Computer").ToText(), "525400123456");
  EXPECT_EQ(harness.Value("SELECT Title FROM FileInfo WHERE FileName = 'ls'").ToText(),
            "coreutils");
  // The same machine again changes nothing but the stamps.
  EXPECT_EQ(harness.Apply(scan).statements.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Db, ScannerStoreTest,
                         ::testing::ValuesIn(corvane::testing::AvailableTestDatabases()),
                         corvane::testing::TestDatabaseName);

TEST(ScannerCollectorTest, ThisMachinesPackagesAreAllInTheScan) {
  std::FILE* query = ::popen("dpkg-query -W 2>/dev/null | wc -l", "r");
  ASSERT_NE(query, nullptr);
  int listed = 0;
  const bool read = std::fscanf(query, "%d", &listed) == 1;
  ::pclose(query);
  if (!read || listed == 0) GTEST_SKIP() << "no dpkg-query here";
  const Inventory inventory = CollectInventory({"/", kFixtureDeviceId, 0});
  EXPECT_EQ(static_cast<int>(inventory.packages.size()), listed);
  EXPECT_FALSE(inventory.files.empty());
  EXPECT_FALSE(inventory.host_name.empty());
}

TEST(ScannerStateTest, TheDeviceIdIsMadeOnceAndKept) {
  testing::TempRoot temp;
  std::string error;
  const std::string first = LoadOrCreateDeviceId(temp.path() + "/state/deeper", &error);
  ASSERT_EQ(first.size(), 38u) << error;
  EXPECT_EQ(first.front(), '{');
  EXPECT_EQ(first[15], '4');  // a random (version 4) UUID
  EXPECT_EQ(LoadOrCreateDeviceId(temp.path() + "/state/deeper", &error), first);
  EXPECT_NE(NewDeviceId(), first);
  // A state file that holds no device ID is replaced, not sent.
  std::FILE* file = std::fopen((temp.path() + "/state/deeper/device-id").c_str(), "wb");
  std::fputs("garbage\n", file);
  std::fclose(file);
  const std::string replaced = LoadOrCreateDeviceId(temp.path() + "/state/deeper", &error);
  EXPECT_EQ(replaced.size(), 38u);
  EXPECT_NE(replaced, first);
  // A state directory that cannot be made is an error with its reason.
  EXPECT_EQ(LoadOrCreateDeviceId("/proc/no-such-place", &error), "");
  EXPECT_NE(error.find("/proc/no-such-place"), std::string::npos) << error;
}

}  // namespace
}  // namespace corvane::scanner
