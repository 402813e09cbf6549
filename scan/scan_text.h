// A scan held in memory and the readers that work on its text alone.
//
// The text of a scan ends at its first NUL byte (or at its end); every reader
// here stops there too, so a view that still holds NULs is safe to pass.
// Lines end in LF, a CR directly before the LF is dropped, and a line is
// handed out in pieces of at most 511 characters (the size of the scanners'
// and the reader's 512-byte line buffers minus the terminator) so that line
// boundaries come out the same as the clients expect.
//
// All functions are pure and thread-safe; nothing here does I/O.

#ifndef CORVANE_SCAN_SCAN_TEXT_H_
#define CORVANE_SCAN_SCAN_TEXT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::scan {

// The line buffer size the readers use: pieces of at most 511 characters.
inline constexpr size_t kLineBufferSize = 512;

// Key lines that the server looks up.
inline constexpr char kDeviceIdKey[] = "Device ID =";
inline constexpr char kDeviceNameKey[] = "Device Name =";
inline constexpr char kLastSyncDateKey[] = "Last Sync Date =";
inline constexpr char kLastHardwareScanDateKey[] = "Last Hardware Scan date =";
inline constexpr char kHostNameKey[] = "Network - TCPIP - Host Name =";
inline constexpr char kNicAddressKey[] = "Network - NIC Address =";
inline constexpr char kOsNameKey[] = "OS - Name =";

// The whole text of one scan: the bytes of a scan file up to its first NUL.
class ScanText {
 public:
  ScanText() = default;
  // Takes the bytes and cuts them at the first NUL.
  explicit ScanText(std::string bytes);

  std::string_view view() const { return text_; }
  size_t size() const { return text_.size(); }
  bool empty() const { return text_.empty(); }

 private:
  std::string text_;
};

// One piece of a line as the reader hands it out.
struct Line {
  // The characters, with a final CR LF turned into LF.
  std::string text;
  // How far the cursor moved: the bytes of the text this piece took, a CR of
  // a CR LF included.
  size_t consumed = 0;
};

// Reads the piece that starts at `*cursor`: up to and including the next LF,
// but at most `buffer_size - 1` characters (at least 1 whatever is passed),
// and advances the cursor past it. Returns nullopt (cursor unchanged) at the
// end of the text or at a NUL. A CR LF that ends the piece reads as LF; a CR
// that ends a piece cut at the size limit stays, and its LF comes as a piece
// of its own.
std::optional<Line> ReadLine(std::string_view text, size_t* cursor,
                             size_t buffer_size = kLineBufferSize);

// True for the lines that every consumer skips: empty or a lone LF.
bool IsBlankLine(std::string_view line);

// The value of the first line (511-character pieces) that begins with `key`
// (case-sensitive, the key carries its " ="), with blanks, tabs and line ends
// removed at both ends; empty when no line matches before a line that begins
// "_SOFTWARE =" or the end of the text.
std::string GetScanValue(std::string_view text, std::string_view key);

// The value GetScanValue finds, but running to the end of its line however
// long that is: how long a value really is, where GetScanValue gives only
// what fits the first 511 characters of the line.
std::string GetWholeScanValue(std::string_view text, std::string_view key);

// The "Device Name =" value, looked up through the whole text (the software
// section does not stop this lookup).
std::string GetDeviceName(std::string_view text);

// True when the "OS - Name =" value is "Mac OS X" or "Mac OS X Server",
// ignoring case: such scans are UTF-8 rather than the ANSI code page.
bool IsMacScan(std::string_view text);

// `text` without the blanks, tabs and line ends (" \t\r\n\v\f") at its ends.
std::string_view TrimWhiteSpace(std::string_view text);

}  // namespace corvane::scan

#endif  // CORVANE_SCAN_SCAN_TEXT_H_
