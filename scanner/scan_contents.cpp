#include "scanner/scan_contents.h"

#include <array>
#include <optional>

namespace corvane::scanner {
namespace {

// Windows-1252's bytes 0x80..0x9F; 0 where the code page defines none.
constexpr std::array<char32_t, 32> kHighControls = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char Windows1252Byte(char32_t code_point) {
  if (code_point < 0x80 || (code_point >= 0xA0 && code_point <= 0xFF)) {
    return static_cast<char>(code_point);
  }
  for (size_t i = 0; i < kHighControls.size(); ++i) {
    if (kHighControls[i] == code_point && code_point != 0) return static_cast<char>(0x80 + i);
  }
  return '?';
}

// The code point that starts at text[at], and its length; nullopt for a
// byte that starts no well-formed sequence.
std::optional<std::pair<char32_t, size_t>> DecodeUtf8(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return std::pair<char32_t, size_t>{lead, 1};
  size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (lead > 0xF4 || length == 0 || at + length > text.size()) return std::nullopt;
  char32_t code_point = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return std::nullopt;
    code_point = (code_point << 6) | (byte(at + i) & 0x3F);
  }
  const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code_point < smallest[length] || code_point > 0x10FFFF ||
      (code_point >= 0xD800 && code_point <= 0xDFFF)) {
    return std::nullopt;
  }
  return std::pair<char32_t, size_t>{code_point, length};
}

bool UsableKey(std::string_view key) {
  return !key.empty() && key.find(") - ") == std::string_view::npos &&
         key.find(" = ") == std::string_view::npos &&
         key.find_first_of(std::string_view("\r\n\t\0", 4)) == std::string_view::npos;
}

class ValueList {
 public:
  explicit ValueList(std::vector<ScanValue>& values) : values_(values) {}

  void set_software(bool software) { software_ = software; }

  // A value of a component without instances ("OS - Name = ...").
  void Value(std::string_view component, std::string_view attribute, std::string_view value) {
    Add(std::string(component), {}, {}, attribute, value);
  }
  void Value(std::string_view component, std::string_view attribute, int64_t value) {
    Value(component, attribute, std::to_string(value));
  }

  bool StartInstance(std::string_view component, std::string_view key_attribute,
                     std::string_view key) {
    instance_.clear();
    if (!UsableKey(key)) return false;
    key_attribute_ = key_attribute;
    key_ = ToScanCodePage(key);
    instance_ = std::string(component) + " - (" + key_attribute_ + ":" + key_ + ")";
    written_ = 0;
    return true;
  }
  void Attribute(std::string_view attribute, std::string_view value) {
    if (instance_.empty()) return;
    if (Add(instance_, key_attribute_, key_, attribute, value)) ++written_;
  }
  void Attribute(std::string_view attribute, std::optional<int64_t> value) {
    if (value) Attribute(attribute, std::to_string(*value));
  }
  // An instance whose every value is empty still needs a line, or the
  // server would not know it: its key attribute stands in.
  void EndInstance() {
    if (!instance_.empty() && written_ == 0) {
      values_.push_back({instance_, key_attribute_, key_, key_attribute_, key_, software_});
    }
    instance_.clear();
  }

 private:
  bool Add(std::string instance, std::string_view key_attribute, std::string_view key,
           std::string_view attribute, std::string_view value) {
    if (value.empty()) return false;
    values_.push_back({std::move(instance), std::string(key_attribute), std::string(key),
                       std::string(attribute), ToScanCodePage(value), software_});
    return true;
  }

  std::vector<ScanValue>& values_;
  bool software_ = false;
  std::string instance_;
  std::string key_attribute_;
  std::string key_;
  int written_ = 0;
};

EmbeddedFile EmbeddedFileOf(std::string path, int64_t time, std::string_view text) {
  EmbeddedFile file;
  file.path = std::move(path);
  file.time = time;
  file.contents = ToScanCodePage(text, true);
  file.size = static_cast<int64_t>(file.contents.size());
  for (size_t i = 0; i < file.contents.size(); ++i) {
    if (file.contents[i] == '\n' && (i == 0 || file.contents[i - 1] != '\r')) ++file.size;
  }
  file.digest = Digest(file.contents);
  return file;
}

}  // namespace

std::string ToScanCodePage(std::string_view text, bool keep_line_ends) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    std::optional<std::pair<char32_t, size_t>> decoded = DecodeUtf8(text, at);
    if (!decoded) {
      out += '?';
      ++at;
      continue;
    }
    char byte = Windows1252Byte(decoded->first);
    const bool line_end = byte == '\r' || byte == '\n' || byte == '\t';
    // A NUL ends a line on the wire, and a 0xFF byte is dropped there.
    if (byte == '\0' || (line_end && !keep_line_ends)) byte = ' ';
    if (byte == '\xFF') byte = '?';
    out += byte;
    at += decoded->second;
  }
  return out;
}

uint64_t Digest(std::string_view bytes) {
  uint64_t hash = 14695981039346656037ULL;
  for (unsigned char byte : bytes) {
    hash ^= byte;
    hash *= 1099511628211ULL;
  }
  return hash;
}

ScanContents ScanContentsOf(const Inventory& inventory) {
  ScanContents scan;
  scan.device_id = inventory.device_id;
  scan.device_name = ToScanCodePage(inventory.device_name);
  scan.scan_time = inventory.scan_time;
  ValueList add(scan.values);
  add.Value("Network - TCPIP", "Host Name", inventory.host_name);
  add.Value("Network - TCPIP", "Address", inventory.address);
  add.Value("Network - TCPIP", "Default Gateway", inventory.default_gateway);
  add.Value("Network - TCPIP", "DNS Server", inventory.dns_server);
  add.Value("Network", "NIC Address", inventory.nic_address);
  for (const NetworkAdapter& adapter : inventory.adapters) {
    add.StartInstance("Network - Adapter", "Name", adapter.name);
    add.Attribute("MAC Address", adapter.mac);
    add.Attribute("Type", adapter.type);
    add.Attribute("Status", adapter.status);
    add.Attribute("MTU", adapter.mtu);
    add.Attribute("IP Address", adapter.ipv4);
    add.Attribute("IPv6 Address", adapter.ipv6);
    add.EndInstance();
  }
  add.Value("OS", "Name", inventory.os_name);
  add.Value("OS", "Version", inventory.os_version);
  add.Value("OS", "Description", inventory.os_description);
  add.Value("OS", "Architecture", inventory.architecture);
  add.Value("OS", "Kernel Version", inventory.kernel_version);
  add.Value("Processor", "Type", inventory.processor_type);
  add.Value("Processor", "Manufacturer", inventory.processor_manufacturer);
  if (inventory.processor_count > 0) add.Value("Processor", "Count", inventory.processor_count);
  if (inventory.cores > 0) add.Value("Processor", "Cores", inventory.cores);
  if (inventory.logical_processors > 0) {
    add.Value("Processor", "Logical Processors", inventory.logical_processors);
  }
  add.Value("Processor", "Architecture", inventory.architecture);
  if (inventory.memory_mb > 0) add.Value("Memory", "Physical Memory", inventory.memory_mb);
  add.Value("Memory", "Swap", inventory.swap_mb);
  add.Value("BIOS", "Manufacturer", inventory.bios_manufacturer);
  add.Value("BIOS", "Version", inventory.bios_version);
  add.Value("BIOS", "Date", inventory.bios_date);
  add.Value("BIOS", "System Manufacturer", inventory.system_manufacturer);
  add.Value("BIOS", "System Model", inventory.system_model);
  add.Value("BIOS", "System Serial Number", inventory.system_serial);
  add.Value("BIOS", "System UUID", inventory.system_uuid);
  add.Value("Motherboard", "Manufacturer", inventory.board_manufacturer);
  add.Value("Motherboard", "Model", inventory.board_model);
  add.Value("Motherboard", "Version", inventory.board_version);
  add.Value("Motherboard", "Serial Number", inventory.board_serial);
  for (const Disk& disk : inventory.disks) {
    add.StartInstance("Mass Storage - Disk", "Name", disk.name);
    add.Attribute("Size", std::optional<int64_t>(disk.size_mb));
    add.Attribute("Type", disk.type);
    add.Attribute("Model", disk.model);
    add.EndInstance();
  }
  for (const LogicalDrive& drive : inventory.drives) {
    add.StartInstance("Logical Drive", "Mount Point", drive.mount_point);
    add.Attribute("File System", drive.file_system);
    add.Attribute("Total Size", drive.total_mb);
    add.Attribute("Free Space", drive.free_mb);
    add.Attribute("Volume", drive.volume);
    add.EndInstance();
  }
  for (const LocalAccount& user : inventory.users) {
    add.StartInstance("Users - Local User", "Name", user.name);
    add.Attribute("UID", user.id);
    add.Attribute("Full Name", user.full_name);
    add.Attribute("Home", user.home);
    add.Attribute("Shell", user.shell);
    add.EndInstance();
  }
  for (const LocalAccount& group : inventory.groups) {
    add.StartInstance("Users - Local Group", "Name", group.name);
    add.Attribute("GID", group.id);
    add.Attribute("Members", group.members);
    add.EndInstance();
  }

  add.set_software(true);
  for (const Package& package : inventory.packages) {
    add.StartInstance("Software - Package", "Name", package.name);
    add.Attribute("Version", package.version);
    add.Attribute("Architecture", package.architecture);
    add.Attribute("Size", package.size_bytes);
    add.Attribute("Source", package.source);
    add.Attribute("Description", package.description);
    add.EndInstance();
  }
  for (const SoftwareFile& file : inventory.files) {
    add.StartInstance("Software - File", "Path", file.path);
    add.Attribute("ExeName", file.path.substr(file.path.rfind('/') + 1));
    add.Attribute("FileSize", std::optional<int64_t>(file.size));
    add.Attribute("Version", file.version);
    add.Attribute("Vendor", file.vendor);
    add.Attribute("Title", file.package);
    add.EndInstance();
  }

  for (const ConfigFile& file : inventory.config_files) {
    if (!UsableKey(file.path) || file.path.find(' ') != std::string::npos) continue;
    scan.files.push_back(EmbeddedFileOf(ToScanCodePage(file.path), file.time, file.contents));
  }
  if (!inventory.bios_text.empty()) {
    scan.files.push_back(EmbeddedFileOf({}, inventory.scan_time, inventory.bios_text));
  }
  return scan;
}

}  // namespace corvane::scanner
