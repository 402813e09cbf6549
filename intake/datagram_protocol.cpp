#include "intake/datagram_protocol.h"

#include <algorithm>
#include <cstdio>
#include <span>

#include "intake/scan_protocol.h"
#include "scan/tea.h"

namespace corvane::intake {
namespace {

constexpr std::string_view kBeginContents = "_BeginContents";
constexpr std::string_view kEndContents = "_EndContents";
constexpr int kContentsHeaderLines = 4;
constexpr size_t kMaxPackets = 0xFFFF;

void PutWord(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

uint16_t GetWord(std::string_view bytes, size_t offset) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[offset]) |
                               static_cast<uint8_t>(bytes[offset + 1]) << 8);
}

std::string WithoutNuls(std::string_view text) {
  std::string result(text);
  std::erase(result, '\0');
  return result;
}

// LF line ends as CR LF; a CR LF stays as it is.
std::string WithCrLf(std::string_view text) {
  std::string result;
  result.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) result.push_back('\r');
    result.push_back(text[i]);
  }
  return result;
}

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Packs strings into payloads.
class Packer {
 public:
  // A line: one string that never crosses a payload boundary.
  void Line(std::string_view line) {
    std::string text = WithoutNuls(line);
    constexpr size_t kLongest = kDatagramPayloadSize - 1;
    for (size_t at = 0; at < text.size(); at += kLongest) {
      std::string_view piece = std::string_view(text).substr(at, kLongest);
      if (current_.size() + piece.size() + 1 > kDatagramPayloadSize) Flush();
      current_.append(piece).push_back('\0');
    }
  }

  // Contents bytes: cut into strings wherever a payload fills.
  void Contents(std::string_view bytes) {
    std::string text = WithoutNuls(bytes);
    std::string_view rest = text;
    while (!rest.empty()) {
      size_t room = kDatagramPayloadSize - current_.size();
      if (room < 2) {
        Flush();
        continue;
      }
      size_t take = std::min(room - 1, rest.size());
      current_.append(rest.substr(0, take)).push_back('\0');
      rest.remove_prefix(take);
    }
  }

  std::vector<std::string> Finish() {
    Flush();
    return std::move(payloads_);
  }

 private:
  void Flush() {
    if (current_.empty()) return;
    // The empty string that ends the payload, when there is room for it.
    if (current_.size() < kDatagramPayloadSize) current_.push_back('\0');
    payloads_.push_back(std::move(current_));
    current_.clear();
  }

  std::vector<std::string> payloads_;
  std::string current_;
};

// Reads the text line by line; a line excludes its LF and a CR before it.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text) : text_(text) {}
  bool AtEnd() const { return position_ >= text_.size(); }
  size_t position() const { return position_; }
  void MoveTo(size_t position) { position_ = position; }
  std::string_view Next() {
    size_t end = text_.find('\n', position_);
    if (end == std::string_view::npos) end = text_.size();
    std::string_view line = text_.substr(position_, end - position_);
    position_ = std::min(end + 1, text_.size());
    if (line.ends_with('\r')) line.remove_suffix(1);
    return line;
  }

 private:
  std::string_view text_;
  size_t position_ = 0;
};

void SetError(std::string* error, std::string message) {
  if (error) *error = std::move(message);
}

}  // namespace

std::optional<DatagramHeader> ParseDatagramHeader(std::string_view datagram) {
  if (datagram.size() < kDatagramHeaderSize) return std::nullopt;
  return DatagramHeader{GetWord(datagram, 0), GetWord(datagram, 2), GetWord(datagram, 4),
                        GetWord(datagram, 6)};
}

std::string BuildDatagram(const DatagramHeader& header, std::string_view payload) {
  std::string datagram;
  datagram.reserve(kDatagramHeaderSize + payload.size());
  PutWord(datagram, header.type);
  PutWord(datagram, header.total);
  PutWord(datagram, header.sequence);
  PutWord(datagram, header.checksum);
  datagram.append(payload);
  return datagram;
}

uint16_t PayloadChecksum(std::string_view payload) {
  uint32_t sum = 0;
  for (char c : payload) sum += static_cast<uint8_t>(c);
  return static_cast<uint16_t>(sum & 0xFFFF);
}

std::array<uint8_t, kAcknowledgementSize> AcknowledgementOf(std::string_view datagram) {
  std::array<uint8_t, kAcknowledgementSize> acknowledgement{};
  if (datagram.size() >= 6) {
    acknowledgement[0] = static_cast<uint8_t>(datagram[4]);
    acknowledgement[1] = static_cast<uint8_t>(datagram[5]);
  }
  return acknowledgement;
}

uint32_t DatagramReplyFlags(bool do_delta) {
  uint32_t flags = kReplyAlwaysFlags | kReplyEncryptFlag;
  if (do_delta) flags |= kReplyDeltaFlag;
  return flags;
}

std::string UdpSenderName(const std::array<uint8_t, 4>& octets) {
  char name[32];
  std::snprintf(name, sizeof name, "%d.%d.%d.%d", octets[0], octets[1], octets[2], octets[3]);
  return name;
}

std::string IpxSenderName(const std::array<uint8_t, 4>& network,
                          const std::array<uint8_t, 6>& node) {
  std::string name;
  char digits[3];
  for (uint8_t byte : network) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    name += digits;
  }
  name += ':';
  for (uint8_t byte : node) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    name += digits;
  }
  return name;
}

std::optional<std::vector<std::string>> SplitScanIntoPayloads(std::string_view file_text,
                                                              std::string* error) {
  Packer packer;
  LineCursor cursor(file_text);
  while (!cursor.AtEnd()) {
    std::string_view line = cursor.Next();
    packer.Line(line);
    if (!line.starts_with(kBeginContents)) continue;

    std::string headers[kContentsHeaderLines];
    int held = 0;
    while (held < kContentsHeaderLines && !cursor.AtEnd()) headers[held++] = cursor.Next();
    if (held < kContentsHeaderLines) {
      for (int i = 0; i < held; ++i) packer.Line(headers[i]);
      break;
    }
    if (!AllDigits(headers[0])) {
      SetError(error, "a contents block's first header line is not its length: \"" + headers[0] +
                          "\"; datagram scans need the length first");
      return std::nullopt;
    }
    size_t contents_start = cursor.position();
    size_t end = file_text.find(kEndContents, contents_start);
    std::string contents = WithCrLf(file_text.substr(
        contents_start, (end == std::string_view::npos ? file_text.size() : end) - contents_start));
    headers[0] = std::to_string(contents.size());
    for (std::string& header : headers) {
      // An empty string would end the payload instead of carrying the line.
      packer.Line(header.empty() ? " " : header);
    }
    packer.Contents(contents);
    if (end == std::string_view::npos) break;
    cursor.MoveTo(end);
  }
  return packer.Finish();
}

std::optional<std::vector<std::string>> BuildScanDatagrams(std::string_view file_text,
                                                           bool encipher, std::string* error) {
  std::optional<std::vector<std::string>> payloads = SplitScanIntoPayloads(file_text, error);
  if (!payloads) return std::nullopt;
  if (payloads->empty()) {
    SetError(error, "the scan holds no lines");
    return std::nullopt;
  }
  if (payloads->size() > kMaxPackets) {
    SetError(error, "the scan needs more than 65535 datagrams");
    return std::nullopt;
  }
  const scan::TeaKey key = scan::DatagramScanKey();
  std::vector<std::string> datagrams;
  datagrams.reserve(payloads->size());
  const auto total = static_cast<uint16_t>(payloads->size());
  for (size_t i = 0; i < payloads->size(); ++i) {
    std::string& payload = (*payloads)[i];
    if (encipher) {
      scan::EncipherPayload(
          std::span<uint8_t>(reinterpret_cast<uint8_t*>(payload.data()), payload.size()), key);
    }
    DatagramHeader header{kDatagramScanData, total, static_cast<uint16_t>(i + 1),
                          PayloadChecksum(payload)};
    datagrams.push_back(BuildDatagram(header, payload));
  }
  return datagrams;
}

std::string BuildRequestDatagram() { return BuildDatagram(DatagramHeader{}, ""); }

}  // namespace corvane::intake
