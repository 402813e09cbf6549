// The scanner on a fixture root that the test makes (a small machine's
// /proc, /sys, /etc and dpkg files), its scan applied through the inventory
// store: every value lands in its own table, none in UnmodeledData. One
// test runs on this machine and checks only counts against dpkg-query.

#include "scanner/collector.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

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

TEST(ScannerCollectorTest, TheListedConfigurationFilesAndTheBiosTextAreEmbedded) {
  testing::TempRoot temp;
  FixtureRoot machine(temp.path() + "/root");
  Inventory inventory = CollectInventory({machine.path(), kFixtureDeviceId, 1800000000});
  // Without a list: fstab, hosts and os-release, as read.
  ASSERT_EQ(inventory.config_files.size(), 3u);
  EXPECT_EQ(inventory.config_files[0].path, "/etc/fstab");
  EXPECT_EQ(inventory.config_files[1].contents,
            "127.0.0.1 localhost\n10.0.2.15 fixture.example.net fixture\n");
  EXPECT_GT(inventory.config_files[1].time, 0);
  EXPECT_NE(inventory.bios_text.find("BIOS Vendor: SeaBIOS\n"), std::string::npos);
  EXPECT_NE(inventory.bios_text.find("System Product Name: Standard PC (Q35 + ICH9, 2009)\n"),
            std::string::npos);

  // The administrator's list: a missing file, a directory and a binary
  // one are left out.
  machine.Write("/etc/corvane-scanner/files",
                "# ours\n/etc/hosts\n/etc/missing\n/etc\n/etc/binary\n/etc/app.conf\n");
  machine.Write("/etc/binary", std::string("a\0b", 3));
  machine.Write("/etc/app.conf", "key = value\n");
  inventory = CollectInventory({machine.path(), kFixtureDeviceId, 1800000000});
  ASSERT_EQ(inventory.config_files.size(), 2u);
  EXPECT_EQ(inventory.config_files[0].path, "/etc/hosts");
  EXPECT_EQ(inventory.config_files[1].path, "/etc/app.conf");
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

// The lines a shell command prints.
std::vector<std::string> OutputLines(const std::string& command) {
  std::vector<std::string> lines;
  std::FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return lines;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    std::string line(buffer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    lines.push_back(line);
  }
  ::pclose(pipe);
  return lines;
}

TEST(ScannerCollectorTest, ThisMachinesPackagesAndUsrBinAreAllInTheScan) {
  const std::vector<std::string> listed = OutputLines("dpkg-query -W");
  if (listed.empty()) GTEST_SKIP() << "no dpkg-query here";
  const Inventory inventory = CollectInventory({"/", kFixtureDeviceId, 0});
  EXPECT_EQ(inventory.packages.size(), listed.size());
  EXPECT_FALSE(inventory.host_name.empty());
  // Every executable of /usr/bin, links followed, as find sees them.
  std::vector<std::string> executables =
      OutputLines("find -L /usr/bin -mindepth 1 -maxdepth 1 -type f -perm /111");
  std::sort(executables.begin(), executables.end());
  std::vector<std::string> scanned;
  for (const SoftwareFile& file : inventory.files) {
    if (file.path.starts_with("/usr/bin/")) scanned.push_back(file.path);
  }
  std::sort(scanned.begin(), scanned.end());
  EXPECT_FALSE(scanned.empty());
  EXPECT_EQ(scanned, executables);
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
