#include "scanner/scan_format.h"

#include <string_view>

namespace corvane::scanner {
namespace {

std::string Clean(std::string_view value) {
  std::string out(value);
  for (char& c : out) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  return out;
}

bool UsableKey(std::string_view key) {
  return !key.empty() && key.find(") - ") == std::string_view::npos &&
         key.find(" = ") == std::string_view::npos &&
         key.find_first_of("\r\n") == std::string_view::npos;
}

// Writes the lines of one component instance: the first line names the
// instance, the others continue it with "* - ".
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  // A value of a component without instances ("OS - Name = ...").
  void Value(std::string_view component, std::string_view attribute, std::string_view value) {
    if (value.empty()) return;
    out_ += component;
    out_ += " - ";
    Line(attribute, value);
  }
  void Value(std::string_view component, std::string_view attribute, int64_t value) {
    Value(component, attribute, std::to_string(value));
  }
  // Identity lines go out even empty.
  void Identity(std::string_view name, std::string_view value) { Line(name, value); }

  void StartInstance(std::string_view component, std::string_view key_name, std::string_view key) {
    prefix_ = std::string(component) + " - (" + std::string(key_name) + ":" + Clean(key) + ") - ";
  }
  void Attribute(std::string_view attribute, std::string_view value) {
    if (value.empty()) return;
    out_ += prefix_;
    prefix_ = "* - ";
    Line(attribute, value);
  }
  void Attribute(std::string_view attribute, std::optional<int64_t> value) {
    if (value) Attribute(attribute, std::to_string(*value));
  }
  // An instance whose every value is empty still needs its line, or the
  // server would not know it: its key attribute stands in.
  void EndInstance(std::string_view key_attribute, std::string_view key) {
    if (prefix_ != "* - ") Attribute(key_attribute, key);
  }

 private:
  void Line(std::string_view name, std::string_view value) {
    out_ += name;
    out_ += " = ";
    out_ += Clean(value);
    out_ += '\n';
  }

  std::string& out_;
  std::string prefix_;
};

}  // namespace

std::string FormatFullScan(const Inventory& inventory) {
  std::string out;
  Writer write(out);
  write.Identity("Device ID", inventory.device_id);
  write.Identity("Device Name", inventory.device_name);
  write.Value("Network - TCPIP", "Host Name", inventory.host_name);
  write.Value("Network - TCPIP", "Address", inventory.address);
  write.Value("Network - TCPIP", "Default Gateway", inventory.default_gateway);
  write.Value("Network - TCPIP", "DNS Server", inventory.dns_server);
  write.Value("Network", "NIC Address", inventory.nic_address);
  for (const NetworkAdapter& adapter : inventory.adapters) {
    if (!UsableKey(adapter.name)) continue;
    write.StartInstance("Network - Adapter", "Name", adapter.name);
    write.Attribute("MAC Address", adapter.mac);
    write.Attribute("Type", adapter.type);
    write.Attribute("Status", adapter.status);
    write.Attribute("MTU", adapter.mtu);
    write.Attribute("IP Address", adapter.ipv4);
    write.Attribute("IPv6 Address", adapter.ipv6);
    write.EndInstance("Name", adapter.name);
  }
  write.Value("OS", "Name", inventory.os_name);
  write.Value("OS", "Version", inventory.os_version);
  write.Value("OS", "Description", inventory.os_description);
  write.Value("OS", "Architecture", inventory.architecture);
  write.Value("OS", "Kernel Version", inventory.kernel_version);
  write.Value("Processor", "Type", inventory.processor_type);
  write.Value("Processor", "Manufacturer", inventory.processor_manufacturer);
  if (inventory.processor_count > 0) write.Value("Processor", "Count", inventory.processor_count);
  if (inventory.cores > 0) write.Value("Processor", "Cores", inventory.cores);
  if (inventory.logical_processors > 0) {
    write.Value("Processor", "Logical Processors", inventory.logical_processors);
  }
  write.Value("Processor", "Architecture", inventory.architecture);
  if (inventory.memory_mb > 0) write.Value("Memory", "Physical Memory", inventory.memory_mb);
  write.Value("Memory", "Swap", inventory.swap_mb);
  write.Value("BIOS", "Manufacturer", inventory.bios_manufacturer);
  write.Value("BIOS", "Version", inventory.bios_version);
  write.Value("BIOS", "Date", inventory.bios_date);
  write.Value("BIOS", "System Manufacturer", inventory.system_manufacturer);
  write.Value("BIOS", "System Model", inventory.system_model);
  write.Value("BIOS", "System Serial Number", inventory.system_serial);
  write.Value("BIOS", "System UUID", inventory.system_uuid);
  write.Value("Motherboard", "Manufacturer", inventory.board_manufacturer);
  write.Value("Motherboard", "Model", inventory.board_model);
  write.Value("Motherboard", "Version", inventory.board_version);
  write.Value("Motherboard", "Serial Number", inventory.board_serial);
  for (const Disk& disk : inventory.disks) {
    if (!UsableKey(disk.name)) continue;
    write.StartInstance("Mass Storage - Disk", "Name", disk.name);
    write.Attribute("Size", std::optional<int64_t>(disk.size_mb));
    write.Attribute("Type", disk.type);
    write.Attribute("Model", disk.model);
    write.EndInstance("Name", disk.name);
  }
  for (const LogicalDrive& drive : inventory.drives) {
    if (!UsableKey(drive.mount_point)) continue;
    write.StartInstance("Logical Drive", "Mount Point", drive.mount_point);
    write.Attribute("File System", drive.file_system);
    write.Attribute("Total Size", drive.total_mb);
    write.Attribute("Free Space", drive.free_mb);
    write.Attribute("Volume", drive.volume);
    write.EndInstance("Mount Point", drive.mount_point);
  }
  for (const LocalAccount& user : inventory.users) {
    if (!UsableKey(user.name)) continue;
    write.StartInstance("Users - Local User", "Name", user.name);
    write.Attribute("UID", user.id);
    write.Attribute("Full Name", user.full_name);
    write.Attribute("Home", user.home);
    write.Attribute("Shell", user.shell);
    write.EndInstance("Name", user.name);
  }
  for (const LocalAccount& group : inventory.groups) {
    if (!UsableKey(group.name)) continue;
    write.StartInstance("Users - Local Group", "Name", group.name);
    write.Attribute("GID", group.id);
    write.Attribute("Members", group.members);
    write.EndInstance("Name", group.name);
  }
  write.Identity("Last Hardware Scan date", std::to_string(inventory.scan_time));

  out += "_SOFTWARE = Packages and Files\n";
  for (const Package& package : inventory.packages) {
    if (!UsableKey(package.name)) continue;
    write.StartInstance("Software - Package", "Name", package.name);
    write.Attribute("Version", package.version);
    write.Attribute("Architecture", package.architecture);
    write.Attribute("Size", package.size_bytes);
    write.Attribute("Source", package.source);
    write.Attribute("Description", package.description);
    write.EndInstance("Name", package.name);
  }
  for (const SoftwareFile& file : inventory.files) {
    if (!UsableKey(file.path)) continue;
    write.StartInstance("Software - File", "Path", file.path);
    write.Attribute("ExeName", file.path.substr(file.path.rfind('/') + 1));
    write.Attribute("FileSize", std::optional<int64_t>(file.size));
    write.Attribute("Version", file.version);
    write.Attribute("Vendor", file.vendor);
    write.Attribute("Title", file.package);
    write.EndInstance("Path", file.path);
  }
  return out;
}

}  // namespace corvane::scanner
