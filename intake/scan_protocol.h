// The TCP scan protocol as bytes: the request packet, the 44-byte reply
// record, the scan stream's text form, mini-scan payloads, and the zlib
// stream in both directions.
//
// Everything here is pure (no sockets, no files) and shared by the server's
// receiver and the scan client, so both sides agree byte for byte. Functions
// are thread-safe; a ScanInflater belongs to one connection at a time.
// Nothing here throws except for memory exhaustion and a zlib stream that
// cannot be initialised (std::runtime_error).

#ifndef CORVANE_INTAKE_SCAN_PROTOCOL_H_
#define CORVANE_INTAKE_SCAN_PROTOCOL_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::intake {

inline constexpr uint16_t kFullScanRequest = 0x0400;
inline constexpr uint16_t kMiniScanRequest = 0x0401;

// Every receive of a connection reads at most this much.
inline constexpr size_t kReceiveChunkSize = 1024;
// The device ID starts here in a full-scan request.
inline constexpr size_t kRequestHeaderSize = 8;

inline constexpr size_t kReplyRecordSize = 44;
using ReplyRecordBytes = std::array<uint8_t, kReplyRecordSize>;

// Option flags of the reply record.
inline constexpr uint32_t kReplyAlwaysFlags = 0x5FFFF;
inline constexpr uint32_t kReplyDeltaFlag = 0x20000;
inline constexpr uint32_t kReplyEncryptFlag = 0x400000;
inline constexpr uint32_t kReplyBadDeviceIdFlag = 0x80000;
inline constexpr uint32_t kReplyForceFullScanFlag = 0x200000;

// A plain (uncompressed) scan stream begins with this text.
inline constexpr std::string_view kPlainScanStart = "Device ID =";

// The biggest mini-scan file the receiver writes.
inline constexpr size_t kMaxMiniScanFileSize = 2048;

struct ScanRequest {
  // Missing bytes of a packet shorter than two bytes read as zero.
  uint16_t type_word = 0;
  // Present only when the packet is longer than the 8-byte header; runs to
  // the first NUL or the end of the packet.
  std::optional<std::string> device_id;
};

ScanRequest ParseScanRequest(std::string_view packet);

// How far the bytes of a request packet that arrives in pieces have come.
// kComplete: a full-scan (or unknown) request has its NUL-terminated device
// ID after the header, a mini scan its two NULs in a row, or the bytes fill
// a whole receive chunk. kTypeKnown: the type word is there but the packet
// may go on; what ends it then is the client falling silent (a request of
// the bare header carries no device ID). kPartial: not even the type word.
enum class RequestProgress { kPartial, kTypeKnown, kComplete };
RequestProgress ScanRequestProgress(std::string_view bytes);

// A full-scan request as a scanner sends it: type word, six zero bytes, the
// device ID and its NUL.
std::string BuildFullScanRequest(std::string_view device_id);

// A mini-scan packet: type word, then every line of `lines` (LF or CR LF
// ends) NUL-terminated, then one more NUL.
std::string BuildMiniScanPacket(std::string_view lines);

struct ReplyOptions {
  bool do_delta = false;
  bool disable_encryption = false;
  bool bad_device_id = false;
  bool force_full_scan = false;
};

uint32_t ReplyOptionFlags(const ReplyOptions& options);

ReplyRecordBytes BuildReplyRecord(uint32_t option_flags, uint32_t software_scan_frequency,
                                  uint32_t logon_depth);

struct ReplyRecord {
  uint32_t option_flags = 0;
  uint32_t software_scan_frequency = 0;
  uint32_t logon_depth = 0;
};

// nullopt unless `bytes` is 44 bytes long and starts with the fixed 8 bytes.
std::optional<ReplyRecord> ParseReplyRecord(std::string_view bytes);

// True when the first data chunk of a stream is plain text.
bool IsPlainScanText(std::string_view first_chunk);

// Appends decoded stream text to `out` as file text: every NUL becomes
// CR LF, every 0xFF byte is dropped (it carries nothing).
void AppendScanFileText(std::string_view decoded, std::string& out);

// The mini-scan file text of `payload` (the packet after its type word):
// NUL becomes CR LF, a second NUL in a row ends the payload, 0xFF is
// dropped; cut to kMaxMiniScanFileSize bytes.
std::string MiniScanFileText(std::string_view payload);

// "Network - TCPIP - Address =127.000.000.001\r\n" for the octets of an IPv4
// address, first octet first.
std::string ConnectionAddressLine(const std::array<uint8_t, 4>& octets);

// A scan file's text as it travels: each LF or CR LF line end becomes NUL.
std::string ScanTextForWire(std::string_view file_text);

// The zlib stream (RFC 1950) of `text`.
std::string CompressScanText(std::string_view text);

// Inflates a scan stream chunk by chunk, each chunk with a sync flush, the
// way the receiver must: the output buffer starts at 25600 bytes and grows
// while input remains.
class ScanInflater {
 public:
  enum class Result { kOk, kStreamEnd, kError };

  ScanInflater();
  ~ScanInflater();
  ScanInflater(const ScanInflater&) = delete;
  ScanInflater& operator=(const ScanInflater&) = delete;

  // Inflates all of `chunk` (or up to the stream's end). The text produced
  // is in decoded() until the next call. kError for anything zlib does not
  // accept; once the stream has ended, further input produces nothing.
  Result Feed(std::string_view chunk);
  std::string_view decoded() const;
  bool finished() const { return finished_; }

 private:
  struct Stream;
  std::unique_ptr<Stream> stream_;
  std::vector<unsigned char> output_;
  size_t produced_ = 0;
  bool finished_ = false;
};

}  // namespace corvane::intake

#endif  // CORVANE_INTAKE_SCAN_PROTOCOL_H_
