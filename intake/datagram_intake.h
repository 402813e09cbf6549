// The datagram scan intake: scanners send a scan as numbered datagrams over
// UDP ("UDP Port") or IPX; every accepted data packet is acknowledged with
// its two sequence bytes, the packets are reassembled per sender
// (intake/packet_assembler.h), and the datagram-scan writer thread turns
// each complete set into a scan file in the storage directory
// (scan/packet_set.h). Request datagrams are queued and answered by the
// request reply thread with the 44-byte reply record. The wire format is in
// intake/datagram_protocol.h and docs/datagram-protocol.md.
//
// This system has no IPX: SetUpIpx fails at socket creation, reports
// nothing, and the IPX listener counts as not running.
//
// Threads: one UDP receive thread (from SetUpUdp), the datagram-scan writer
// and the request reply thread (started by server start). They hold the
// shared state themselves, but the context must outlive them: the receive
// thread ends within about a second once the running flag drops (at once
// on CloseUdp or destruction); the writer ends on the worker stop event,
// the reply thread after the started event once the running flag is clear
// and ReleaseWaiters gave it a count. Server stop therefore clears the
// flag, sets the events, calls ReleaseWaiters and then the Join functions.
//
// Locks, always taken in this order: the request queue's, the packet
// assembly list's, the datagram scan queue's. Memory is bounded: complete
// sets waiting for the writer take at most kMaxQueuedDatagramBytes (data
// packets are refused, unacknowledged, while that is full), at most
// kMaxQueuedRequests requests wait, and the assembler's limits apply.
// Network text is data only: it never reaches a format string.
//
// A set that the packet handler gives up (the sender's next scan began, or
// the least recently active set made room for a new sender) is reported
// here with event 2384 "Last Packet not Sent", after the locks are
// released; the sets dropped for their age are the timer's to report.
//
// Set-up, Close and Start functions are called by one thread; the rest is
// thread-safe. A thread that cannot be created reports event 1 and ends the
// process with exit code 1.

#ifndef CORVANE_INTAKE_DATAGRAM_INTAKE_H_
#define CORVANE_INTAKE_DATAGRAM_INTAKE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "service/server_context.h"

namespace corvane::intake {

inline constexpr size_t kMaxIncompleteDatagramScans = 1024;
inline constexpr size_t kMaxBufferedDatagramBytes = size_t{256} << 20;
inline constexpr size_t kMaxQueuedDatagramBytes = size_t{256} << 20;
inline constexpr size_t kMaxQueuedRequests = 1000;
inline constexpr uint32_t kUdpReceiveCloseWaitMs = 5000;

struct DatagramIntakeShared;

struct DatagramIntakeOptions {
  // Bind UDP to 127.0.0.1 only instead of every local address.
  bool loopback_only = false;
  // Seconds on a clock that never goes back; empty: the steady clock.
  std::function<uint64_t()> clock;
  // Overrides of the built-in bounds; 0 keeps the built-in value.
  size_t max_incomplete_scans = 0;
  size_t max_buffered_bytes = 0;
};

class DatagramIntake {
 public:
  // Creates the datagram scan and request semaphores; when that fails, as
  // for a thread, event 1 and exit code 1.
  explicit DatagramIntake(service::ServerContext& context, DatagramIntakeOptions options = {});
  // Closes UDP and waits for its receive thread; a writer or reply thread
  // still running keeps the shared state alive.
  ~DatagramIntake();
  DatagramIntake(const DatagramIntake&) = delete;
  DatagramIntake& operator=(const DatagramIntake&) = delete;

  // IPX listener set-up: always false here, without an event.
  bool SetUpIpx();
  // UDP listener set-up: socket, bind to "UDP Port" (0: any free port) and
  // the receive thread. False after event 2055 or 2056; what was opened is
  // closed again.
  bool SetUpUdp();
  void StartScanWriter();
  void StartRequestReply();

  // One count on the datagram scan semaphore and one on the request
  // semaphore, so their waiting threads look at the running flag.
  void ReleaseWaiters();
  // True when the thread ended within `timeout_ms` or was never started.
  bool JoinScanWriter(uint32_t timeout_ms);
  bool JoinRequestReply(uint32_t timeout_ms);

  void CloseIpx();
  // Closes the UDP socket and waits up to kUdpReceiveCloseWaitMs for the
  // receive thread. Safe to call more than once.
  void CloseUdp();

  // Frees every entry of the datagram scan queue and the request queue.
  void EmptyQueues();

  // Removes the incomplete scans whose first packet came more than
  // `max_age_seconds` ago and returns their senders' names, for the caller
  // to report with event 2384; reports nothing itself. Until such a sender
  // starts again with a packet 1, its other packets are refused.
  std::vector<std::string> DropStaleScans(uint32_t max_age_seconds);

  // The bound UDP port; 0 before a successful SetUpUdp.
  uint16_t udp_port() const;

  size_t IncompleteScans() const;
  size_t QueuedScans() const;
  size_t QueuedRequests() const;

 private:
  std::shared_ptr<DatagramIntakeShared> shared_;
  std::unique_ptr<platform::Thread> udp_thread_;
  std::unique_ptr<platform::Thread> writer_thread_;
  std::unique_ptr<platform::Thread> reply_thread_;
};

}  // namespace corvane::intake

#endif  // CORVANE_INTAKE_DATAGRAM_INTAKE_H_
