#include "intake/packet_assembler.h"

#include <algorithm>

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

CompleteSet PacketAssembler::Complete(const SenderKey& sender, Entry& entry) {
  CompleteSet set;
  set.sender = sender;
  set.bytes = entry.bytes;
  set.packets.resize(entry.total);
  for (auto& [sequence, payload] : entry.packets) set.packets[sequence - 1] = std::move(payload);
  return set;
}

PacketAssembler::Result PacketAssembler::Add(const SenderKey& sender, uint16_t total,
                                             uint16_t sequence, std::string_view payload,
                                             uint64_t now, std::optional<CompleteSet>& completed) {
  completed.reset();
  payload = payload.substr(0, kDatagramPayloadSize);
  const size_t cost = CostOf(payload);
  const bool total_allowed = total <= limits_.max_set_packets;

  auto found = entries_.find(sender);
  if (found == entries_.end()) {
    if (!total_allowed || !SequenceAllowed(total, sequence)) return Result::kRefused;
    Entry entry{now, total, {}, cost};
    entry.packets.emplace(sequence, std::string(payload));
    if (total == 1) {
      // Complete at once: it never waits in the assembler.
      completed = Complete(sender, entry);
      return Result::kStored;
    }
    if (entries_.size() >= limits_.max_incomplete_sets ||
        buffered_bytes_ + cost > limits_.max_buffered_bytes) {
      return Result::kRefused;
    }
    entries_.emplace(sender, std::move(entry));
    buffered_bytes_ += cost;
    return Result::kStored;
  }

  Entry& entry = found->second;
  if (entry.total == 0 && total != 0) {
    if (!total_allowed) return Result::kRefused;
    // The set's total becomes known; packets it leaves no room for go.
    entry.total = total;
    for (auto it = entry.packets.upper_bound(total); it != entry.packets.end();) {
      const size_t dropped = CostOf(it->second);
      entry.bytes -= dropped;
      buffered_bytes_ -= dropped;
      it = entry.packets.erase(it);
    }
  }
  if (!SequenceAllowed(entry.total, sequence)) return Result::kRefused;
  Result result = Result::kRepeated;
  if (!entry.packets.contains(sequence)) {
    if (buffered_bytes_ + cost > limits_.max_buffered_bytes) return Result::kRefused;
    entry.packets.emplace(sequence, std::string(payload));
    entry.bytes += cost;
    buffered_bytes_ += cost;
    result = Result::kStored;
  }
  // A repeated packet can complete a set too: the one that told its total.
  if (entry.total != 0 && entry.packets.size() == entry.total) {
    buffered_bytes_ -= entry.bytes;
    completed = Complete(sender, entry);
    entries_.erase(found);
  }
  return result;
}

std::vector<SenderKey> PacketAssembler::DropOlderThan(uint64_t now, uint64_t max_age_seconds) {
  std::vector<SenderKey> dropped;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (now > it->second.created && now - it->second.created > max_age_seconds) {
      dropped.push_back(it->first);
      buffered_bytes_ -= it->second.bytes;
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
  return dropped;
}

void PacketAssembler::Clear() {
  entries_.clear();
  buffered_bytes_ = 0;
}

}  // namespace corvane::intake
