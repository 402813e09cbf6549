#include "intake/scan_client.h"

#include <errno.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace corvane::intake {

int ConnectTo(const Endpoint& server, int type, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = type;
  addrinfo* found = nullptr;
  int result = getaddrinfo(server.host.c_str(), server.port.c_str(), &hints, &found);
  if (result != 0) {
    *error = server.host + ":" + server.port + ": " + gai_strerror(result);
    return -1;
  }
  int connected = -1;
  int reason = 0;
  for (addrinfo* address = found; address != nullptr && connected < 0; address = address->ai_next) {
    connected = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, 0);
    if (connected >= 0 && connect(connected, address->ai_addr, address->ai_addrlen) != 0) {
      reason = errno;
      close(connected);
      connected = -1;
    } else if (connected < 0) {
      reason = errno;
    }
  }
  freeaddrinfo(found);
  if (connected < 0) {
    *error = "cannot connect to " + server.host + ":" + server.port + ": " + std::strerror(reason);
  }
  return connected;
}

ScanConnection::~ScanConnection() {
  if (socket_ >= 0) close(socket_);
}

bool ScanConnection::Open(const Endpoint& server) {
  socket_ = ConnectTo(server, SOCK_STREAM, &error_);
  if (socket_ < 0) return false;
  timeval timeout{server.timeout_seconds, 0};
  setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  return true;
}

bool ScanConnection::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t sent = send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return Fail("send");
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

std::optional<std::string> ScanConnection::ReceiveExactly(size_t size) {
  std::string bytes;
  char buffer[kReceiveChunkSize];
  while (bytes.size() < size) {
    ssize_t received = recv(socket_, buffer, std::min(sizeof buffer, size - bytes.size()), 0);
    if (received < 0 && errno == EINTR) continue;
    if (received == 0) {
      error_ = "the server closed the connection before its reply";
      return std::nullopt;
    }
    if (received < 0) {
      Fail("receive");
      return std::nullopt;
    }
    bytes.append(buffer, static_cast<size_t>(received));
  }
  return bytes;
}

bool ScanConnection::FinishAndWaitForClose() {
  if (shutdown(socket_, SHUT_WR) != 0) return Fail("shutdown");
  char buffer[kReceiveChunkSize];
  for (;;) {
    ssize_t received = recv(socket_, buffer, sizeof buffer, 0);
    if (received == 0) return true;
    if (received < 0 && errno == EINTR) continue;
    if (received < 0) return Fail("waiting for the server to close");
  }
}

bool ScanConnection::Fail(const char* what) {
  int reason = errno;
  // The server resets a connection whose scan it did not take; a send or
  // shutdown after the reset sees it as a broken or gone connection.
  if (reason == ECONNRESET || reason == EPIPE || reason == ENOTCONN) {
    error_ = std::string(what) + ": the server reset the connection: the scan was not taken";
  } else {
    error_ = std::string(what) + ": " + (reason == EAGAIN ? "timed out" : std::strerror(reason));
  }
  return false;
}

std::optional<ReplyRecord> RequestFullScan(ScanConnection& connection, std::string_view device_id) {
  if (!connection.Send(BuildFullScanRequest(device_id))) return std::nullopt;
  std::optional<std::string> reply_bytes = connection.ReceiveExactly(kReplyRecordSize);
  if (!reply_bytes) return std::nullopt;
  std::optional<ReplyRecord> reply = ParseReplyRecord(*reply_bytes);
  if (!reply) connection.set_error("the reply record is malformed");
  return reply;
}

std::optional<ReplyRecord> DeliverFullScan(ScanConnection& connection, std::string_view device_id,
                                           std::string_view stream) {
  std::optional<ReplyRecord> reply = RequestFullScan(connection, device_id);
  if (!reply || !connection.Send(stream) || !connection.FinishAndWaitForClose()) {
    return std::nullopt;
  }
  return reply;
}

}  // namespace corvane::intake
