// The client side of a TCP scan connection, as a scanner opens it: connect,
// send, read the reply record, close the sending side and wait for the
// server to close. Used by cvsend (single sends and load runs) and by the
// scanner rivozu32.
//
// Failures are answered with false, -1 or nullopt, and their reason (with
// the server's address or the step that failed) is kept for the caller to
// tell: in `*error` for ConnectTo, in error() for a connection. Nothing is
// printed; nothing throws but memory exhaustion. A ScanConnection belongs
// to one thread at a time; distinct connections may be used from distinct
// threads.

#ifndef CORVANE_INTAKE_SCAN_CLIENT_H_
#define CORVANE_INTAKE_SCAN_CLIENT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "intake/scan_protocol.h"

namespace corvane::intake {

struct Endpoint {
  std::string host = "127.0.0.1";
  std::string port = "5007";
  // Applies to every send and receive of a connection.
  int timeout_seconds = 60;
};

// A socket of `type` connected to the server (for UDP: so that only its
// datagrams arrive); -1 with the reason in `*error`.
int ConnectTo(const Endpoint& server, int type, std::string* error);

class ScanConnection {
 public:
  ScanConnection() = default;
  ~ScanConnection();
  ScanConnection(const ScanConnection&) = delete;
  ScanConnection& operator=(const ScanConnection&) = delete;

  bool Open(const Endpoint& server);
  bool Send(std::string_view bytes);
  std::optional<std::string> ReceiveExactly(size_t size);
  // Closes the sending side, so the server sees the end of the scan, and
  // waits until the server has closed its side too. False when the server
  // reset the connection instead: it did not take the scan.
  bool FinishAndWaitForClose();

  // Why the last step that failed did.
  const std::string& error() const { return error_; }
  // For a caller's own check of what the server sent (a reply record
  // that does not parse).
  void set_error(std::string reason) { error_ = std::move(reason); }

 private:
  bool Fail(const char* what);

  int socket_ = -1;
  std::string error_;
};

// The request with `device_id` and the server's reply record, which says
// how to scan; the scan stream follows with Send and FinishAndWaitForClose.
std::optional<ReplyRecord> RequestFullScan(ScanConnection& connection, std::string_view device_id);

// One full scan over an open connection: the request with `device_id`, the
// reply record (returned), the stream (compressed or plain as given), and
// the close. nullopt when any step failed, with the reason in the
// connection's error().
std::optional<ReplyRecord> DeliverFullScan(ScanConnection& connection, std::string_view device_id,
                                           std::string_view stream);

}  // namespace corvane::intake

#endif  // CORVANE_INTAKE_SCAN_CLIENT_H_
