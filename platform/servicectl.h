// The service manager: installing and removing the service, and the running
// service's status reports.
//
// On this platform the manager is systemd. A service named "Corvane Inventory
// Server" becomes the unit "corvane-inventory-server.service" (lower case,
// blanks as "-"). The unit directory is $CORVANE_SYSTEMD_UNIT_DIR (default
// /etc/systemd/system) and the manager command $CORVANE_SYSTEMCTL (default
// "systemctl"), so that tests run without systemd. Failures throw OsError
// whose error number the console texts show.

#ifndef CORVANE_PLATFORM_SERVICECTL_H_
#define CORVANE_PLATFORM_SERVICECTL_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane::platform {

// The service state numbers of the status record.
enum class ServiceState : uint32_t {
  kStopped = 1,
  kStartPending = 2,
  kStopPending = 3,
  kRunning = 4,
  kContinuePending = 5,
  kPausePending = 6,
  kPaused = 7,
};

struct ServiceDefinition {
  std::string name;                       // also the display name
  std::string description;                // one line
  std::string program;                    // full path of the program to start
  std::vector<std::string> dependencies;  // service names that must run first
  std::string user;                       // the account it runs as; empty: root
  // Directories it writes outside its state directory (the read-only
  // system is otherwise all it sees).
  std::vector<std::string> writable_paths;
  // The data directory it is given (CORVANE_DATA_DIR); empty: beside the
  // program.
  std::string data_directory;
};

// "Corvane Inventory Server" -> "corvane-inventory-server.service".
std::string UnitName(const std::string& service_name);

// The unit file text for `definition`: Type=notify, started at boot after
// the network and the local database servers, with a Requires= and After=
// entry per dependency; restarted after a failure (a stop the administrator
// asked for exits 0 and stays stopped); sandboxed: a read-only system, no
// home directories, a private /tmp, no new privileges, only the address
// families it uses, the state directory /var/lib/corvane. The runtime root
// in force at install time is passed on to the service. Pure.
std::string FormatUnitFile(const ServiceDefinition& definition, const std::string& runtime_root);

class ServiceManager {
 public:
  // Throws OsError when the unit directory cannot be used.
  static std::unique_ptr<ServiceManager> Open();
  virtual ~ServiceManager() = default;

  // Writes the unit and enables it; EEXIST when the unit exists already.
  virtual void Create(const ServiceDefinition& definition) = 0;
  // ENOENT when no unit of that name is installed.
  virtual void CheckInstalled(const std::string& name) = 0;
  // Asks a running service to stop without waiting; false when it is not
  // running (nothing to stop).
  virtual bool Stop(const std::string& name) = 0;
  // nullopt when the state cannot be queried.
  virtual std::optional<ServiceState> Query(const std::string& name) = 0;
  // Disables the unit and deletes its file.
  virtual void Delete(const std::string& name) = 0;
};

// One status report of the running service.
struct ServiceStatus {
  ServiceState state = ServiceState::kStopped;
  uint32_t controls_accepted = 0;
  uint32_t win32_exit_code = 0;
  uint32_t checkpoint = 0;
  uint32_t wait_hint_ms = 0;
};

// The channel from a running service to its manager ($NOTIFY_SOCKET).
class ServiceStatusChannel {
 public:
  // nullptr when the process was not started by the service manager.
  static std::unique_ptr<ServiceStatusChannel> Connect();
  virtual ~ServiceStatusChannel() = default;
  // False when the manager did not take the report.
  virtual bool Report(const ServiceStatus& status) = 0;
};

// The notification text for a status report ("READY=1", "STOPPING=1",
// "EXTEND_TIMEOUT_USEC=...", "STATUS=..."). Pure.
std::string FormatStatusNotification(const ServiceStatus& status);

}  // namespace corvane::platform

#endif  // CORVANE_PLATFORM_SERVICECTL_H_
