// Test helper: a loopback TCP client that speaks the scan protocol the way a
// scanner does, with every wait bounded.

#ifndef CORVANE_INTAKE_TESTING_SCAN_CLIENT_H_
#define CORVANE_INTAKE_TESTING_SCAN_CLIENT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "intake/scan_protocol.h"

namespace corvane::intake::testing {

// How the server ended a connection, as its client saw it.
enum class ServerEnd { kNone, kClosed, kReset };

class TestClient {
 public:
  // Connects from `local_address` (host byte order, any port) to
  // 127.0.0.1:`port`; throws std::runtime_error on failure.
  explicit TestClient(uint16_t port, uint32_t local_address = 0x7F000001);
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool Send(std::string_view bytes);
  // Sends every byte in a segment of its own, `gap_ms` apart.
  bool SendByteByByte(std::string_view bytes, int gap_ms);
  // Exactly `size` bytes, or nullopt when they did not come in time.
  std::optional<std::string> ReceiveExactly(size_t size, int timeout_ms = 5000);
  std::optional<ReplyRecord> ReceiveReply(int timeout_ms = 5000);
  void ShutdownSending();
  // True when the server closed (or reset) the connection within
  // `timeout_ms`; bytes that arrive meanwhile are counted in `received`.
  bool WaitForServerClose(int timeout_ms = 5000, size_t* received = nullptr);
  // The same, telling an orderly close from a reset; kNone after
  // `timeout_ms` or on another failure.
  ServerEnd WaitForServerEnd(int timeout_ms = 5000, size_t* received = nullptr);
  // Aborts the connection: the server sees "connection reset by peer".
  void Reset();

 private:
  int socket_ = -1;
};

// A whole full-scan exchange: request, reply, `stream` (already compressed
// or plain), close of the sending side, wait for the server's close.
struct ExchangeResult {
  std::optional<ReplyRecord> reply;
  bool server_closed = false;  // by an orderly close or a reset
  ServerEnd end = ServerEnd::kNone;
};
ExchangeResult SendFullScan(uint16_t port, std::string_view device_id, std::string_view stream,
                            int timeout_ms = 10000);

// The zlib stream of a scan file text as a scanner sends it.
std::string CompressedStream(std::string_view file_text);

// LF line ends as CR LF: the file the server writes for a scan text.
std::string WithCrLf(std::string_view file_text);

// A scan text of `lines` package lines after its device ID, LF line ends.
std::string SyntheticScan(const std::string& device_id, int lines);

// The line the receiver appends for a client on 127.0.0.1.
inline constexpr char kLoopbackAddressLine[] = "Network - TCPIP - Address =127.000.000.001\r\n";

}  // namespace corvane::intake::testing

#endif  // CORVANE_INTAKE_TESTING_SCAN_CLIENT_H_
