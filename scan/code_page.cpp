// UTF-8 validation and the per-scan text decoder.

#include "scan/code_page.h"

#include "platform/codepage.h"

namespace corvane::scan {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the well-formed sequence at `text[at]`, or 0 when it is not one.
// `*bad_length` receives the length of the maximal invalid subpart to replace.
size_t SequenceLength(std::string_view text, size_t at, size_t* bad_length) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  *bad_length = 1;
  if (lead < 0x80) return 1;
  size_t length;
  // The allowed range of the second byte excludes overlong forms, surrogates
  // and values above U+10FFFF.
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    if (at + i >= text.size()) return 0;
    unsigned char next = byte(at + i);
    bool fits = (i == 1) ? (next >= low && next <= high) : IsContinuation(next);
    if (!fits) return 0;
    *bad_length = i + 1;
  }
  return length;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  size_t bad = 0;
  for (size_t at = 0; at < text.size();) {
    size_t length = SequenceLength(text, at, &bad);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string SanitizeUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t bad = 0;
  for (size_t at = 0; at < text.size();) {
    size_t length = SequenceLength(text, at, &bad);
    if (length != 0) {
      out.append(text.substr(at, length));
      at += length;
    } else {
      // `bad` counts the lead and the continuation bytes that still fitted.
      out.append(kReplacement);
      at += bad;
    }
  }
  return out;
}

ScanTextDecoder::ScanTextDecoder(bool mac_scan, const std::string& ansi_code_page)
    : mac_scan_(mac_scan) {
  if (!mac_scan_) ansi_ = std::make_unique<platform::CodePageConverter>(ansi_code_page);
}

ScanTextDecoder::~ScanTextDecoder() = default;

std::string ScanTextDecoder::ToUtf8(std::string_view text) {
  return mac_scan_ ? SanitizeUtf8(text) : ansi_->ToUtf8(text);
}

}  // namespace corvane::scan
