// A small machine's /proc, /sys, /etc and dpkg files, written under a
// directory of the test's, for the scanner to read with its root set
// there: two network adapters, one disk, two users, two installed packages
// (coreutils 9.1-1 and tool 2.0) and one removed, five executables, two
// configuration files and the DMI fields of a QEMU machine. Tests change
// it with Write and Executable.

#ifndef CORVANE_SCANNER_TESTING_FIXTURE_ROOT_H_
#define CORVANE_SCANNER_TESTING_FIXTURE_ROOT_H_

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace corvane::scanner_testing {

inline constexpr char kFixtureDeviceId[] = "{0B5E4C1D-0000-4000-8000-00000000F1C5}";

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
    Write("/etc/fstab", "# fixture\n/dev/sda1 / ext4 defaults 0 1\n");
    Write("/etc/hosts", "127.0.0.1 localhost\n10.0.2.15 fixture.example.net fixture\n");
  }

  void Write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path_ + path).parent_path());
    std::FILE* file = std::fopen((path_ + path).c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
  }
  void Executable(const std::string& path, size_t size) {
    Write(path, std::string(size, 'x'));
    ::chmod((path_ + path).c_str(), 0755);
  }

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace corvane::scanner_testing

#endif  // CORVANE_SCANNER_TESTING_FIXTURE_ROOT_H_
