// The server's settings: the values of the registry key
// HKEY_LOCAL_MACHINE "SOFTWARE\Arvex\Corvane\Tessel\Server\Inventory Server".
//
// LoadConfiguration reads them once (at server start and at install),
// creating the key and writing back the defaults of missing values so that
// the key shows every tunable value. The loaded Settings are then read by
// every thread without a lock and never change; only the two device-ID sets
// change at run time, in memory and in the registry together, and are
// thread-safe.

#ifndef CORVANE_SERVICE_CONFIG_H_
#define CORVANE_SERVICE_CONFIG_H_

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace corvane::service {

inline constexpr char kServerKey[] = "SOFTWARE\\Arvex\\Corvane\\Tessel\\Server\\Inventory Server";
inline constexpr size_t kMaxScanFilePrefix = 15;

struct Settings {
  uint32_t max_connect_tries = 3;
  uint32_t db_error_recovery_tries = 10;
  uint32_t seconds_before_retry = 30;
  uint32_t log_stats = 0;
  uint32_t do_self_scan = 1;
  uint32_t self_scan_at = 22;
  uint32_t clean_at = 23;
  uint32_t logon_depth = 5;
  uint32_t do_blobs = 1;
  uint32_t query_timeout = 600;
  uint32_t do_transactions = 1;
  uint32_t disable_encryption = 0;
  uint32_t do_db = 1;
  uint32_t software_scan_frequency_no_db = 1;
  uint32_t do_delta = 1;
  std::string scan_file_prefix = "SCA";  // at most kMaxScanFilePrefix characters
  uint32_t tcp_port = 5007;
  uint32_t udp_port = 5007;
  uint32_t max_hours_to_clean = 0;
  uint32_t max_scan_file_size = 10000000;
  uint32_t max_scan_age = 0;
  uint32_t identity_changes_number = 0;
  uint32_t hardware_changes_number = 0;
  uint32_t handle_duplicate_device_ids = 0;
  uint32_t max_thread_priority = 0;
  uint32_t ignore_connection_reset = 1;
  uint32_t store_scans = 0;
  uint32_t forward_scans = 0;
  std::string forward_scans_path;  // read only when forward_scans is non-zero
  uint32_t use_connection_address = 1;
  uint32_t ignore_mini_scans = 0;
  uint32_t log_events = 0;
  uint32_t generate_sql = 0;

  // Added to keep the TCP intake and the disk use bounded (written back
  // like the others; 0 stands for the default):
  uint32_t tcp_idle_timeout_seconds = 300;  // "TCP Idle Timeout": a receive waits at most this long
  uint32_t max_tcp_connections = 1024;      // "Max TCP Connections": connection threads at once
  // "Max TCP Connections Per Address": connection threads at once for one
  // client address, so that one host cannot take every connection.
  uint32_t max_tcp_connections_per_address = 16;
  // "TCP Request Timeout": seconds from accept within which the whole
  // request packet must have arrived.
  uint32_t tcp_request_timeout_seconds = 30;
  // "Max Error Directory MB": the files of "ErrorScan", "ErrorBigScan" and
  // "ErrorTrans" together; beyond it the oldest are removed.
  uint32_t max_error_directory_mb = 1024;
  // "Max Error File Age": days after which the timer removes a file of those
  // directories (by its last write); 0 keeps them however old.
  uint32_t max_error_file_age_days = 90;
};

// A set of device IDs shared between threads ("Bad Device IDs", "Force Full
// Scans").
class DeviceIdSet {
 public:
  bool Contains(const std::string& device_id) const;
  // True when the set changed.
  bool Add(const std::string& device_id);
  bool Remove(const std::string& device_id);
  std::vector<std::string> Entries() const;

 private:
  mutable std::mutex mutex_;
  std::set<std::string> ids_;
};

struct Configuration {
  Settings settings;
  DeviceIdSet bad_device_ids;
  DeviceIdSet force_full_scans;
  // The initial current software scan frequency: "Software Scan Frequency
  // when no DB" when "Do DB" is 0, else 0 until the database tells.
  uint32_t software_scan_frequency = 0;
};

// Runs the configuration load into `configuration`. A key that cannot be
// created or opened leaves every built-in default and writes nothing; failed
// writes of defaults are ignored. Never throws.
void LoadConfiguration(Configuration& configuration);

}  // namespace corvane::service

#endif  // CORVANE_SERVICE_CONFIG_H_
