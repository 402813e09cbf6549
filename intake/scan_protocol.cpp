#include "intake/scan_protocol.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace corvane::intake {
namespace {

constexpr std::array<uint8_t, 8> kReplyHeader = {0xFF, 0xFF, 0x01, 0x01, 0x00, 0x00, 0x04, 0x00};

constexpr size_t kInitialInflateOutput = 25600;
// The receiver's rule for a full output buffer: room for the remaining
// input at the best ratio deflate can reach, so one chunk rarely needs two.
constexpr size_t kGrowthPerRemainingInputByte = 512;

void PutLittleEndian32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLittleEndian32(std::string_view bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[offset + i]);
  return value;
}

}  // namespace

ScanRequest ParseScanRequest(std::string_view packet) {
  ScanRequest request;
  if (!packet.empty()) request.type_word = static_cast<uint8_t>(packet[0]);
  if (packet.size() >= 2)
    request.type_word |= static_cast<uint16_t>(static_cast<uint8_t>(packet[1]) << 8);
  if (packet.size() > kRequestHeaderSize) {
    std::string_view rest = packet.substr(kRequestHeaderSize);
    request.device_id = std::string(rest.substr(0, rest.find('\0')));
  }
  return request;
}

RequestProgress ScanRequestProgress(std::string_view bytes) {
  if (bytes.size() >= kReceiveChunkSize) return RequestProgress::kComplete;
  if (bytes.size() < 2) return RequestProgress::kPartial;
  bool whole = ParseScanRequest(bytes).type_word == kMiniScanRequest
                   ? bytes.substr(2).find(std::string_view("\0\0", 2)) != std::string_view::npos
                   : bytes.size() > kRequestHeaderSize &&
                         bytes.find('\0', kRequestHeaderSize) != std::string_view::npos;
  return whole ? RequestProgress::kComplete : RequestProgress::kTypeKnown;
}

std::string BuildFullScanRequest(std::string_view device_id) {
  std::string packet(kRequestHeaderSize, '\0');
  packet[0] = static_cast<char>(kFullScanRequest & 0xFF);
  packet[1] = static_cast<char>(kFullScanRequest >> 8);
  packet.append(device_id);
  packet.push_back('\0');
  return packet;
}

std::string BuildMiniScanPacket(std::string_view lines) {
  std::string packet;
  packet.push_back(static_cast<char>(kMiniScanRequest & 0xFF));
  packet.push_back(static_cast<char>(kMiniScanRequest >> 8));
  packet += ScanTextForWire(lines);
  // The wire text ends every line with NUL already; a last line without a
  // line end still needs its own.
  if (!lines.empty() && lines.back() != '\n') packet.push_back('\0');
  packet.push_back('\0');
  return packet;
}

uint32_t ReplyOptionFlags(const ReplyOptions& options) {
  uint32_t flags = kReplyAlwaysFlags;
  if (options.do_delta) flags |= kReplyDeltaFlag;
  if (!options.disable_encryption) flags |= kReplyEncryptFlag;
  if (options.bad_device_id) flags |= kReplyBadDeviceIdFlag;
  if (options.force_full_scan) flags |= kReplyForceFullScanFlag;
  return flags;
}

ReplyRecordBytes BuildReplyRecord(uint32_t option_flags, uint32_t software_scan_frequency,
                                  uint32_t logon_depth) {
  ReplyRecordBytes record{};
  std::memcpy(record.data(), kReplyHeader.data(), kReplyHeader.size());
  PutLittleEndian32(record.data() + 8, option_flags);
  PutLittleEndian32(record.data() + 12, software_scan_frequency);
  PutLittleEndian32(record.data() + 16, logon_depth);
  return record;
}

std::optional<ReplyRecord> ParseReplyRecord(std::string_view bytes) {
  if (bytes.size() != kReplyRecordSize ||
      std::memcmp(bytes.data(), kReplyHeader.data(), kReplyHeader.size()) != 0) {
    return std::nullopt;
  }
  return ReplyRecord{GetLittleEndian32(bytes, 8), GetLittleEndian32(bytes, 12),
                     GetLittleEndian32(bytes, 16)};
}

bool IsPlainScanText(std::string_view first_chunk) {
  return first_chunk.starts_with(kPlainScanStart);
}

void AppendScanFileText(std::string_view decoded, std::string& out) {
  for (char c : decoded) {
    if (c == '\0') {
      out += "\r\n";
    } else if (static_cast<uint8_t>(c) != 0xFF) {
      out.push_back(c);
    }
  }
}

std::string MiniScanFileText(std::string_view payload) {
  std::string text;
  bool previous_was_nul = false;
  for (char c : payload) {
    if (c == '\0') {
      if (previous_was_nul) break;
      text += "\r\n";
      previous_was_nul = true;
      continue;
    }
    previous_was_nul = false;
    if (static_cast<uint8_t>(c) != 0xFF) text.push_back(c);
  }
  if (text.size() > kMaxMiniScanFileSize) text.resize(kMaxMiniScanFileSize);
  return text;
}

std::string ConnectionAddressLine(const std::array<uint8_t, 4>& octets) {
  char line[64];
  std::snprintf(line, sizeof line, "Network - TCPIP - Address =%03d.%03d.%03d.%03d\r\n", octets[0],
                octets[1], octets[2], octets[3]);
  return line;
}

std::string ScanTextForWire(std::string_view file_text) {
  std::string wire;
  wire.reserve(file_text.size());
  for (size_t i = 0; i < file_text.size(); ++i) {
    char c = file_text[i];
    if (c == '\r' && i + 1 < file_text.size() && file_text[i + 1] == '\n') continue;
    wire.push_back(c == '\n' ? '\0' : c);
  }
  return wire;
}

std::string CompressScanText(std::string_view text) {
  uLongf size = compressBound(static_cast<uLong>(text.size()));
  std::string compressed(size, '\0');
  int result = compress2(reinterpret_cast<Bytef*>(compressed.data()), &size,
                         reinterpret_cast<const Bytef*>(text.data()),
                         static_cast<uLong>(text.size()), Z_DEFAULT_COMPRESSION);
  if (result != Z_OK) throw std::runtime_error("zlib compression failed");
  compressed.resize(size);
  return compressed;
}

struct ScanInflater::Stream {
  z_stream z{};
};

ScanInflater::ScanInflater() : stream_(std::make_unique<Stream>()), output_(kInitialInflateOutput) {
  if (inflateInit(&stream_->z) != Z_OK) throw std::runtime_error("zlib inflate cannot start");
}

ScanInflater::~ScanInflater() { inflateEnd(&stream_->z); }

std::string_view ScanInflater::decoded() const {
  return std::string_view(reinterpret_cast<const char*>(output_.data()), produced_);
}

ScanInflater::Result ScanInflater::Feed(std::string_view chunk) {
  produced_ = 0;
  if (finished_) return Result::kStreamEnd;
  z_stream& z = stream_->z;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(chunk.data()));
  z.avail_in = static_cast<uInt>(chunk.size());
  for (;;) {
    z.next_out = output_.data() + produced_;
    z.avail_out = static_cast<uInt>(output_.size() - produced_);
    uInt input_before = z.avail_in;
    uInt output_before = z.avail_out;
    int result = inflate(&z, Z_SYNC_FLUSH);
    produced_ = output_.size() - z.avail_out;
    if (result == Z_STREAM_END) {
      finished_ = true;
      return Result::kStreamEnd;
    }
    bool no_progress = z.avail_in == input_before && z.avail_out == output_before;
    if (result == Z_BUF_ERROR && no_progress && z.avail_in == 0) return Result::kOk;
    if (result != Z_OK || no_progress) return Result::kError;
    if (z.avail_out == 0) {
      // A full buffer may hide output even when the input is used up, and a
      // last chunk gets no later call to bring it out.
      size_t growth =
          z.avail_in > 0 ? z.avail_in * kGrowthPerRemainingInputByte : kInitialInflateOutput;
      output_.resize(output_.size() + growth);
      continue;
    }
    if (z.avail_in == 0) return Result::kOk;
  }
}

}  // namespace corvane::intake
