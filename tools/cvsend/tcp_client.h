// The client side of a TCP scan connection, as a scanner opens it: connect,
// send, read the reply record, close the sending side and wait for the
// server to close. Used by cvsend's single sends and by its load runs.
//
// Failures are said on standard error (prefixed "cvsend: ") and answered
// with false, -1 or nullopt; nothing throws but memory exhaustion. A
// ScanConnection belongs to one thread at a time; distinct connections may
// be used from distinct threads.

#ifndef CORVANE_TOOLS_CVSEND_TCP_CLIENT_H_
#define CORVANE_TOOLS_CVSEND_TCP_CLIENT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "intake/scan_protocol.h"

namespace corvane::cvsend {

struct Endpoint {
  std::string host = "127.0.0.1";
  std::string port = "5007";
  // Applies to every send and receive of a connection.
  int timeout_seconds = 60;
};

// A socket of `type` connected to the server (for UDP: so that only its
// datagrams arrive); -1 after saying why not.
int ConnectTo(const Endpoint& server, int type);

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

 private:
  bool Fail(const char* what);

  int socket_ = -1;
};

// One full scan over an open connection: the request with `device_id`, the
// reply record (returned), the stream (compressed or plain as given), and
// the close. nullopt when any step failed.
std::optional<intake::ReplyRecord> DeliverFullScan(ScanConnection& connection,
                                                   std::string_view device_id,
                                                   std::string_view stream);

}  // namespace corvane::cvsend

#endif  // CORVANE_TOOLS_CVSEND_TCP_CLIENT_H_
