#include "service/config.h"

#include <functional>
#include <optional>
#include <utility>

#include "platform/registry.h"

namespace corvane::service {
namespace {

using platform::RegKey;
using platform::RegType;
using platform::RegValue;

// The bytes a value holds as the registry would hand them out.
std::string RawBytes(const RegValue& value) {
  switch (value.type) {
    case RegType::kDword: {
      std::string bytes(4, '\0');
      for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value.dword >> (8 * i)) & 0xFF);
      return bytes;
    }
    case RegType::kSz:
    case RegType::kExpandSz:
      return value.text + '\0';
    case RegType::kMultiSz: {
      std::string bytes;
      for (const std::string& text : value.strings) bytes += text + '\0';
      return bytes + '\0';
    }
    case RegType::kBinary:
      return std::string(value.bytes.begin(), value.bytes.end());
  }
  return {};
}

// Reads and writes the values of the server key inside one registry change.
class KeyAccess {
 public:
  explicit KeyAccess(RegKey& key) : key_(key) {}

  // The value as a 32-bit number: whatever its type, its first four bytes;
  // nullopt when it is missing or shorter.
  std::optional<uint32_t> Dword(const char* name) const {
    const RegValue* value = key_.Find(name);
    if (value == nullptr) return std::nullopt;
    if (value->type == RegType::kDword) return value->dword;
    std::string bytes = RawBytes(*value);
    if (bytes.size() < 4) return std::nullopt;
    uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<unsigned char>(bytes[i]);
    return number;
  }

  // Reads into `setting`; a missing value gets `setting` written back.
  void ReadDword(const char* name, uint32_t& setting) {
    if (std::optional<uint32_t> stored = Dword(name)) {
      setting = *stored;
    } else {
      key_.Set(name, RegValue::Dword(setting));
    }
  }

  void ReadDwordNoWrite(const char* name, uint32_t& setting) const {
    if (std::optional<uint32_t> stored = Dword(name)) setting = *stored;
  }

  // Reads and then stores the current value in every case.
  void ReadDwordAlwaysWrite(const char* name, uint32_t& setting) {
    ReadDwordNoWrite(name, setting);
    key_.Set(name, RegValue::Dword(setting));
  }

  std::optional<std::string> Text(const char* name) const {
    const RegValue* value = key_.Find(name);
    if (value == nullptr) return std::nullopt;
    if (value->type != RegType::kSz && value->type != RegType::kExpandSz) return std::nullopt;
    return value->text;
  }

  std::optional<std::vector<std::string>> List(const char* name) const {
    const RegValue* value = key_.Find(name);
    if (value == nullptr || value->type != RegType::kMultiSz) return std::nullopt;
    return value->strings;
  }

  void Write(const char* name, RegValue value) { key_.Set(name, std::move(value)); }

 private:
  RegKey& key_;
};

void LoadFrom(KeyAccess& key, Configuration& configuration) {
  Settings& s = configuration.settings;
  key.ReadDword("Max Connect Tries", s.max_connect_tries);
  key.ReadDword("DB Error Recovery Tries", s.db_error_recovery_tries);
  key.ReadDword("Seconds Before Retry", s.seconds_before_retry);
  key.ReadDword("Log Stats", s.log_stats);
  key.ReadDword("Do Self Scan", s.do_self_scan);
  key.ReadDword("Self Scan At", s.self_scan_at);
  key.ReadDword("Clean At", s.clean_at);
  key.ReadDword("Logon Depth", s.logon_depth);
  key.ReadDword("Do Blobs", s.do_blobs);
  key.ReadDword("Query Timeout", s.query_timeout);
  key.ReadDword("Do Transactions", s.do_transactions);
  key.ReadDword("Disable Encryption", s.disable_encryption);
  key.ReadDword("Do DB", s.do_db);
  if (s.do_db == 0) {
    key.ReadDword("Software Scan Frequency when no DB", s.software_scan_frequency_no_db);
    configuration.software_scan_frequency = s.software_scan_frequency_no_db;
  }
  key.ReadDword("Do Delta", s.do_delta);

  if (std::optional<std::string> prefix = key.Text("Scan File Prefix")) {
    s.scan_file_prefix = prefix->substr(0, kMaxScanFilePrefix);
  } else {
    key.Write("Scan File Prefix", RegValue::Sz(s.scan_file_prefix));
  }
  key.ReadDword("TCP Port", s.tcp_port);
  key.ReadDword("UDP Port", s.udp_port);
  key.ReadDword("Max Hours To Clean", s.max_hours_to_clean);
  key.ReadDword("Max Scan File Size", s.max_scan_file_size);

  if (auto bad = key.List("Bad Device IDs")) {
    for (const std::string& id : *bad) {
      if (!id.empty()) configuration.bad_device_ids.Add(id);
    }
  }
  if (auto forced = key.List("Force Full Scans")) {
    for (const std::string& id : *forced) {
      if (!id.empty()) configuration.force_full_scans.Add(id);
    }
  } else {
    key.Write("Force Full Scans", RegValue::MultiSz({}));
  }

  key.ReadDword("Max Scan Age", s.max_scan_age);
  key.ReadDword("Identity Changes Number", s.identity_changes_number);
  key.ReadDword("Hardware Changes Number", s.hardware_changes_number);
  key.ReadDword("Handle Duplicate DeviceIDs", s.handle_duplicate_device_ids);
  key.ReadDword("Max Thread Priority", s.max_thread_priority);
  key.ReadDword("Ignore Connection Reset", s.ignore_connection_reset);

  key.ReadDwordNoWrite("Store Scans", s.store_scans);
  key.ReadDwordNoWrite("Forward Scans", s.forward_scans);
  if (s.forward_scans != 0) {
    // The path buffer holds 259 characters and its terminator.
    s.forward_scans_path = key.Text("Forward Scans Path").value_or("").substr(0, 259);
  }

  key.ReadDwordAlwaysWrite("Use Connection Address", s.use_connection_address);
  key.ReadDwordAlwaysWrite("Ignore Mini Scans", s.ignore_mini_scans);
  key.ReadDword("LogEvents", s.log_events);
  key.ReadDword("GenerateSQL", s.generate_sql);

  key.ReadDword("TCP Idle Timeout", s.tcp_idle_timeout_seconds);
  key.ReadDword("Max TCP Connections", s.max_tcp_connections);
  key.ReadDword("Max TCP Connections Per Address", s.max_tcp_connections_per_address);
  key.ReadDword("TCP Request Timeout", s.tcp_request_timeout_seconds);
  key.ReadDword("Max Error Directory MB", s.max_error_directory_mb);
  key.ReadDword("Max Error File Age", s.max_error_file_age_days);
  // Zero would mean no bound at all, which these exist to prevent.
  const Settings defaults;
  for (auto [setting, fallback] :
       {std::pair{&s.tcp_idle_timeout_seconds, defaults.tcp_idle_timeout_seconds},
        std::pair{&s.max_tcp_connections, defaults.max_tcp_connections},
        std::pair{&s.max_tcp_connections_per_address, defaults.max_tcp_connections_per_address},
        std::pair{&s.tcp_request_timeout_seconds, defaults.tcp_request_timeout_seconds},
        std::pair{&s.max_error_directory_mb, defaults.max_error_directory_mb}}) {
    if (*setting == 0) *setting = fallback;
  }
}

}  // namespace

bool DeviceIdSet::Contains(const std::string& device_id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ids_.count(device_id) != 0;
}

bool DeviceIdSet::Add(const std::string& device_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ids_.insert(device_id).second;
}

bool DeviceIdSet::Remove(const std::string& device_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ids_.erase(device_id) != 0;
}

std::vector<std::string> DeviceIdSet::Entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {ids_.begin(), ids_.end()};
}

void LoadConfiguration(Configuration& configuration) {
  // Everything happens in one registry change: the values are read from the
  // hive as it is and the missing defaults land in one write.
  Configuration loaded;
  bool read = false;
  try {
    platform::registry::Update(platform::RegRoot::kLocalMachine, [&](platform::RegTree& tree) {
      KeyAccess key(tree.Create(kServerKey));
      LoadFrom(key, loaded);
      read = true;
    });
  } catch (const std::exception&) {
    // An unreadable hive leaves the built-in defaults; a failed write of the
    // defaults leaves what was read.
  }
  if (!read) return;
  configuration.settings = loaded.settings;
  configuration.software_scan_frequency = loaded.software_scan_frequency;
  for (const std::string& id : loaded.bad_device_ids.Entries())
    configuration.bad_device_ids.Add(id);
  for (const std::string& id : loaded.force_full_scans.Entries()) {
    configuration.force_full_scans.Add(id);
  }
}

}  // namespace corvane::service
