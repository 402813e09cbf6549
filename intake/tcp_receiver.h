// The TCP scan listener: accepts scanner connections on "TCP Port", gives
// each its own thread, answers a full-scan request with the reply record and
// writes the scan stream (zlib or plain) as a scan file into the storage
// directory; mini scans become mini-scan files. Failures are reported as
// events of the server's catalogue.
//
// The context must outlive the receiver and every connection thread (they
// end by themselves once the running flag drops, a receive times out or the
// peer closes). The storage paths follow from the context's program
// directory when the receiver is made; a scan that arrives before
// SetUpStorageDirectories has created them fails as a transfer. Network text
// is data only: it never reaches a format string.
//
// The request packet is read until it is whole, however many receives it
// takes: up to its terminating NUL (two for a mini scan), the end of a
// receive chunk, the client's close of its side, or a pause of
// kRequestPauseMs after the type word has come (how a request of the bare
// header ends).
//
// Limits that keep a hostile or broken client from holding the server:
// every receive waits at most "TCP Idle Timeout" seconds; the whole request
// must arrive within "TCP Request Timeout" seconds of the accept; at most
// "Max TCP Connections" connection threads run at once, at most "Max TCP
// Connections Per Address" of them for one client address (connections
// beyond either are refused at once); and a scan whose file would grow past
// twice "Max Scan File Size" (its text after the line-end conversion, and
// the address line) is stopped as a failed transfer with no more than that
// written, wherever the file is kept. A limit
// of 0 in the settings stands for its built-in default (300 s, 30 s, 1024
// and 16 connections), since a zero would either lift the bound or shut
// TCP intake off.
//
// A connection whose scan was not taken (refused, request incomplete in
// time, any failed reception) ends with a reset rather than an orderly
// close, so that a client waiting for the close knows. An orderly close
// follows only a scan file stored under its final name (an unknown type
// word's in "ErrorScan" too), an ignored mini scan, or a client that sent
// no data.
//
// SetUp and Close are called by one thread; the rest is thread-safe.

#ifndef CORVANE_INTAKE_TCP_RECEIVER_H_
#define CORVANE_INTAKE_TCP_RECEIVER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "service/server_context.h"

namespace corvane::intake {

inline constexpr uint32_t kAcceptThreadCloseWaitMs = 5000;
// Connection threads do little beyond a 1 KiB receive and calls into zlib
// and the event library, so a small stack lets thousands run cheaply.
inline constexpr size_t kConnectionThreadStackSize = 256 * 1024;
// Silence that ends a request packet whose bytes do not show its end. Long
// enough for a client's pieces on a slow link, short enough that a request
// of the bare header is answered at once to a person.
inline constexpr uint32_t kRequestPauseMs = 1000;

// What the accept thread and the connection threads share with the owner;
// each of them holds it, so it lives as long as the last of them.
struct TcpReceiverShared;

struct TcpReceiverOptions {
  // Listen on 127.0.0.1 only instead of every local address.
  bool loopback_only = false;
};

class TcpReceiver {
 public:
  explicit TcpReceiver(service::ServerContext& context, TcpReceiverOptions options = {});
  // Closes the listener; connection threads still running finish on their own.
  ~TcpReceiver();
  TcpReceiver(const TcpReceiver&) = delete;
  TcpReceiver& operator=(const TcpReceiver&) = delete;

  // Listener set-up: socket, bind, listen and the accept thread. False after
  // the failure was reported (events 2060 to 2065); the caller then runs
  // Close(). When the accept thread cannot be created the process ends with
  // exit code 1 after events 2066 and 1.
  bool SetUp();

  // Closes the listening socket at once and waits up to 5000 ms for the
  // accept thread. Safe to call more than once and after a failed SetUp.
  void Close();

  // The port the listener is bound to; 0 before a successful SetUp.
  uint16_t port() const;

  // Connection threads running now.
  size_t ActiveConnections() const;

  // Waits until no connection thread runs; false when some still run after
  // `timeout_ms`.
  bool WaitForConnections(uint32_t timeout_ms) const;

 private:
  std::shared_ptr<TcpReceiverShared> shared_;
  std::unique_ptr<platform::Thread> accept_thread_;
};

}  // namespace corvane::intake

#endif  // CORVANE_INTAKE_TCP_RECEIVER_H_
