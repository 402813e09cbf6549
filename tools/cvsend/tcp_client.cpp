#include "tools/cvsend/tcp_client.h"

#include <errno.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>

namespace corvane::cvsend {

using intake::kReceiveChunkSize;

int ConnectTo(const Endpoint& options, int type) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = type;
  addrinfo* found = nullptr;
  int result = getaddrinfo(options.host.c_str(), options.port.c_str(), &hints, &found);
  if (result != 0) {
    std::cerr << "cvsend: " << options.host << ":" << options.port << ": " << gai_strerror(result)
              << "\n";
    return -1;
  }
  int connected = -1;
  for (addrinfo* address = found; address != nullptr && connected < 0; address = address->ai_next) {
    connected = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, 0);
    if (connected >= 0 && connect(connected, address->ai_addr, address->ai_addrlen) != 0) {
      close(connected);
      connected = -1;
    }
  }
  int error = errno;
  freeaddrinfo(found);
  if (connected < 0) {
    std::cerr << "cvsend: cannot connect to " << options.host << ":" << options.port << ": "
              << std::strerror(error) << "\n";
  }
  return connected;
}

ScanConnection::~ScanConnection() {
  if (socket_ >= 0) close(socket_);
}

bool ScanConnection::Open(const Endpoint& server) {
  socket_ = ConnectTo(server, SOCK_STREAM);
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
      std::cerr << "cvsend: the server closed the connection before its reply\n";
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
  int error = errno;
  // The server resets a connection whose scan it did not take; a send or
  // shutdown after the reset sees it as a broken or gone connection.
  if (error == ECONNRESET || error == EPIPE || error == ENOTCONN) {
    std::cerr << "cvsend: " << what
              << ": the server reset the connection: the scan was not taken\n";
  } else {
    std::cerr << "cvsend: " << what << ": "
              << (error == EAGAIN ? "timed out" : std::strerror(error)) << "\n";
  }
  return false;
}

std::optional<intake::ReplyRecord> DeliverFullScan(ScanConnection& connection,
                                                   std::string_view device_id,
                                                   std::string_view stream) {
  if (!connection.Send(intake::BuildFullScanRequest(device_id))) return std::nullopt;
  std::optional<std::string> reply_bytes = connection.ReceiveExactly(intake::kReplyRecordSize);
  if (!reply_bytes) return std::nullopt;
  std::optional<intake::ReplyRecord> reply = intake::ParseReplyRecord(*reply_bytes);
  if (!reply) {
    std::cerr << "cvsend: the reply record is malformed\n";
    return std::nullopt;
  }
  if (!connection.Send(stream) || !connection.FinishAndWaitForClose()) return std::nullopt;
  return reply;
}

}  // namespace corvane::cvsend
