#include "scan/packet_set.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include "Common/Include/xtrace.h"
#include "intake/storage.h"
#include "platform/error.h"

namespace corvane::scan {
namespace {

constexpr std::string_view kPlainSetStart = "Device I";
constexpr std::string_view kBeginContents = "_BeginContents";
constexpr std::string_view kEndContents = "_EndContents";
constexpr std::string_view kLineEnd = "\r\n";
constexpr int kContentsHeaderLines = 4;

// The leading-digits rule of the scan format: blanks, an optional sign,
// decimal digits; anything else ends the number, no digits give 0. Clamped
// to the 64-bit range, so no declared length overflows.
int64_t LeadingDecimal(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  constexpr uint64_t kLimit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (value > (kLimit - digit) / 10) {
      value = kLimit;
      break;
    }
    value = value * 10 + digit;
  }
  return negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
}

// Walks the strings of a set in order and builds the scan text. Holds the
// state of a contents block across packets.
class Converter {
 public:
  // False when the set must be abandoned.
  bool Feed(std::string_view string);
  std::string TakeText() { return std::move(text_); }

 private:
  enum class State { kLines, kHeaders, kContents, kAwaitEnd };

  // The string in hand once the declared length is reached.
  bool HandleEnd(std::string_view rest);
  void WriteBlock(std::string_view end_text);

  std::string text_;
  State state_ = State::kLines;
  std::array<std::string, kContentsHeaderLines> headers_;
  int headers_held_ = 0;
  int64_t declared_length_ = 0;
  // What is still copied before the declared length is reached.
  uint64_t remaining_ = 0;
  std::string contents_;
};

bool Converter::Feed(std::string_view string) {
  switch (state_) {
    case State::kLines:
      text_.append(string).append(kLineEnd);
      if (string.starts_with(kBeginContents)) {
        state_ = State::kHeaders;
        headers_held_ = 0;
      }
      return true;

    case State::kHeaders:
      headers_[headers_held_++] = std::string(string.substr(0, kContentsHeaderLineLimit));
      if (headers_held_ == kContentsHeaderLines) {
        declared_length_ = LeadingDecimal(headers_[0]);
        // A negative length asks for nothing to be copied.
        remaining_ = declared_length_ > 0 ? static_cast<uint64_t>(declared_length_) : 0;
        contents_.clear();
        state_ = State::kContents;
      }
      return true;

    case State::kContents: {
      size_t position = 0;
      bool end_met = false;
      while (position < string.size() && remaining_ > 0) {
        if (string[position] == '_' && string.substr(position).starts_with(kEndContents)) {
          end_met = true;
          break;
        }
        size_t next_underscore = string.find('_', position + 1);
        size_t run = std::min<uint64_t>(
            remaining_,
            (next_underscore == std::string_view::npos ? string.size() : next_underscore) -
                position);
        contents_.append(string.substr(position, run));
        position += run;
        remaining_ -= run;
      }
      if (!end_met && remaining_ > 0) return true;  // the whole string was contents
      std::string_view rest = string.substr(position);
      if (rest.empty() && !end_met) {
        state_ = State::kAwaitEnd;
        return true;
      }
      return HandleEnd(rest);
    }

    case State::kAwaitEnd:
      return HandleEnd(string);
  }
  return true;
}

bool Converter::HandleEnd(std::string_view rest) {
  size_t end = rest.find(kEndContents);
  if (end != std::string_view::npos) {
    contents_.append(rest.substr(0, end));
    WriteBlock(rest.substr(end));
    state_ = State::kLines;
    return true;
  }
  // Scanners may send the line end after the contents as a string of its own.
  if (rest == kLineEnd) {
    state_ = State::kAwaitEnd;
    return true;
  }
  return false;
}

void Converter::WriteBlock(std::string_view end_text) {
  const uint64_t actual_length = contents_.size();
  bool length_changed =
      declared_length_ < 0 || static_cast<uint64_t>(declared_length_) != actual_length;
  text_.append(length_changed ? std::to_string(actual_length) : headers_[0]).append(kLineEnd);
  for (int i = 1; i < kContentsHeaderLines; ++i) text_.append(headers_[i]).append(kLineEnd);
  text_.append(contents_).append(kLineEnd);
  text_.append(end_text).append(kLineEnd);
  contents_.clear();
  contents_.shrink_to_fit();
}

}  // namespace

bool IsEncipheredPacketSet(const PacketSet& packets) {
  if (packets.empty() || !packets.front() || packets.front()->empty()) return false;
  return !packets.front()->starts_with(kPlainSetStart);
}

std::optional<std::string> PacketSetToScanText(const PacketSet& packets, const TeaKey& key) {
  const bool enciphered = IsEncipheredPacketSet(packets);
  Converter converter;
  // One byte past the payload area stays NUL, so the last string always
  // ends inside the buffer; bytes past the received length read as NUL.
  std::array<uint8_t, kPacketPayloadSize + 1> buffer;
  for (const std::optional<std::string>& packet : packets) {
    if (!packet) continue;
    const size_t length = std::min(packet->size(), kPacketPayloadSize);
    buffer.fill(0);
    std::memcpy(buffer.data(), packet->data(), length);
    if (enciphered) DecipherPayload(std::span<uint8_t>(buffer.data(), length), key);

    const char* bytes = reinterpret_cast<const char*>(buffer.data());
    size_t start = 0;
    while (start < kPacketPayloadSize) {
      size_t end = start + std::strlen(bytes + start);
      if (end == start) break;
      if (!converter.Feed(std::string_view(bytes + start, end - start))) return std::nullopt;
      start = end + 1;
    }
  }
  return converter.TakeText();
}

std::optional<std::string> WritePacketSetAsScan(const PacketSet& packets,
                                                const std::string& directory,
                                                std::string_view prefix) {
  std::optional<std::string> text;
  try {
    text = PacketSetToScanText(packets, DatagramScanKey());
  } catch (const std::bad_alloc&) {
    XTRACE("Datagram scan of %d packets dropped: out of memory", static_cast<int>(packets.size()));
    return std::nullopt;
  }
  if (!text) {
    XTRACE("Datagram scan of %d packets abandoned: malformed contents block",
           static_cast<int>(packets.size()));
    return std::nullopt;
  }

  std::optional<intake::ScanFileWriter> file;
  try {
    file.emplace(intake::CreateUniqueFile(directory, prefix, intake::kScanExtension));
    file->Write(*text);
    file->SyncAndClose();
    std::string final_path =
        intake::RenameToFinalName(file->path(), prefix, intake::kScanExtension);
    XTRACE("Datagram scan written to %s", final_path.c_str());
    return final_path;
  } catch (const platform::OsError& error) {
    XTRACE("Datagram scan not written: %s", error.what());
  }
  if (file) {
    try {
      file->Close();
    } catch (const platform::OsError&) {
      // The descriptor is gone either way; the file is removed below.
    }
    unlink(file->path().c_str());
  }
  return std::nullopt;
}

}  // namespace corvane::scan
