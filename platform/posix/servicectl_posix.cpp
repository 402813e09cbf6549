#include "platform/servicectl.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/error.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace corvane::platform {
namespace {

std::string EnvironmentOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? value : fallback;
}

// systemd's quoting for one word of ExecStart= or Environment=.
std::string QuoteForUnit(const std::string& word) {
  std::string quoted = "\"";
  for (char c : word) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';  // specifiers
    quoted += c;
  }
  return quoted + "\"";
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

class SystemdManager : public ServiceManager {
 public:
  SystemdManager(std::string unit_directory, std::string systemctl)
      : unit_directory_(std::move(unit_directory)), systemctl_(std::move(systemctl)) {}

  void Create(const ServiceDefinition& definition) override {
    std::string unit = UnitName(definition.name);
    std::string path = JoinPath(unit_directory_, unit);
    std::string temporary = path + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) throw OsError("create " + temporary, errno);
    // A unit naming an account that does not exist would not start: the
    // package makes the account; a run from a source tree may have none.
    ServiceDefinition unit_definition = definition;
    if (!unit_definition.user.empty() && getpwnam(unit_definition.user.c_str()) == nullptr) {
      unit_definition.user.clear();
    }
    std::string text = FormatUnitFile(unit_definition, RuntimeRoot());
    bool written =
        write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    int write_error = errno;
    close(fd);
    if (!written) {
      unlink(temporary.c_str());
      throw OsError("write " + temporary, write_error);
    }
    // link() refuses an existing target, so an installed unit is never replaced.
    if (link(temporary.c_str(), path.c_str()) != 0) {
      int error = errno;
      unlink(temporary.c_str());
      throw OsError("create service " + unit, error);
    }
    unlink(temporary.c_str());
    Systemctl({"daemon-reload"});
    int enabled = Systemctl({"enable", unit});
    if (enabled != 0) {
      unlink(path.c_str());
      Systemctl({"daemon-reload"});
      throw OsError(systemctl_ + " enable " + unit + " exited with " + std::to_string(enabled),
                    EIO);
    }
  }

  void CheckInstalled(const std::string& name) override {
    std::string path = JoinPath(unit_directory_, UnitName(name));
    struct stat info;
    if (stat(path.c_str(), &info) != 0) throw OsError("open service " + UnitName(name), errno);
  }

  bool Stop(const std::string& name) override {
    std::optional<ServiceState> state = Query(name);
    if (!state || *state == ServiceState::kStopped || *state == ServiceState::kStopPending) {
      return false;
    }
    return Systemctl({"stop", "--no-block", UnitName(name)}) == 0;
  }

  std::optional<ServiceState> Query(const std::string& name) override {
    ProgramResult result;
    try {
      result =
          RunProgram({systemctl_, "show", "--property=ActiveState", "--value", UnitName(name)});
    } catch (const OsError&) {
      return std::nullopt;
    }
    if (result.exit_code != 0) return std::nullopt;
    std::string state = Trimmed(result.output);
    if (state == "active" || state == "reloading") return ServiceState::kRunning;
    if (state == "activating") return ServiceState::kStartPending;
    if (state == "deactivating") return ServiceState::kStopPending;
    if (state == "inactive" || state == "failed") return ServiceState::kStopped;
    return std::nullopt;
  }

  void Delete(const std::string& name) override {
    std::string unit = UnitName(name);
    int disabled = Systemctl({"disable", unit});
    if (disabled != 0) {
      throw OsError(systemctl_ + " disable " + unit + " exited with " + std::to_string(disabled),
                    EIO);
    }
    std::string path = JoinPath(unit_directory_, unit);
    if (unlink(path.c_str()) != 0) throw OsError("delete " + path, errno);
    Systemctl({"daemon-reload"});
  }

 private:
  // The exit code, or -1 when the command could not be run.
  int Systemctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), systemctl_);
    try {
      return RunProgram(arguments).exit_code;
    } catch (const OsError&) {
      return -1;
    }
  }

  std::string unit_directory_;
  std::string systemctl_;
};

class NotifySocketChannel : public ServiceStatusChannel {
 public:
  NotifySocketChannel(int fd, sockaddr_un address, socklen_t length)
      : fd_(fd), address_(address), length_(length) {}
  ~NotifySocketChannel() override { close(fd_); }

  bool Report(const ServiceStatus& status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    // The manager forgets a service once it reported stopped; so do we.
    if (stopped_) return false;
    std::string text = FormatStatusNotification(status);
    ssize_t sent = sendto(fd_, text.data(), text.size(), MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr*>(&address_), length_);
    if (sent != static_cast<ssize_t>(text.size())) return false;
    if (status.state == ServiceState::kStopped) stopped_ = true;
    return true;
  }

 private:
  std::mutex mutex_;
  int fd_;
  sockaddr_un address_;
  socklen_t length_;
  bool stopped_ = false;
};

}  // namespace

std::string UnitName(const std::string& service_name) {
  std::string unit;
  for (char c : service_name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (std::isalnum(u)) {
      unit += static_cast<char>(std::tolower(u));
    } else if (c == '-' || c == '_' || c == '.') {
      unit += c;
    } else {
      unit += '-';
    }
  }
  return unit + ".service";
}

std::string FormatUnitFile(const ServiceDefinition& definition, const std::string& runtime_root) {
  std::string dependencies;
  for (const std::string& dependency : definition.dependencies) {
    dependencies += " " + UnitName(dependency);
  }
  std::string text = "# " + definition.name + ": written by the program's install command.\n";
  text += "[Unit]\nDescription=" + definition.description + "\n";
  text += "Wants=network-online.target\n";
  // The local database servers it may use start first (and stop after it).
  text +=
      "After=network-online.target postgresql.service mssql-server.service" + dependencies + "\n";
  if (!dependencies.empty()) text += "Requires=" + dependencies.substr(1) + "\n";
  text += "\n[Service]\nType=notify\nNotifyAccess=main\n";
  text += "ExecStart=" + QuoteForUnit(definition.program) + "\n";
  text += "Environment=" + QuoteForUnit("CORVANE_ROOT=" + runtime_root) + "\n";
  if (!definition.data_directory.empty()) {
    text += "Environment=" + QuoteForUnit("CORVANE_DATA_DIR=" + definition.data_directory) + "\n";
  }
  if (!definition.user.empty()) text += "User=" + definition.user + "\n";
  // A server that stops itself (its database gone for good) exits non-zero
  // and is started again; a stop that was asked for exits 0.
  text += "Restart=on-failure\nRestartSec=10s\n";
  text += "StateDirectory=corvane\nStateDirectoryMode=0750\n";
  text += "ProtectSystem=strict\nProtectHome=yes\nPrivateTmp=yes\nNoNewPrivileges=yes\n";
  // Netlink: the self scan's scanner asks the kernel for the interface
  // addresses.
  text += "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n";
  for (const std::string& path : definition.writable_paths) {
    text += "ReadWritePaths=" + QuoteForUnit(path) + "\n";
  }
  text += "\n[Install]\nWantedBy=multi-user.target\n";
  return text;
}

std::unique_ptr<ServiceManager> ServiceManager::Open() {
  std::string directory = EnvironmentOr("CORVANE_SYSTEMD_UNIT_DIR", "/etc/systemd/system");
  struct stat info;
  if (stat(directory.c_str(), &info) != 0) throw OsError("open unit directory " + directory, errno);
  if (!S_ISDIR(info.st_mode)) throw OsError("open unit directory " + directory, ENOTDIR);
  if (access(directory.c_str(), W_OK) != 0) {
    throw OsError("open unit directory " + directory, errno);
  }
  return std::make_unique<SystemdManager>(directory,
                                          EnvironmentOr("CORVANE_SYSTEMCTL", "systemctl"));
}

std::unique_ptr<ServiceStatusChannel> ServiceStatusChannel::Connect() {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || *path == '\0') return nullptr;
  size_t length = std::strlen(path);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (length >= sizeof address.sun_path) return nullptr;
  std::memcpy(address.sun_path, path, length);
  if (path[0] == '@') address.sun_path[0] = '\0';  // abstract namespace
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  auto address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  return std::make_unique<NotifySocketChannel>(fd, address, address_length);
}

std::string FormatStatusNotification(const ServiceStatus& status) {
  auto extend = [&] {
    return status.wait_hint_ms == 0
               ? std::string()
               : "\nEXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{status.wait_hint_ms} * 1000);
  };
  switch (status.state) {
    case ServiceState::kStartPending:
      return "STATUS=Starting" + extend();
    case ServiceState::kRunning:
      return "READY=1\nSTATUS=Running";
    case ServiceState::kPaused:
      return "STATUS=Paused";
    case ServiceState::kStopPending:
      return "STOPPING=1\nSTATUS=Stopping" + extend();
    case ServiceState::kStopped:
      return status.win32_exit_code == 0 ? std::string("STOPPING=1\nSTATUS=Stopped")
                                         : "STOPPING=1\nSTATUS=Stopped with exit code " +
                                               std::to_string(status.win32_exit_code);
    case ServiceState::kContinuePending:
      return "STATUS=Continuing" + extend();
    case ServiceState::kPausePending:
      return "STATUS=Pausing" + extend();
  }
  return "STATUS=Unknown";
}

}  // namespace corvane::platform
