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
#include "store/testing/store_harness.h"
#include "testsupport/temp_root.h"
#include "testsupport/test_databases.h"

namespace corvane::scanner {
namespace {

namespace fs = std::filesystem;

constexpr char kDeviceId[] = "{0B5E4C1D-0000-4000-8000-00000000F1C5}";

class FixtureRoot {
 public:
  explicit FixtureRoot(const std::string& path) : path_(path) {
    Write("/proc/sys/kernel/hostname", "fixture.example.net\n");
    Write("/proc/sys/kernel/osrelease", "6.1.0-13-amd64\n");
    Write("/proc/sys/kernel/arch", "x86_64\n");
    Write("/proc/net/route",
          "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n"
          "ens3\t00000000\t0102000A\t0003\t0\t0\t0\t00000000\n");
    Write("/proc/net/if_inet6", "fe800000000000000000000000000042 02 40 20 80     ens3\n");
    Write("/etc/resolv.conf", "nameserver 10.0.2.53\n");
    Write("/sys/class/net/ens3/address", "52:54:00:12:34:56\n");
    Write("/sys/class/net/ens3/type", "1\n");
    Write("/sys/class/net/ens3/operstate", "up\n");
    Write("/sys/class/net/ens3/mtu", "1500\n");
    Write("/sys/class/net/lo/address", "00:00:00:00:00:00\n");
    Write("/sys/class/net/lo/type", "772\n");
    Write("/sys/class/net/lo/operstate", "unknown\n");
    Write("/sys/class/net/lo/flags", "0x9\n");
    Write("/sys/class/net/lo/mtu", "65536\n");
    Write("/etc/os-release",
          "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n"
          "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");
    Write("/proc/cpuinfo",
          "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Core(TM) i5\n"
          "physical id\t: 0\ncore id\t\t: 0\n\nprocessor\t: 1\nphysical id\t: 0\ncore id\t\t: 1\n");
    Write("/proc/meminfo", "MemTotal:        8048576 kB\nSwapTotal:       1048572 kB\n");
    Write("/sys/class/dmi/id/bios_vendor", "SeaBIOS\n");
    Write("/sys/class/dmi/id/bios_version", "1.16.2\n");
    Write("/sys/class/dmi/id/bios_date", "04/01/2014\n");
    Write("/sys/class/dmi/id/sys_vendor", "QEMU\n");
    Write("/sys/class/dmi/id/product_name", "Standard PC (Q35 + ICH9, 2009)\n");
    Write("/sys/class/dmi/id/board_vendor", "Example Boards\n");
    Write("/sys/block/sda/size", "41943040\n");
    Write("/sys/block/sda/removable", "0\n");
    Write("/sys/block/sda/device/model", "QEMU HARDDISK\n");
    Write("/sys/block/loop0/size", "100\n");
    Write("/proc/mounts", "/dev/sda1 / ext4 rw 0 0\nproc /proc proc rw 0 0\n");
    Write("/etc/passwd",
          "root:x:0:0:root:/root:/bin/bash\nann:x:1000:1000:Ann:/home/ann:/bin/sh\n");
    Write("/etc/group", "root:x:0:\nsudo:x:27:ann\n");
    Write("/var/lib/dpkg/status",
          "Package: coreutils\nStatus: install ok installed\nInstalled-Size: 18000\n"
          "Architecture: amd64\nVersion: 9.1-1\nDescription: GNU core utilities\n\n"
          "Package: gone\nStatus: deinstall ok config-files\nVersion: 1\n\n"
          "Package: tool\nStatus: install ok installed\nArchitecture: all\nVersion: 2.0\n"
          "Description: a tool\n");
    Write("/var/lib/dpkg/info/coreutils.list", "/.\n/bin\n/bin/ls\n/usr/bin/cat\n");
    Write("/var/lib/dpkg/info/tool.list", "/usr/sbin/tool\n");
    Executable("/usr/bin/ls", 1000);
    Executable("/usr/bin/cat", 200);
    Executable("/usr/sbin/tool", 30);
    Executable("/usr/local/bin/mine", 5);
    Executable("/opt/vendor/app/bin/app", 70);
    Write("/usr/bin/README", "not executable");
  }

  void Write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path_ + path).parent_path());
    std::FILE* file = std::fopen((path_ + path).c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
  }
  void Executable(const std::string& path, size_t size) {
    Write(path, std::string(size, 'x'));
    ::chmod((path_ + path).c_str(), 0755);
  }

 private:
  std::string path_;
};

TEST(ScannerCollectorTest, AFixtureMachineIsInventoriedFromItsOwnFiles) {
  testing::TempRoot temp;
  FixtureRoot machine(temp.path() + "/root");
  const Inventory inventory = CollectInventory({temp.path() + "/root", kDeviceId, 1800000000});
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
  const std::string scan =
      FormatFullScan(CollectInventory({temp.path() + "/root", kDeviceId, 1800000000}));
  store::testing::StoreHarness harness(GetParam());
  const store::testing::ApplyResult applied = harness.Apply(scan);
  ASSERT_TRUE(applied.new_device);
  EXPECT_EQ(harness.Count("UnmodeledData"), 0);
  EXPECT_EQ(harness.Count("Computer", std::string("DeviceId = '") + kDeviceId + "'"), 1);
  EXPECT_EQ(harness.Count("AppSoftware"), 2);
  EXPECT_EQ(harness.Count("FileInfoInstance"), 5);
  EXPECT_EQ(harness.Count("NetworkAdapter"), 2);
  EXPECT_EQ(harness.Count("LocalUser"), 2);
  EXPECT_EQ(harness.Count("LocalGroup"), 2);
  EXPECT_EQ(harness.Count("DiskDrive"), 1);
  EXPECT_EQ(harness.Count("LogicalDrive"), 1);
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
  const Inventory inventory = CollectInventory({"/", kDeviceId, 0});
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
