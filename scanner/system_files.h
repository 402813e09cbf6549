// The scanner's readers of the kernel's and the distribution's own files:
// pure functions, text in and records out, with no I/O (the collector reads
// the files). Each takes what it understands and passes over malformed
// lines, since a machine's files are the scanner's input and a scan must
// still come out of a machine with one odd line. Thread-safe.

#ifndef CORVANE_SCANNER_SYSTEM_FILES_H_
#define CORVANE_SCANNER_SYSTEM_FILES_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::scanner {

// /etc/os-release (or /usr/lib/os-release): KEY=value lines, values quoted
// with " or ' or bare, backslash escapes inside double quotes; comments and
// blank lines passed over.
std::map<std::string, std::string> ParseOsRelease(std::string_view text);

// One installed package of dpkg's status database.
struct DpkgPackage {
  std::string name;
  std::string version;
  std::string architecture;
  std::optional<int64_t> installed_size_kib;  // "Installed-Size"
  std::string description;                    // the synopsis: the first line
  std::string maintainer;
};

// /var/lib/dpkg/status: the stanzas whose Status says the package is
// installed ("install ok installed", "hold ok installed"), in file order.
std::vector<DpkgPackage> ParseDpkgStatus(std::string_view text);

// /var/lib/dpkg/info/<package>[:<arch>].list: the paths a package owns.
std::vector<std::string> ParseDpkgFileList(std::string_view text);
// The package name of a ".list" file name ("libc6:amd64.list" -> "libc6");
// empty when the name is not a list file.
std::string PackageOfListFile(std::string_view file_name);

struct CpuInfo {
  std::string model;         // "model name"
  std::string manufacturer;  // from "vendor_id"
  int logical_processors = 0;
  int cores = 0;    // physical cores over all sockets
  int sockets = 0;  // distinct "physical id"; 1 when none is given
};
// /proc/cpuinfo.
CpuInfo ParseCpuInfo(std::string_view text);

struct MemInfo {
  int64_t total_kib = 0;
  int64_t swap_kib = 0;
};
// /proc/meminfo.
MemInfo ParseMemInfo(std::string_view text);

struct Account {
  std::string name;
  std::string id;  // UID or GID as written
  std::string full_name;
  std::string home;
  std::string shell;
  std::vector<std::string> members;  // groups only
};
// /etc/passwd (name:x:uid:gid:gecos:home:shell) and /etc/group
// (name:x:gid:member,member).
std::vector<Account> ParsePasswd(std::string_view text);
std::vector<Account> ParseGroup(std::string_view text);

struct Mount {
  std::string device;
  std::string mount_point;
  std::string file_system;
};
// /proc/mounts (or /etc/mtab): the mounts of real file systems, octal
// escapes ("\040") decoded; kernel pseudo file systems (proc, sysfs,
// cgroup, tmpfs, overlay's lower layers and the like) left out.
std::vector<Mount> ParseMounts(std::string_view text);

// /etc/resolv.conf: the "nameserver" addresses in order.
std::vector<std::string> ParseNameServers(std::string_view text);

struct DefaultRoute {
  std::string interface;  // empty when there is no default route
  std::string gateway;    // dotted IPv4; empty when the route has none
};
// /proc/net/route: the default route (the first with a gateway).
DefaultRoute ParseDefaultRoute(std::string_view text);

struct Ipv6Address {
  std::string interface;
  std::string address;  // compressed form, "fe80::fc:ff:fe00:1"
};
// /proc/net/if_inet6.
std::vector<Ipv6Address> ParseIfInet6(std::string_view text);

// The scanner's list of configuration files to embed: one absolute path
// per line; blank lines and "#" comments are skipped, and so is a path with
// a blank in it (the server's deletion line for a file ends its path at the
// first blank).
std::vector<std::string> ParseConfigFileList(std::string_view text);

// One line per package of
//   rpm -qa --qf '%{NAME}\t%{VERSION}-%{RELEASE}\t%{ARCH}\t%{SIZE}\t%{SUMMARY}\n'
// with the size in bytes. Lines with fewer fields are skipped; "(none)"
// reads as empty.
struct RpmPackage {
  std::string name;
  std::string version;
  std::string architecture;
  std::optional<int64_t> size_bytes;
  std::string summary;
};
std::vector<RpmPackage> ParseRpmQuery(std::string_view text);

// A decimal number with nothing else but blanks around it.
std::optional<int64_t> ParseInteger(std::string_view text);

// The text of a one-line sysfs or procfs file: trailing blanks and line
// ends cut.
std::string TrimmedLine(std::string_view text);

}  // namespace corvane::scanner

#endif  // CORVANE_SCANNER_SYSTEM_FILES_H_
