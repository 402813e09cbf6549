// The scan text and its line and key readers.

#include "scan/scan_text.h"

#include <algorithm>
#include <cstring>

#include "Common/Include/ascii_case.h"

namespace corvane::scan {
namespace {

constexpr char kSoftwareStop[] = "_SOFTWARE =";
constexpr std::string_view kWhiteSpace = " \t\r\n\v\f";

// `whole`: the value runs to the end of its line, past the 511-character
// piece that matched.
std::string LookUp(std::string_view text, std::string_view key, bool stop_at_software,
                   bool whole = false) {
  size_t cursor = 0;
  while (std::optional<Line> line = ReadLine(text, &cursor)) {
    std::string_view piece = line->text;
    if (piece.starts_with(key)) {
      if (whole) {
        const size_t start = cursor - line->consumed + key.size();
        size_t end = text.find_first_of(std::string_view("\n\0", 2), start);
        if (end == std::string_view::npos) end = text.size();
        piece = text.substr(start, end - start);
      } else {
        piece.remove_prefix(key.size());
      }
      return std::string(TrimWhiteSpace(piece));
    }
    if (stop_at_software && piece.starts_with(kSoftwareStop)) break;
  }
  return std::string();
}

}  // namespace

ScanText::ScanText(std::string bytes) : text_(std::move(bytes)) {
  size_t nul = text_.find('\0');
  if (nul != std::string::npos) text_.resize(nul);
}

std::optional<Line> ReadLine(std::string_view text, size_t* cursor, size_t buffer_size) {
  size_t start = *cursor;
  if (start >= text.size() || text[start] == '\0') return std::nullopt;
  size_t limit = std::max<size_t>(buffer_size, 2) - 1;
  std::string_view window = text.substr(start, limit);
  // The text ends at a NUL, so a piece never reaches past one.
  const void* nul = std::memchr(window.data(), '\0', window.size());
  if (nul != nullptr) window = window.substr(0, static_cast<const char*>(nul) - window.data());
  size_t feed = window.find('\n');
  if (feed != std::string_view::npos) window = window.substr(0, feed + 1);

  Line line;
  line.consumed = window.size();
  *cursor = start + window.size();
  if (window.size() >= 2 && window.ends_with("\r\n")) {
    line.text.assign(window.substr(0, window.size() - 2));
    line.text.push_back('\n');
  } else {
    line.text.assign(window);
  }
  return line;
}

bool IsBlankLine(std::string_view line) { return line.empty() || line == "\n"; }

std::string GetScanValue(std::string_view text, std::string_view key) {
  return LookUp(text, key, true);
}

std::string GetDeviceName(std::string_view text) { return LookUp(text, kDeviceNameKey, false); }

std::string GetWholeScanValue(std::string_view text, std::string_view key) {
  return LookUp(text, key, true, true);
}

bool IsMacScan(std::string_view text) {
  std::string os = GetScanValue(text, kOsNameKey);
  return EqualsIgnoringCase(os, "Mac OS X") || EqualsIgnoringCase(os, "Mac OS X Server");
}

std::string_view TrimWhiteSpace(std::string_view text) {
  size_t first = text.find_first_not_of(kWhiteSpace);
  if (first == std::string_view::npos) return std::string_view();
  size_t last = text.find_last_not_of(kWhiteSpace);
  return text.substr(first, last - first + 1);
}

}  // namespace corvane::scan
