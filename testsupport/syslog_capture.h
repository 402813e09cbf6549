// Test helpers: datagram sockets of the test's own, standing in for the
// system log and for the service manager's notification socket.

#ifndef CORVANE_TESTSUPPORT_SYSLOG_CAPTURE_H_
#define CORVANE_TESTSUPPORT_SYSLOG_CAPTURE_H_

#include <optional>
#include <string>
#include <vector>

namespace corvane::testing {

// A bound datagram socket at `path` that hands out what arrives.
class DatagramListener {
 public:
  explicit DatagramListener(const std::string& path);
  ~DatagramListener();
  DatagramListener(const DatagramListener&) = delete;
  DatagramListener& operator=(const DatagramListener&) = delete;

  // The next line, waiting at most `timeout_ms`.
  std::optional<std::string> Next(int timeout_ms = 2000);
  // Lines until one contains `needle` (returned), or nullopt after `timeout_ms`.
  std::optional<std::string> WaitFor(const std::string& needle, int timeout_ms = 5000);

  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// Listens at "<directory>/syslog.sock" and points CORVANE_SYSLOG_SOCKET at
// it for the life of the object.
class SyslogCapture : public DatagramListener {
 public:
  explicit SyslogCapture(const std::string& directory);
  ~SyslogCapture();
};

}  // namespace corvane::testing

#endif  // CORVANE_TESTSUPPORT_SYSLOG_CAPTURE_H_
