#include "intake/testing/scan_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace corvane::intake::testing {
namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Milliseconds left until `deadline`, at least 0.
int Remaining(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

TestClient::TestClient(uint16_t port, uint32_t local_address) {
  socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(local_address);
  sockaddr_in address = Loopback(port);
  if (socket_ < 0 || bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    if (socket_ >= 0) close(socket_);
    throw std::runtime_error("connect failed: errno " + std::to_string(error));
  }
}

TestClient::~TestClient() {
  if (socket_ >= 0) close(socket_);
}

bool TestClient::Send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t sent = send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

bool TestClient::SendByteByByte(std::string_view bytes, int gap_ms) {
  int on = 1;
  setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
    if (!Send(bytes.substr(i, 1))) return false;
  }
  return true;
}

std::optional<std::string> TestClient::ReceiveExactly(size_t size, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string bytes;
  while (bytes.size() < size) {
    pollfd readable{socket_, POLLIN, 0};
    if (poll(&readable, 1, Remaining(deadline)) <= 0) return std::nullopt;
    char buffer[256];
    ssize_t received = recv(socket_, buffer, std::min(sizeof buffer, size - bytes.size()), 0);
    if (received <= 0) return std::nullopt;
    bytes.append(buffer, static_cast<size_t>(received));
  }
  return bytes;
}

std::optional<ReplyRecord> TestClient::ReceiveReply(int timeout_ms) {
  std::optional<std::string> bytes = ReceiveExactly(kReplyRecordSize, timeout_ms);
  if (!bytes) return std::nullopt;
  return ParseReplyRecord(*bytes);
}

void TestClient::ShutdownSending() { shutdown(socket_, SHUT_WR); }

bool TestClient::WaitForServerClose(int timeout_ms, size_t* received_total) {
  return WaitForServerEnd(timeout_ms, received_total) != ServerEnd::kNone;
}

ServerEnd TestClient::WaitForServerEnd(int timeout_ms, size_t* received_total) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    pollfd readable{socket_, POLLIN, 0};
    if (poll(&readable, 1, Remaining(deadline)) <= 0) return ServerEnd::kNone;
    char buffer[1024];
    ssize_t received = recv(socket_, buffer, sizeof buffer, 0);
    if (received == 0) return ServerEnd::kClosed;
    if (received < 0) return errno == ECONNRESET ? ServerEnd::kReset : ServerEnd::kNone;
    if (received_total != nullptr) *received_total += static_cast<size_t>(received);
  }
}

void TestClient::Reset() {
  linger at_once{1, 0};
  setsockopt(socket_, SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once);
  close(socket_);
  socket_ = -1;
}

ExchangeResult SendFullScan(uint16_t port, std::string_view device_id, std::string_view stream,
                            int timeout_ms) {
  ExchangeResult result;
  TestClient client(port);
  if (!client.Send(BuildFullScanRequest(device_id))) return result;
  result.reply = client.ReceiveReply(timeout_ms);
  if (!result.reply || !client.Send(stream)) return result;
  client.ShutdownSending();
  result.end = client.WaitForServerEnd(timeout_ms);
  result.server_closed = result.end != ServerEnd::kNone;
  return result;
}

std::string CompressedStream(std::string_view file_text) {
  return CompressScanText(ScanTextForWire(file_text));
}

std::string WithCrLf(std::string_view file_text) {
  std::string text;
  for (char c : file_text) {
    if (c == '\n') text.push_back('\r');
    text.push_back(c);
  }
  return text;
}

std::string SyntheticScan(const std::string& device_id, int lines) {
  std::string text = "Device ID = " + device_id + "\n";
  for (int i = 0; i < lines; ++i) {
    text += "Software - Package - (Name:pkg" + std::to_string(i) + ") - Version = 1." +
            std::to_string(i % 17) + "\n";
  }
  return text;
}

}  // namespace corvane::intake::testing
