#include "testsupport/syslog_capture.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace corvane::testing {

DatagramListener::DatagramListener(const std::string& path) : path_(path) {
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (fd_ < 0 || path_.size() >= sizeof address.sun_path) throw std::runtime_error("syslog socket");
  std::strcpy(address.sun_path, path_.c_str());
  unlink(path_.c_str());
  if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("bind " + path_);
  }
  int size = 4 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

DatagramListener::~DatagramListener() {
  close(fd_);
  unlink(path_.c_str());
}

std::optional<std::string> DatagramListener::Next(int timeout_ms) {
  pollfd ready{fd_, POLLIN, 0};
  if (poll(&ready, 1, timeout_ms) <= 0) return std::nullopt;
  std::string buffer(1 << 17, '\0');
  ssize_t got = recv(fd_, buffer.data(), buffer.size(), 0);
  if (got < 0) return std::nullopt;
  buffer.resize(static_cast<size_t>(got));
  return buffer;
}

std::optional<std::string> DatagramListener::WaitFor(const std::string& needle, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    std::optional<std::string> line = Next(static_cast<int>(left.count()));
    if (!line) return std::nullopt;
    if (line->find(needle) != std::string::npos) return line;
  }
}

SyslogCapture::SyslogCapture(const std::string& directory)
    : DatagramListener(directory + "/syslog.sock") {
  setenv("CORVANE_SYSLOG_SOCKET", path().c_str(), 1);
}

SyslogCapture::~SyslogCapture() { unsetenv("CORVANE_SYSLOG_SOCKET"); }

}  // namespace corvane::testing
