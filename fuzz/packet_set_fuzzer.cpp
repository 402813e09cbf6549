// Fuzzes the packet-set conversion. The input is a list of packets, each a
// 16-bit little-endian length (modulo 543; 0xFFFF marks a missing packet)
// followed by that many bytes. The set goes through the conversion as it
// is, and a plain set a second time enciphered, which must give the same
// text.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "scan/packet_set.h"
#include "scan/tea.h"

namespace {

using corvane::scan::PacketSet;

constexpr uint16_t kMissing = 0xFFFF;

PacketSet Split(const uint8_t* data, size_t size) {
  PacketSet packets;
  size_t at = 0;
  while (at + 2 <= size) {
    uint16_t word = static_cast<uint16_t>(data[at] | data[at + 1] << 8);
    at += 2;
    if (word == kMissing) {
      packets.emplace_back();
      continue;
    }
    size_t length = std::min<size_t>(word % (corvane::scan::kPacketPayloadSize + 1), size - at);
    packets.emplace_back(std::string(reinterpret_cast<const char*>(data + at), length));
    at += length;
  }
  return packets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const corvane::scan::TeaKey key = corvane::scan::DatagramScanKey();
  PacketSet packets = Split(data, size);
  std::optional<std::string> text = corvane::scan::PacketSetToScanText(packets, key);

  size_t examined = 0;
  for (const auto& packet : packets) examined += packet ? corvane::scan::kPacketPayloadSize : 0;
  // Each string turns into at most itself, a line end and a length line.
  if (text && text->size() > 3 * examined + 64) __builtin_trap();

  if (corvane::scan::IsEncipheredPacketSet(packets)) return 0;
  PacketSet enciphered = packets;
  for (auto& packet : enciphered) {
    if (!packet) continue;
    corvane::scan::EncipherPayload(
        std::span<uint8_t>(reinterpret_cast<uint8_t*>(packet->data()), packet->size()), key);
  }
  // A first packet that enciphers into "Device I" would stay plain; the
  // chance is 2^-64, but the fuzzer may find an input that does it.
  if (!corvane::scan::IsEncipheredPacketSet(enciphered)) {
    return 0;
  }
  if (corvane::scan::PacketSetToScanText(enciphered, key) != text) __builtin_trap();
  return 0;
}
