// What the scanner found on a machine, as plain records: the collector
// fills it, the scan formatter turns it into scan text. Sizes are in the
// units the server's schema stores (MB for memory and disks, bytes for
// packages and files).

#ifndef CORVANE_SCANNER_INVENTORY_H_
#define CORVANE_SCANNER_INVENTORY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::scanner {

struct NetworkAdapter {
  std::string name;
  std::string mac;  // upper-case hexadecimal without separators
  std::string type;
  std::string status;  // "Up" or "Down"
  std::optional<int64_t> mtu;
  std::string ipv4;  // the first address
  std::string ipv6;  // the first address
};

struct Disk {
  std::string name;
  int64_t size_mb = 0;
  std::string type;  // "disk" or "removable"
  std::string model;
};

struct LogicalDrive {
  std::string mount_point;
  std::string file_system;
  std::string volume;
  std::optional<int64_t> total_mb;
  std::optional<int64_t> free_mb;
};

struct LocalAccount {
  std::string name;
  std::string id;
  std::string full_name;
  std::string home;
  std::string shell;
  std::string members;  // groups: comma-separated
};

struct Package {
  std::string name;
  std::string version;
  std::string architecture;
  std::optional<int64_t> size_bytes;
  std::string source;  // the packaging system: "deb", "rpm"
  std::string description;
};

struct SoftwareFile {
  std::string path;
  int64_t size = 0;
  std::string package;  // the owning package; empty when none owns it
  std::string version;  // the owning package's version
  std::string vendor;
};

// A configuration file the administrator asked for, as read.
struct ConfigFile {
  std::string path;
  int64_t time = 0;  // modification time, seconds since 1970
  std::string contents;
};

struct Inventory {
  std::string device_id;
  std::string device_name;
  std::string host_name;
  std::string address;  // the primary adapter's IPv4 address
  std::string default_gateway;
  std::string dns_server;
  std::string nic_address;  // the primary adapter's MAC
  std::vector<NetworkAdapter> adapters;

  std::string os_name;
  std::string os_version;
  std::string os_description;
  std::string distribution_vendor;  // credited with its packages' files
  std::string architecture;
  std::string kernel_version;

  std::string processor_type;
  std::string processor_manufacturer;
  int processor_count = 0;
  int cores = 0;
  int logical_processors = 0;

  int64_t memory_mb = 0;
  int64_t swap_mb = 0;

  std::string bios_manufacturer;
  std::string bios_version;
  std::string bios_date;
  std::string system_manufacturer;
  std::string system_model;
  std::string system_serial;
  std::string system_uuid;
  std::string board_manufacturer;
  std::string board_model;
  std::string board_version;
  std::string board_serial;

  std::vector<Disk> disks;
  std::vector<LogicalDrive> drives;
  std::vector<LocalAccount> users;
  std::vector<LocalAccount> groups;
  std::vector<Package> packages;
  std::vector<SoftwareFile> files;
  std::vector<ConfigFile> config_files;
  std::string bios_text;  // dmidecode's report, else the DMI fields the kernel shows

  int64_t scan_time = 0;  // seconds since 1970: "Last Hardware Scan date"
};

}  // namespace corvane::scanner

#endif  // CORVANE_SCANNER_INVENTORY_H_
