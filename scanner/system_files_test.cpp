// The readers of system files on fixture texts as the kernel and dpkg write
// them, odd lines included.

#include "scanner/system_files.h"

#include <gtest/gtest.h>

namespace corvane::scanner {
namespace {

TEST(SystemFilesTest, OsReleaseTakesQuotedAndBareValues) {
  const auto values = ParseOsRelease(
      "# comment\n"
      "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
      "NAME='Debian GNU/Linux'\n"
      "VERSION_ID=\"12\"\n"
      "ID=debian\n"
      "HOME_URL=\"https://www.debian.org/\\\"x\\\"\"\n"
      "broken line\n"
      "=novalue\n");
  EXPECT_EQ(values.at("PRETTY_NAME"), "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(values.at("NAME"), "Debian GNU/Linux");
  EXPECT_EQ(values.at("VERSION_ID"), "12");
  EXPECT_EQ(values.at("ID"), "debian");
  EXPECT_EQ(values.at("HOME_URL"), "https://www.debian.org/\"x\"");
  EXPECT_EQ(values.size(), 5u);
}

TEST(SystemFilesTest, DpkgStatusListsOnlyInstalledPackagesWithTheirSynopsis) {
  const auto packages = ParseDpkgStatus(
      "Package: adduser\n"
      "Status: install ok installed\n"
      "Priority: important\n"
      "Installed-Size: 686\n"
      "Maintainer: Debian Adduser Developers <adduser@packages.debian.org>\n"
      "Architecture: all\n"
      "Version: 3.134\n"
      "Description: add and remove users and groups\n"
      " This package includes the 'adduser' and 'deluser' commands\n"
      " .\n"
      " Description: not a field\n"
      "\n"
      "Package: removed-one\n"
      "Status: deinstall ok config-files\n"
      "Version: 1.0\n"
      "\n"
      "Package: held\n"
      "Status: hold ok installed\n"
      "Version: 2:1.2-3\n"
      "Architecture: amd64\n"
      "Installed-Size: many\n");
  ASSERT_EQ(packages.size(), 2u);
  EXPECT_EQ(packages[0].name, "adduser");
  EXPECT_EQ(packages[0].version, "3.134");
  EXPECT_EQ(packages[0].architecture, "all");
  EXPECT_EQ(packages[0].installed_size_kib, 686);
  EXPECT_EQ(packages[0].description, "add and remove users and groups");
  EXPECT_EQ(packages[0].maintainer, "Debian Adduser Developers <adduser@packages.debian.org>");
  // The last stanza needs no blank line after it; a size that is no number
  // is left out rather than read as 0.
  EXPECT_EQ(packages[1].name, "held");
  EXPECT_EQ(packages[1].version, "2:1.2-3");
  EXPECT_FALSE(packages[1].installed_size_kib.has_value());
}

TEST(SystemFilesTest, DpkgFileListsNameTheirPackageAndPaths) {
  EXPECT_EQ(PackageOfListFile("libc6:amd64.list"), "libc6");
  EXPECT_EQ(PackageOfListFile("coreutils.list"), "coreutils");
  EXPECT_EQ(PackageOfListFile("coreutils.md5sums"), "");
  EXPECT_EQ(PackageOfListFile(".list"), "");
  EXPECT_EQ(ParseDpkgFileList("/.\n/usr\n/usr/bin/ls\nnot a path\n"),
            (std::vector<std::string>{"/.", "/usr", "/usr/bin/ls"}));
}

TEST(SystemFilesTest, CpuInfoCountsSocketsCoresAndThreads) {
  std::string two_sockets;
  for (int cpu = 0; cpu < 8; ++cpu) {
    two_sockets += "processor\t: " + std::to_string(cpu) +
                   "\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Xeon(R) CPU\n"
                   "physical id\t: " +
                   std::to_string(cpu / 4) + "\ncore id\t\t: " + std::to_string((cpu % 4) / 2) +
                   "\ncpu cores\t: 2\n\n";
  }
  const CpuInfo xeon = ParseCpuInfo(two_sockets);
  EXPECT_EQ(xeon.model, "Intel(R) Xeon(R) CPU");
  EXPECT_EQ(xeon.manufacturer, "Intel");
  EXPECT_EQ(xeon.logical_processors, 8);
  EXPECT_EQ(xeon.sockets, 2);
  EXPECT_EQ(xeon.cores, 4);
  // A virtual machine's file, or an ARM board's, tells less.
  const CpuInfo arm = ParseCpuInfo("processor\t: 0\nBogoMIPS\t: 48.00\n\nprocessor\t: 1\n");
  EXPECT_EQ(arm.logical_processors, 2);
  EXPECT_EQ(arm.cores, 2);
  EXPECT_EQ(arm.sockets, 1);
  EXPECT_EQ(ParseCpuInfo("vendor_id : AuthenticAMD\nprocessor : 0\n").manufacturer, "AMD");
}

TEST(SystemFilesTest, MemInfoReadsTotalsInKibibytes) {
  const MemInfo memory = ParseMemInfo(
      "MemTotal:       24683328 kB\nMemFree:         1193396 kB\nSwapTotal:       2097148 kB\n");
  EXPECT_EQ(memory.total_kib, 24683328);
  EXPECT_EQ(memory.swap_kib, 2097148);
}

TEST(SystemFilesTest, AccountsAndGroupsTakeTheirFieldsAndSkipBrokenLines) {
  const auto users = ParsePasswd(
      "root:x:0:0:root:/root:/bin/bash\n"
      "ann:x:1000:1000:Ann Example,Room 1,,:/home/ann:/bin/zsh\n"
      "broken:x:1\n"
      "#comment:x:1:1::/:/bin/sh\n");
  ASSERT_EQ(users.size(), 2u);
  EXPECT_EQ(users[1].name, "ann");
  EXPECT_EQ(users[1].id, "1000");
  EXPECT_EQ(users[1].full_name, "Ann Example");
  EXPECT_EQ(users[1].home, "/home/ann");
  EXPECT_EQ(users[1].shell, "/bin/zsh");
  const auto groups = ParseGroup("sudo:x:27:ann,bob\nusers:x:100:\nbad\n");
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].members, (std::vector<std::string>{"ann", "bob"}));
  EXPECT_TRUE(groups[1].members.empty());
  EXPECT_EQ(groups[1].id, "100");
}

TEST(SystemFilesTest, MountsKeepRealFileSystemsWithDecodedPaths) {
  const auto mounts = ParseMounts(
      "/dev/vda1 / ext4 rw,relatime 0 0\n"
      "proc /proc proc rw 0 0\n"
      "tmpfs /run tmpfs rw 0 0\n"
      "/dev/vdb1 /srv/my\\040data xfs rw 0 0\n"
      "/dev/vdc1 /srv/my\\040data btrfs rw 0 0\n"
      "short line\n");
  ASSERT_EQ(mounts.size(), 2u);
  EXPECT_EQ(mounts[0].mount_point, "/");
  EXPECT_EQ(mounts[0].device, "/dev/vda1");
  // Mounted over: the later mount is the one in use.
  EXPECT_EQ(mounts[1].mount_point, "/srv/my data");
  EXPECT_EQ(mounts[1].file_system, "btrfs");
}

TEST(SystemFilesTest, NetworkFilesGiveNameServersGatewayAndIpv6Addresses) {
  EXPECT_EQ(ParseNameServers("# x\nsearch example.net\nnameserver 10.0.0.53\n"
                             "nameserver\t2001:db8::53 # second\nnameservers 1.1.1.1\n"),
            (std::vector<std::string>{"10.0.0.53", "2001:db8::53"}));
  EXPECT_EQ(ParseDefaultRoute("Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n"
                              "eth0\t0002000A\t00000000\t0001\t0\t0\t0\t00FFFFFF\n"
                              "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\n")
                .gateway,
            "192.0.2.1");
  EXPECT_EQ(ParseDefaultRoute("Iface\tDestination\tGateway\n").gateway, "");
  const auto addresses = ParseIfInet6(
      "fe8000000000000000fc00fffe000001 02 40 20 80     eth0\n"
      "00000000000000000000000000000001 01 80 10 80       lo\n"
      "20010db8000000010000000000000000 02 40 00 80     eth0\n"
      "bad line\n");
  ASSERT_EQ(addresses.size(), 3u);
  EXPECT_EQ(addresses[0].interface, "eth0");
  EXPECT_EQ(addresses[0].address, "fe80::fc:ff:fe00:1");
  EXPECT_EQ(addresses[1].address, "::1");
  EXPECT_EQ(addresses[2].address, "2001:db8:0:1::");
  EXPECT_EQ(TrimmedLine("1500\n"), "1500");
}

TEST(SystemFilesTest, TheConfigurationFileListAndRpmsQueryAreRead) {
  EXPECT_EQ(ParseConfigFileList("# files to embed\n/etc/fstab\n\n  /etc/hosts  \r\n"
                                "relative/path\n/etc/with blank\n/etc/ssh/sshd_config\n"),
            (std::vector<std::string>{"/etc/fstab", "/etc/hosts", "/etc/ssh/sshd_config"}));
  const std::vector<RpmPackage> packages = ParseRpmQuery(
      "bash\t5.2.15-3.fc38\tx86_64\t8101285\tThe GNU Bourne Again shell\n"
      "gpg-pubkey\t8f-63\t(none)\t0\tgpg(Fedora) with\ttab\n"
      "short\tline\n");
  ASSERT_EQ(packages.size(), 2u);
  EXPECT_EQ(packages[0].name, "bash");
  EXPECT_EQ(packages[0].version, "5.2.15-3.fc38");
  EXPECT_EQ(packages[0].architecture, "x86_64");
  EXPECT_EQ(packages[0].size_bytes, 8101285);
  EXPECT_EQ(packages[0].summary, "The GNU Bourne Again shell");
  EXPECT_EQ(packages[1].architecture, "");
  EXPECT_EQ(packages[1].summary, "gpg(Fedora) with\ttab");  // the last field keeps its tabs
}

}  // namespace
}  // namespace corvane::scanner
