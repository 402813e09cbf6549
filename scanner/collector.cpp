#include "scanner/collector.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <unordered_map>

#include "platform/files.h"
#include "scanner/system_files.h"

namespace corvane::scanner {
namespace {

namespace fs = std::filesystem;

constexpr int kOptDepth = 4;

class Root {
 public:
  explicit Root(std::string root) : root_(root == "/" ? std::string() : std::move(root)) {
    while (!root_.empty() && root_.back() == '/') root_.pop_back();
  }
  bool is_machine() const { return root_.empty(); }
  std::string Path(std::string_view path) const { return root_ + std::string(path); }

  std::optional<std::string> Read(std::string_view path) const {
    return platform::ReadWholeFile(Path(path));
  }
  std::string ReadOr(std::string_view path, std::string_view fallback = {}) const {
    return Read(path).value_or(std::string(fallback));
  }
  std::string Line(std::string_view path) const { return TrimmedLine(ReadOr(path)); }
  std::vector<std::string> List(std::string_view path) const {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(Path(path), error), end; !error && it != end;
         it.increment(error)) {
      names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string root_;
};

// The standard output of a fixed command line (no text from outside goes
// into it), nullopt unless the program exists and exits 0.
std::optional<std::string> OutputOf(const char* program, const std::string& command_line) {
  if (::access(program, X_OK) != 0) return std::nullopt;
  FILE* pipe = ::popen((command_line + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  char buffer[8192];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    output.append(buffer, got);
  }
  const int status = ::pclose(pipe);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return output;
}

std::string MacOf(const std::string& address) {
  std::string mac;
  for (char c : address) {
    if (c == ':') continue;
    mac += (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  // Interfaces without a hardware address (tunnels) report zeros.
  return mac.find_first_not_of('0') == std::string::npos ? std::string() : mac;
}

std::string AdapterType(const std::string& arp_type) {
  if (arp_type == "1") return "ether";
  if (arp_type == "772") return "loopback";
  if (arp_type == "65534") return "none";
  if (arp_type == "776") return "sit";
  if (arp_type == "778") return "gre";
  if (arp_type == "32") return "infiniband";
  return arp_type;
}

// The first IPv4 address of each interface, from the kernel (machine only).
std::map<std::string, std::string> Ipv4Addresses() {
  std::map<std::string, std::string> addresses;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return addresses;
  for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr) {
      addresses.emplace(entry->ifa_name, text);
    }
  }
  freeifaddrs(list);
  return addresses;
}

void CollectNetwork(const Root& root, Inventory& inventory) {
  inventory.host_name = root.Line("/proc/sys/kernel/hostname");
  if (inventory.host_name.empty()) inventory.host_name = root.Line("/etc/hostname");
  inventory.device_name = inventory.host_name.substr(0, inventory.host_name.find('.'));
  const DefaultRoute route = ParseDefaultRoute(root.ReadOr("/proc/net/route"));
  inventory.default_gateway = route.gateway;
  const std::vector<std::string> servers = ParseNameServers(root.ReadOr("/etc/resolv.conf"));
  if (!servers.empty()) inventory.dns_server = servers.front();

  const std::map<std::string, std::string> ipv4 =
      root.is_machine() ? Ipv4Addresses() : std::map<std::string, std::string>();
  std::map<std::string, std::string> ipv6;
  for (const Ipv6Address& address : ParseIfInet6(root.ReadOr("/proc/net/if_inet6"))) {
    ipv6.emplace(address.interface, address.address);
  }
  for (const std::string& name : root.List("/sys/class/net")) {
    const std::string base = "/sys/class/net/" + name + "/";
    NetworkAdapter adapter;
    adapter.name = name;
    adapter.mac = MacOf(root.Line(base + "address"));
    adapter.type = AdapterType(root.Line(base + "type"));
    // Loopback and some virtual interfaces report "unknown": the
    // interface's IFF_UP flag tells then.
    const std::string state = root.Line(base + "operstate");
    const int64_t flags = std::strtoll(root.Line(base + "flags").c_str(), nullptr, 0);
    adapter.status = state == "up" || (state == "unknown" && (flags & IFF_UP) != 0) ? "Up" : "Down";
    adapter.mtu = ParseInteger(root.Line(base + "mtu"));
    if (auto found = ipv4.find(name); found != ipv4.end()) adapter.ipv4 = found->second;
    if (auto found = ipv6.find(name); found != ipv6.end()) adapter.ipv6 = found->second;
    inventory.adapters.push_back(std::move(adapter));
  }
  // The primary adapter: the default route's, else the first with an
  // address that is no loopback.
  const NetworkAdapter* chosen = nullptr;
  for (const NetworkAdapter& adapter : inventory.adapters) {
    if (adapter.name == route.interface) chosen = &adapter;
  }
  for (const NetworkAdapter& adapter : inventory.adapters) {
    if (chosen == nullptr && adapter.type != "loopback" && !adapter.mac.empty()) chosen = &adapter;
  }
  if (chosen != nullptr) {
    inventory.nic_address = chosen->mac;
    inventory.address = chosen->ipv4;
  }
}

void CollectSystem(const Root& root, Inventory& inventory) {
  std::map<std::string, std::string> release = ParseOsRelease(root.ReadOr("/etc/os-release"));
  if (release.empty()) release = ParseOsRelease(root.ReadOr("/usr/lib/os-release"));
  const std::string name = release["NAME"];
  // The vendor the software files are credited to: "Debian" of
  // "Debian GNU/Linux".
  inventory.distribution_vendor = name.substr(0, name.find(' '));
  inventory.os_version = release["VERSION_ID"];
  inventory.os_name = inventory.os_version.empty() ? name : name + " " + inventory.os_version;
  inventory.os_description = release["PRETTY_NAME"];
  inventory.kernel_version = root.Line("/proc/sys/kernel/osrelease");
  if (root.is_machine()) {
    utsname system{};
    if (uname(&system) == 0) inventory.architecture = system.machine;
  } else {
    inventory.architecture = root.Line("/proc/sys/kernel/arch");
  }

  const CpuInfo cpu = ParseCpuInfo(root.ReadOr("/proc/cpuinfo"));
  inventory.processor_type = cpu.model;
  inventory.processor_manufacturer = cpu.manufacturer;
  inventory.processor_count = cpu.sockets;
  inventory.cores = cpu.cores;
  inventory.logical_processors = cpu.logical_processors;
  const MemInfo memory = ParseMemInfo(root.ReadOr("/proc/meminfo"));
  inventory.memory_mb = memory.total_kib / 1024;
  inventory.swap_mb = memory.swap_kib / 1024;

  const std::string dmi = "/sys/class/dmi/id/";
  inventory.bios_manufacturer = root.Line(dmi + "bios_vendor");
  inventory.bios_version = root.Line(dmi + "bios_version");
  inventory.bios_date = root.Line(dmi + "bios_date");
  inventory.system_manufacturer = root.Line(dmi + "sys_vendor");
  inventory.system_model = root.Line(dmi + "product_name");
  // Readable by root only; an ordinary user's scan goes without them.
  inventory.system_serial = root.Line(dmi + "product_serial");
  inventory.system_uuid = root.Line(dmi + "product_uuid");
  inventory.board_manufacturer = root.Line(dmi + "board_vendor");
  inventory.board_model = root.Line(dmi + "board_name");
  inventory.board_version = root.Line(dmi + "board_version");
  inventory.board_serial = root.Line(dmi + "board_serial");
}

// dmidecode's report when it can read the firmware tables (root only),
// else the DMI fields the kernel shows.
std::string BiosText(const Root& root) {
  if (root.is_machine()) {
    std::optional<std::string> report = OutputOf("/usr/sbin/dmidecode", "/usr/sbin/dmidecode");
    if (report && !report->empty()) return *report;
  }
  static const std::pair<const char*, const char*> kFields[] = {
      {"bios_vendor", "BIOS Vendor"},          {"bios_version", "BIOS Version"},
      {"bios_date", "BIOS Release Date"},      {"bios_release", "BIOS Revision"},
      {"sys_vendor", "System Manufacturer"},   {"product_name", "System Product Name"},
      {"product_version", "System Version"},   {"product_serial", "System Serial Number"},
      {"product_uuid", "System UUID"},         {"board_vendor", "Board Manufacturer"},
      {"board_name", "Board Product Name"},    {"board_version", "Board Version"},
      {"board_serial", "Board Serial Number"}, {"chassis_vendor", "Chassis Manufacturer"},
      {"chassis_type", "Chassis Type"},        {"chassis_serial", "Chassis Serial Number"}};
  std::string text;
  for (const auto& [file, label] : kFields) {
    const std::string value = root.Line(std::string("/sys/class/dmi/id/") + file);
    if (!value.empty()) text += std::string(label) + ": " + value + "\n";
  }
  return text;
}

void CollectConfigFiles(const Root& root, Inventory& inventory) {
  std::optional<std::string> list = root.Read(kConfigFileList);
  const std::vector<std::string> paths = list ? ParseConfigFileList(*list) : kDefaultConfigFiles;
  for (const std::string& path : paths) {
    struct stat info {};
    if (::stat(root.Path(path).c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > kMaxConfigFileSize) {
      continue;
    }
    std::optional<std::string> contents = root.Read(path);
    if (!contents || contents->find('\0') != std::string::npos) continue;
    inventory.config_files.push_back({path, static_cast<int64_t>(info.st_mtime), *contents});
  }
  inventory.bios_text = BiosText(root);
}

void CollectStorage(const Root& root, Inventory& inventory) {
  for (const std::string& name : root.List("/sys/block")) {
    if (name.starts_with("loop") || name.starts_with("ram")) continue;
    const std::string base = "/sys/block/" + name + "/";
    Disk disk;
    disk.name = name;
    disk.size_mb = ParseInteger(root.Line(base + "size")).value_or(0) * 512 / (1024 * 1024);
    disk.type = root.Line(base + "removable") == "1" ? "removable" : "disk";
    disk.model = root.Line(base + "device/model");
    inventory.disks.push_back(std::move(disk));
  }
  for (const Mount& mount : ParseMounts(root.ReadOr("/proc/mounts"))) {
    LogicalDrive drive;
    drive.mount_point = mount.mount_point;
    drive.file_system = mount.file_system;
    drive.volume = mount.device;
    struct statvfs sizes {};
    if (statvfs(root.Path(mount.mount_point).c_str(), &sizes) == 0) {
      const int64_t unit = static_cast<int64_t>(sizes.f_frsize);
      drive.total_mb = static_cast<int64_t>(sizes.f_blocks) * unit / (1024 * 1024);
      drive.free_mb = static_cast<int64_t>(sizes.f_bavail) * unit / (1024 * 1024);
    }
    inventory.drives.push_back(std::move(drive));
  }
}

void CollectAccounts(const Root& root, Inventory& inventory) {
  for (const Account& account : ParsePasswd(root.ReadOr("/etc/passwd"))) {
    inventory.users.push_back(
        {account.name, account.id, account.full_name, account.home, account.shell, {}});
  }
  for (const Account& account : ParseGroup(root.ReadOr("/etc/group"))) {
    std::string members;
    for (const std::string& member : account.members) {
      members += (members.empty() ? "" : ",") + member;
    }
    inventory.groups.push_back({account.name, account.id, {}, {}, {}, members});
  }
}

// Executables of a directory: regular files with an execute bit (links
// followed), /opt searched `depth` levels down.
void ListExecutables(const Root& root, const std::string& directory, int depth,
                     std::vector<std::pair<std::string, int64_t>>& found) {
  for (const std::string& name : root.List(directory)) {
    const std::string path = directory + "/" + name;
    struct stat info {};
    if (::stat(root.Path(path).c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      if (depth > 0) ListExecutables(root, path, depth - 1, found);
      continue;
    }
    if (S_ISREG(info.st_mode) && (info.st_mode & 0111) != 0) {
      found.emplace_back(path, static_cast<int64_t>(info.st_size));
    }
  }
}

// True for a path under one of the executable directories, in its /usr
// form or (merged /usr, as dpkg lists it) without the /usr.
bool InExecutableDirectory(std::string_view path) {
  for (const std::string& directory : kExecutableDirectories) {
    std::string_view base = directory;
    for (int form = 0; form < 2; ++form) {
      if (path.size() > base.size() && path.starts_with(base) && path[base.size()] == '/') {
        return true;
      }
      if (!base.starts_with("/usr/")) break;
      base.remove_prefix(4);
    }
  }
  return false;
}

void CollectSoftware(const Root& root, Inventory& inventory) {
  std::unordered_map<std::string, const DpkgPackage*> by_name;
  const std::vector<DpkgPackage> installed = ParseDpkgStatus(root.ReadOr("/var/lib/dpkg/status"));
  for (const DpkgPackage& package : installed) {
    by_name.emplace(package.name, &package);
    Package entry;
    entry.name = package.name;
    entry.version = package.version;
    entry.architecture = package.architecture;
    if (package.installed_size_kib) entry.size_bytes = *package.installed_size_kib * 1024;
    entry.source = "deb";
    entry.description = package.description;
    inventory.packages.push_back(std::move(entry));
  }

  // rpm's packages where rpm is installed; a name dpkg has already given
  // keeps dpkg's record (the scan's instance key is the name alone).
  if (root.is_machine()) {
    std::optional<std::string> query =
        OutputOf("/usr/bin/rpm",
                 "/usr/bin/rpm -qa --qf "
                 "'%{NAME}\\t%{VERSION}-%{RELEASE}\\t%{ARCH}\\t%{SIZE}\\t%{SUMMARY}\\n'");
    for (const RpmPackage& package : ParseRpmQuery(query.value_or(""))) {
      if (by_name.contains(package.name)) continue;
      inventory.packages.push_back({package.name, package.version, package.architecture,
                                    package.size_bytes, "rpm", package.summary});
    }
  }

  // Which package owns which path. With merged /usr, dpkg lists /bin/ls for
  // the file at /usr/bin/ls.
  std::unordered_map<std::string, std::string> owner;
  for (const std::string& list : root.List("/var/lib/dpkg/info")) {
    const std::string package = PackageOfListFile(list);
    if (package.empty()) continue;
    for (const std::string& path : ParseDpkgFileList(root.ReadOr("/var/lib/dpkg/info/" + list))) {
      // Only the paths that can be scanned executables: the lists name
      // every file of every package, and keeping them all was most of a
      // scan's time.
      if (InExecutableDirectory(path)) owner.emplace(path, package);
    }
  }
  auto owner_of = [&owner](const std::string& path) -> std::string {
    if (auto found = owner.find(path); found != owner.end()) return found->second;
    if (path.starts_with("/usr/")) {
      if (auto found = owner.find(path.substr(4)); found != owner.end()) return found->second;
    }
    return {};
  };

  std::vector<std::pair<std::string, int64_t>> executables;
  for (const std::string& directory : kExecutableDirectories) {
    ListExecutables(root, directory, directory == "/opt" ? kOptDepth : 0, executables);
  }
  for (const auto& [path, size] : executables) {
    SoftwareFile file;
    file.path = path;
    file.size = size;
    file.package = owner_of(path);
    if (auto package = by_name.find(file.package); package != by_name.end()) {
      file.version = package->second->version;
      file.vendor = inventory.distribution_vendor;
    }
    inventory.files.push_back(std::move(file));
  }
}

}  // namespace

Inventory CollectInventory(const CollectOptions& options) {
  const Root root(options.root);
  Inventory inventory;
  inventory.device_id = options.device_id;
  inventory.scan_time = options.scan_time;
  CollectNetwork(root, inventory);
  CollectSystem(root, inventory);
  CollectStorage(root, inventory);
  CollectAccounts(root, inventory);
  CollectSoftware(root, inventory);
  CollectConfigFiles(root, inventory);
  return inventory;
}

}  // namespace corvane::scanner
