// The character set of scan text and its conversion into the server's UTF-8.
//
// Ordinary scans are written in the clients' ANSI code page (Windows-1252 by
// default); Mac scans are UTF-8 already. Conversion never fails and never
// throws on its input:
// - ANSI text: every byte maps to a character; a byte the code page leaves
//   undefined becomes the code point of its own value (see
//   platform/codepage.h).
// - UTF-8 text: each invalid sequence (a stray continuation byte, a truncated
//   or overlong sequence, a surrogate, a value above U+10FFFF) is REPLACED by
//   U+FFFD, one replacement per maximal invalid subpart as Unicode
//   recommends. Nothing is dropped, so a value's length stays recognisable.
// The conversion does not cut lines to any size: the server keeps whole
// lines where the clients' code would have cut them at 511 bytes.
//
// Construction throws platform::OsError when the code page is unknown to the
// system. One decoder belongs to one thread at a time.

#ifndef CORVANE_SCAN_CODE_PAGE_H_
#define CORVANE_SCAN_CODE_PAGE_H_

#include <memory>
#include <string>
#include <string_view>

namespace corvane::platform {
class CodePageConverter;
}

namespace corvane::scan {

inline constexpr char kDefaultAnsiCodePage[] = "WINDOWS-1252";

// True when `text` is well-formed UTF-8. Pure.
bool IsValidUtf8(std::string_view text);

// `text` with every invalid UTF-8 sequence replaced by U+FFFD. Pure.
std::string SanitizeUtf8(std::string_view text);

// Decodes the text of one scan: UTF-8 for a Mac scan, the ANSI code page
// otherwise.
class ScanTextDecoder {
 public:
  explicit ScanTextDecoder(bool mac_scan, const std::string& ansi_code_page = kDefaultAnsiCodePage);
  ~ScanTextDecoder();
  ScanTextDecoder(const ScanTextDecoder&) = delete;
  ScanTextDecoder& operator=(const ScanTextDecoder&) = delete;

  bool mac_scan() const { return mac_scan_; }
  std::string ToUtf8(std::string_view text);

 private:
  bool mac_scan_;
  std::unique_ptr<platform::CodePageConverter> ansi_;  // only for ANSI scans
};

}  // namespace corvane::scan

#endif  // CORVANE_SCAN_CODE_PAGE_H_
