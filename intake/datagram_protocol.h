// The datagram scan protocol as bytes, shared by the server's datagram
// intake and the scan client: the 8-byte header, the payload checksum, the
// two-byte acknowledgement, the flags of the datagram reply record, sender
// names, and the splitting of a scan text into packet payloads.
//
// Everything here is pure (no sockets, no files) and thread-safe; nothing
// throws except for memory exhaustion. docs/datagram-protocol.md describes
// the protocol for scanner writers.

#ifndef CORVANE_INTAKE_DATAGRAM_PROTOCOL_H_
#define CORVANE_INTAKE_DATAGRAM_PROTOCOL_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::intake {

inline constexpr uint16_t kDatagramRequest = 0x0000;
inline constexpr uint16_t kDatagramScanData = 0x0400;
inline constexpr size_t kDatagramHeaderSize = 8;
inline constexpr size_t kDatagramPayloadSize = 542;
inline constexpr size_t kMaxDatagramSize = kDatagramHeaderSize + kDatagramPayloadSize;
inline constexpr size_t kAcknowledgementSize = 2;
// A scan-data datagram with sequence 0 still counts as a request while its
// checksum field is at most this.
inline constexpr uint16_t kMaxRequestChecksum = 1;

// Header fields; on the wire each is a little-endian 16-bit word.
struct DatagramHeader {
  uint16_t type = 0;
  uint16_t total = 0;
  uint16_t sequence = 0;
  uint16_t checksum = 0;
};

// nullopt when `datagram` is shorter than the header.
std::optional<DatagramHeader> ParseDatagramHeader(std::string_view datagram);

// The header followed by `payload`.
std::string BuildDatagram(const DatagramHeader& header, std::string_view payload);

// The sum of the payload's bytes (0 to 255 each), modulo 65536.
uint16_t PayloadChecksum(std::string_view payload);

// The sequence field exactly as it was received.
std::array<uint8_t, kAcknowledgementSize> AcknowledgementOf(std::string_view datagram);

// The reply record's flags for a datagram request: always with
// encryption, never with the device-specific bits.
uint32_t DatagramReplyFlags(bool do_delta);

// "%d.%d.%d.%d", first octet first.
std::string UdpSenderName(const std::array<uint8_t, 4>& octets);
// The network number and the node number in upper-case hexadecimal, two
// digits a byte, joined by ":".
std::string IpxSenderName(const std::array<uint8_t, 4>& network,
                          const std::array<uint8_t, 6>& node);

// Splits a scan file text (LF or CR LF line ends) into packet payloads of
// at most kDatagramPayloadSize bytes, the way a scanner sends it:
// - every line travels as one NUL-terminated string and never crosses a
//   payload boundary; empty lines are left out (an empty string would end
//   the payload), NUL bytes are dropped, and a line too long for one
//   payload is cut into pieces of kDatagramPayloadSize - 1 bytes;
// - a contents block's bytes (CR LF line ends, up to its "_EndContents"
//   line) are cut into strings wherever a payload fills, so the block can
//   span payloads; its first header line is set to the length of those
//   bytes, and an empty header line travels as one blank;
// - a payload with room to spare ends with an empty string.
// Fails (nullopt, with the reason in `error` when given) for a contents
// block whose first header line is not a decimal length.
std::optional<std::vector<std::string>> SplitScanIntoPayloads(std::string_view file_text,
                                                              std::string* error = nullptr);

// The datagrams of a whole scan: payloads from SplitScanIntoPayloads,
// enciphered with the datagram scan key when asked, each with its header
// (type 0x0400, the total, sequence numbers from 1, the checksum of the
// payload as sent).
std::optional<std::vector<std::string>> BuildScanDatagrams(std::string_view file_text,
                                                           bool encipher,
                                                           std::string* error = nullptr);

// A request datagram: type 0, the other header fields 0, no payload.
std::string BuildRequestDatagram();

}  // namespace corvane::intake

#endif  // CORVANE_INTAKE_DATAGRAM_PROTOCOL_H_
