// Reassembly of datagram scans: one entry per sender collects the numbered
// packets of a scan until every packet from 1 to the scan's total is there.
//
// The assembler is pure (no sockets, no clock, no locks): the caller passes
// the time (seconds on a clock that never goes back) and serialises the
// calls (the datagram intake holds the packet assembly list's lock around
// each one).
//
// A scanner sends stop-and-wait: one packet, then it waits for the
// acknowledgement and sends the packet again after a time-out, so it sends
// its packets in order and starts its next scan only once the last one was
// acknowledged. The protocol carries no scan number, so the assembler tells
// a sender's scans apart by these rules:
// - a packet whose total differs from the held set's known total belongs
//   to another scan: the held set is given up;
// - a packet whose sequence number is held with a different payload starts
//   the sender's next scan: the held packets below it are kept (the new scan
//   sent them already, identical, and had them acknowledged as repeats), the
//   packets from it upwards go;
// - after a set is complete, a packet identical to the one that completed
//   it is a resend of a lost acknowledgement's packet, not a new scan: it
//   is acknowledged and kept nowhere;
// - after an incomplete set was dropped (by age or to make room), packets
//   of that sender other than a packet 1 are refused, so that the scanner
//   learns that its scan was lost instead of having the rest acknowledged
//   into a set that can never complete.
// The last two are remembered per sender for `memory_seconds` and for at
// most `max_remembered_senders` senders (the least recently remembered one
// is forgotten first), until the sender starts a new set.
//
// Memory is bounded, so that a flood of packets cannot exhaust the server:
// - per set: only packets actually received take memory, a set has at most
//   `max_set_packets` packets, and a sequence number above the set's total
//   is refused;
// - in total: at most `max_incomplete_sets` sets are collected at once; a
//   new sender beyond that makes room by dropping the set that was active
//   least recently (the last packet stored or repeated, not the first, so
//   a set still being sent is kept); their payloads take at most
//   `max_buffered_bytes`, and a packet beyond that is refused.
// A refused packet is stored nowhere and must not be acknowledged, so its
// sender sends it again later. A set that is given up is reported by the
// caller as never finished (event 2384).
//
// Add may throw std::bad_alloc; the packet then counts as refused and the
// assembler stays consistent.

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

#include "intake/recency_map.h"
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
  uint64_t memory_seconds = 300;
  size_t max_remembered_senders = 4096;
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

  struct Outcome {
    Result result = Result::kRefused;
    // The set this packet completed; it has left the assembler.
    std::optional<CompleteSet> completed;
    // The sender of a set this packet made the assembler give up: its own
    // earlier scan, or the least recently active set to make room. At most
    // one per packet.
    std::optional<SenderKey> dropped;
  };

  explicit PacketAssembler(AssemblerLimits limits = {}) : limits_(limits) {}

  // Adds packet `sequence` (from 1) of a set of `total` packets (0: not
  // known yet, a later packet tells).
  Outcome Add(const SenderKey& sender, uint16_t total, uint16_t sequence, std::string_view payload,
              uint64_t now);

  // Removes every set whose first packet came more than `max_age_seconds`
  // before `now` and returns their senders; forgets what has been
  // remembered for longer than `memory_seconds`.
  std::vector<SenderKey> DropOlderThan(uint64_t now, uint64_t max_age_seconds);

  size_t incomplete_sets() const { return entries_.size(); }
  size_t buffered_bytes() const { return buffered_bytes_; }
  size_t remembered_senders() const { return memories_.size(); }
  const AssemblerLimits& limits() const { return limits_; }
  void Clear();

 private:
  struct Entry {
    uint64_t created = 0;
    uint16_t total = 0;
    std::map<uint16_t, std::string> packets;
    size_t bytes = 0;
  };

  // How a sender's last set ended, while it has no set being collected.
  struct Memory {
    enum class End : uint8_t { kCompleted, kDropped } end = End::kCompleted;
    uint64_t when = 0;
    // kCompleted: the packet that completed the set, as it came.
    uint16_t total = 0;
    uint16_t sequence = 0;
    size_t payload_hash = 0;
  };

  // What one stored packet costs against max_buffered_bytes: its payload
  // and the bookkeeping around it.
  static size_t CostOf(std::string_view payload);
  bool SequenceAllowed(uint16_t total, uint16_t sequence) const;
  // A packet of a sender that has no set being collected.
  void Start(const SenderKey& sender, uint16_t total, uint16_t sequence, std::string_view payload,
             uint64_t now, Outcome& outcome);
  // Hands the whole set out and remembers the packet that completed it.
  void Complete(const SenderKey& sender, Entry& entry, uint16_t total, uint16_t sequence,
                std::string_view payload, uint64_t now, Outcome& outcome);
  // Removes the sender's set; true when there was one.
  bool DropSet(const SenderKey& sender);
  // Removes the packets from `sequence` upwards.
  void DropPacketsFrom(Entry& entry, uint16_t sequence);
  bool Fresh(const Memory& memory, uint64_t now) const;
  // Never throws: a memory that cannot be kept is left out.
  void Remember(const SenderKey& sender, const Memory& memory);

  AssemblerLimits limits_;
  RecencyMap<SenderKey, Entry> entries_;
  RecencyMap<SenderKey, Memory> memories_;
  size_t buffered_bytes_ = 0;
};

}  // namespace corvane::intake

#endif  // CORVANE_INTAKE_PACKET_ASSEMBLER_H_
