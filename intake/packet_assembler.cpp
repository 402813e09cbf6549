#include "intake/packet_assembler.h"

#include <algorithm>
#include <functional>
#include <new>

#include "intake/datagram_protocol.h"

namespace corvane::intake {
namespace {

// Map node, string header and allocator rounding of one stored packet.
constexpr size_t kPacketOverhead = 96;

}  // namespace

SenderKey SenderKey::Udp(const std::array<uint8_t, 4>& octets) {
  SenderKey key;
  key.transport = Transport::kUdp;
  std::copy(octets.begin(), octets.end(), key.address.begin());
  return key;
}

std::string SenderName(const SenderKey& sender) {
  const auto& a = sender.address;
  if (sender.transport == Transport::kUdp) return UdpSenderName({a[0], a[1], a[2], a[3]});
  return IpxSenderName({a[0], a[1], a[2], a[3]}, {a[4], a[5], a[6], a[7], a[8], a[9]});
}

uint16_t MaxSetPacketsFor(uint32_t max_scan_file_size) {
  uint64_t packets = (2ull * max_scan_file_size + kDatagramPayloadSize - 1) / kDatagramPayloadSize;
  return static_cast<uint16_t>(std::clamp<uint64_t>(packets, 1, 0xFFFF));
}

size_t PacketAssembler::CostOf(std::string_view payload) {
  return payload.size() + kPacketOverhead;
}

bool PacketAssembler::SequenceAllowed(uint16_t total, uint16_t sequence) const {
  if (sequence == 0 || sequence > limits_.max_set_packets) return false;
  return total == 0 || sequence <= total;
}

PacketAssembler::Outcome PacketAssembler::Add(const SenderKey& sender, uint16_t total,
                                              uint16_t sequence, std::string_view payload,
                                              uint64_t now) {
  Outcome outcome;
  payload = payload.substr(0, kDatagramPayloadSize);
  // A packet refused on its own header changes nothing that is held.
  if (total > limits_.max_set_packets || !SequenceAllowed(total, sequence)) return outcome;

  Entry* entry = entries_.Find(sender);
  if (entry && entry->total != 0 && total != 0 && total != entry->total) {
    // A scan of another size: the held one was abandoned.
    DropSet(sender);
    outcome.dropped = sender;
    entry = nullptr;
  }
  if (!entry) {
    Start(sender, total, sequence, payload, now, outcome);
    return outcome;
  }

  if (entry->total == 0 && total != 0) {
    // The set's total becomes known; packets it leaves no room for go.
    entry->total = total;
    DropPacketsFrom(*entry, static_cast<uint16_t>(total + 1));
  }
  if (!SequenceAllowed(entry->total, sequence)) return outcome;
  auto held = entry->packets.find(sequence);
  if (held != entry->packets.end() && held->second != payload) {
    // The sender's next scan. Sending stop-and-wait, it has had its
    // packets below this one acknowledged as repeats, so they are its own
    // and will not come again; the rest is the abandoned scan's.
    DropPacketsFrom(*entry, sequence);
    entry->created = now;
    outcome.dropped = sender;
    held = entry->packets.end();
  }
  if (held == entry->packets.end()) {
    const size_t cost = CostOf(payload);
    if (buffered_bytes_ + cost > limits_.max_buffered_bytes) return outcome;
    entry->packets.emplace(sequence, std::string(payload));
    entry->bytes += cost;
    buffered_bytes_ += cost;
    outcome.result = Result::kStored;
  } else {
    outcome.result = Result::kRepeated;
  }
  entries_.Touch(sender);
  // A repeated packet can complete a set too: the one that told its total.
  if (entry->total != 0 && entry->packets.size() == entry->total) {
    Complete(sender, *entry, total, sequence, payload, now, outcome);
  }
  return outcome;
}

void PacketAssembler::Start(const SenderKey& sender, uint16_t total, uint16_t sequence,
                            std::string_view payload, uint64_t now, Outcome& outcome) {
  if (const Memory* memory = memories_.Find(sender); memory && Fresh(*memory, now)) {
    if (memory->end == Memory::End::kCompleted && memory->total == total &&
        memory->sequence == sequence &&
        memory->payload_hash == std::hash<std::string_view>{}(payload)) {
      // The acknowledgement of the set's last packet was lost.
      outcome.result = Result::kRepeated;
      return;
    }
    // The rest of a dropped set could never complete.
    if (memory->end == Memory::End::kDropped && sequence != 1) return;
  }

  const size_t cost = CostOf(payload);
  Entry entry{now, total, {}, cost};
  entry.packets.emplace(sequence, std::string(payload));
  if (total == 1) {
    // Complete at once: it never waits in the assembler.
    outcome.result = Result::kStored;
    Complete(sender, entry, total, sequence, payload, now, outcome);
    return;
  }
  if (buffered_bytes_ + cost > limits_.max_buffered_bytes) return;
  const bool full = entries_.size() >= limits_.max_incomplete_sets;
  if (full && entries_.empty()) return;  // no sets allowed at all
  entries_.Put(sender, std::move(entry));
  buffered_bytes_ += cost;
  memories_.Erase(sender);
  outcome.result = Result::kStored;
  if (full) {
    // Room for the new sender: the set that has waited longest for its
    // next packet is the likeliest to be abandoned.
    const SenderKey evicted = *entries_.Oldest();
    DropSet(evicted);
    Remember(evicted, Memory{Memory::End::kDropped, now});
    outcome.dropped = evicted;
  }
}

void PacketAssembler::Complete(const SenderKey& sender, Entry& entry, uint16_t total,
                               uint16_t sequence, std::string_view payload, uint64_t now,
                               Outcome& outcome) {
  CompleteSet set;
  set.sender = sender;
  set.bytes = entry.bytes;
  set.packets.resize(entry.total);
  for (auto& [number, packet] : entry.packets) set.packets[number - 1] = std::move(packet);
  outcome.completed = std::move(set);
  // Only once the set is out: a resend must never be taken for a set
  // that was not handed on.
  Remember(sender, Memory{Memory::End::kCompleted, now, total, sequence,
                          std::hash<std::string_view>{}(payload)});
  DropSet(sender);
}

bool PacketAssembler::DropSet(const SenderKey& sender) {
  Entry* entry = entries_.Find(sender);
  if (!entry) return false;
  buffered_bytes_ -= entry->bytes;
  entries_.Erase(sender);
  return true;
}

void PacketAssembler::DropPacketsFrom(Entry& entry, uint16_t sequence) {
  for (auto it = entry.packets.lower_bound(sequence); it != entry.packets.end();) {
    const size_t dropped = CostOf(it->second);
    entry.bytes -= dropped;
    buffered_bytes_ -= dropped;
    it = entry.packets.erase(it);
  }
}

bool PacketAssembler::Fresh(const Memory& memory, uint64_t now) const {
  return now < memory.when || now - memory.when <= limits_.memory_seconds;
}

void PacketAssembler::Remember(const SenderKey& sender, const Memory& memory) {
  if (limits_.max_remembered_senders == 0) return;
  if (!memories_.Find(sender) && memories_.size() >= limits_.max_remembered_senders) {
    const SenderKey oldest = *memories_.Oldest();
    memories_.Erase(oldest);
  }
  try {
    memories_.Put(sender, memory);
  } catch (const std::bad_alloc&) {
    // Not remembering only costs the protection against a resend or the
    // rest of a dropped set; the set itself is sound.
  }
}

std::vector<SenderKey> PacketAssembler::DropOlderThan(uint64_t now, uint64_t max_age_seconds) {
  std::vector<SenderKey> dropped = entries_.EraseIf([&](const SenderKey&, const Entry& entry) {
    if (now <= entry.created || now - entry.created <= max_age_seconds) return false;
    buffered_bytes_ -= entry.bytes;
    return true;
  });
  memories_.EraseIf([&](const SenderKey&, const Memory& memory) { return !Fresh(memory, now); });
  for (const SenderKey& sender : dropped) Remember(sender, Memory{Memory::End::kDropped, now});
  return dropped;
}

void PacketAssembler::Clear() {
  entries_.Clear();
  memories_.Clear();
  buffered_bytes_ = 0;
}

}  // namespace corvane::intake
