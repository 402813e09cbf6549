#include "platform/syslog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace corvane::platform {

std::string SyslogIdentifier(std::string_view name) {
  std::string identifier;
  for (char c : name) {
    bool separator = c == ' ' || c == '\t' || c == ':' || c == '[' || c == ']' || c == '\n' ||
                     c == '\r' || static_cast<unsigned char>(c) < 0x20;
    identifier += separator ? '-' : c;
  }
  if (identifier.empty()) identifier = "corvane";
  return identifier;
}

std::string FormatSyslogLine(SyslogSeverity severity, std::string_view identifier,
                             std::string_view message, long pid, long long unix_seconds,
                             size_t max_message) {
  constexpr int kFacilityDaemon = 3 << 3;
  time_t seconds = static_cast<time_t>(unix_seconds);
  struct tm local;
  localtime_r(&seconds, &local);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);

  std::string body;
  body.reserve(message.size());
  for (char c : message) {
    if (c != '\r') body += c;
  }
  while (!body.empty() && body.back() == '\n') body.pop_back();
  if (body.size() > max_message) body.resize(max_message);

  std::string line = "<" + std::to_string(kFacilityDaemon + static_cast<int>(severity)) + ">";
  line += stamp;
  line += ' ';
  line += identifier;
  line += "[" + std::to_string(pid) + "]: ";
  line += body;
  return line;
}

bool WriteSyslog(SyslogSeverity severity, std::string_view identifier, std::string_view message) {
  if (const char* echo = std::getenv(kSyslogEchoVariable); echo != nullptr && *echo == '1') {
    std::string text = std::string(identifier) + ": " + std::string(message);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    text += '\n';
    // One write, so that lines of several threads do not mix.
    [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
  }
  const char* configured = std::getenv("CORVANE_SYSLOG_SOCKET");
  const char* path = (configured != nullptr && *configured != '\0') ? configured : "/dev/log";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address.sun_path) return false;
  std::strcpy(address.sun_path, path);

  std::string line =
      FormatSyslogLine(severity, identifier, message, static_cast<long>(getpid()), time(nullptr));
  // A fresh socket per message: events are rare and this leaves no
  // descriptor behind across fork or a syslog daemon restart.
  for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool sent = false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      std::string payload = type == SOCK_STREAM ? line + '\0' : line;
      sent = send(fd, payload.data(), payload.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
             static_cast<ssize_t>(payload.size());
    }
    close(fd);
    if (sent) return true;
  }
  return false;
}

}  // namespace corvane::platform
