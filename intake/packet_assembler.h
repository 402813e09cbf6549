// Reassembly of datagram scans: one entry per sender collects the numbered
// packets of a scan until every packet from 1 to the scan's total is there.
//
// The assembler is pure (no sockets, no clock, no locks): the caller passes
// the time and serialises the calls (the datagram intake holds the packet
// assembly list's lock around each one).
//
// Memory is bounded, so that a flood of packets cannot exhaust the server:
// - per set: only packets actually received take memory, a set has at most
//   `max_set_packets` packets, and a sequence number above the set's total
//   is refused;
// - in total: at most `max_incomplete_sets` sets are collected at once and
//   their payloads take at most `max_buffered_bytes`; a packet beyond either
//   limit is refused.
// A refused packet is stored nowhere and must not be acknowledged, so its
// sender sends it again later.

#ifndef CORVANE_INTAKE_PACKET_ASSEMBLER_H_
#define CORVANE_INTAKE_PACKET_ASSEMBLER_H_

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scan/packet_set.h"

namespace corvane::intake {

enum class Transport : uint8_t { kIpx = 0, kUdp = 1 };

// Who sent a packet. UDP senders are told apart by their IPv4 address only
// (the first 4 bytes), so every port of one machine feeds one entry; IPX
// senders by network (4 bytes), node (6 bytes) and socket (2 bytes).
struct SenderKey {
  Transport transport = Transport::kUdp;
  std::array<uint8_t, 12> address{};

  static SenderKey Udp(const std::array<uint8_t, 4>& octets);
  auto operator<=>(const SenderKey&) const = default;
};

// "%d.%d.%d.%d" for UDP, network and node in hexadecimal for IPX.
std::string SenderName(const SenderKey& sender);

struct AssemblerLimits {
  uint16_t max_set_packets = 0xFFFF;
  size_t max_incomplete_sets = 1024;
  size_t max_buffered_bytes = 256u << 20;
};

// The packets a set may have for a "Max Scan File Size": enough for twice
// that many bytes of payload, at least 1 and at most 65535.
uint16_t MaxSetPacketsFor(uint32_t max_scan_file_size);

// A complete set, ready for the datagram-scan writer.
struct CompleteSet {
  SenderKey sender;
  scan::PacketSet packets;
  // Payload bytes the set holds.
  size_t bytes = 0;
};

class PacketAssembler {
 public:
  enum class Result {
    kStored,    // kept (acknowledge)
    kRepeated,  // that packet was there already (acknowledge again)
    kRefused,   // kept nowhere (no acknowledgement)
  };

  explicit PacketAssembler(AssemblerLimits limits = {}) : limits_(limits) {}

  // Adds packet `sequence` (from 1) of a set of `total` packets (0: not
  // known yet, a later packet tells). When it completes the set, the set
  // leaves the assembler through `completed`. `now` is in seconds.
  Result Add(const SenderKey& sender, uint16_t total, uint16_t sequence, std::string_view payload,
             uint64_t now, std::optional<CompleteSet>& completed);

  // Removes every set whose first packet came more than `max_age_seconds`
  // before `now`; returns their senders.
  std::vector<SenderKey> DropOlderThan(uint64_t now, uint64_t max_age_seconds);

  size_t incomplete_sets() const { return entries_.size(); }
  size_t buffered_bytes() const { return buffered_bytes_; }
  const AssemblerLimits& limits() const { return limits_; }
  void Clear();

 private:
  struct Entry {
    uint64_t created = 0;
    uint16_t total = 0;
    std::map<uint16_t, std::string> packets;
    size_t bytes = 0;
  };

  // What one stored packet costs against max_buffered_bytes: its payload
  // and the bookkeeping around it.
  static size_t CostOf(std::string_view payload);
  bool SequenceAllowed(uint16_t total, uint16_t sequence) const;
  static CompleteSet Complete(const SenderKey& sender, Entry& entry);

  AssemblerLimits limits_;
  std::map<SenderKey, Entry> entries_;
  size_t buffered_bytes_ = 0;
};

}  // namespace corvane::intake

#endif  // CORVANE_INTAKE_PACKET_ASSEMBLER_H_
