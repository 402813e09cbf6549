// Reading a scan file whole into memory.
//
// The file is opened, retrying while the open fails (a receiver or a copier
// may still hold it), read whole and closed. Unless the caller keeps it, a
// file that was read is deleted, and one that opened but could not be read
// fully is moved to "ErrorScan" beside it (created when missing), keeping its
// name; a file that never opened stays where it is. Failures come back as
// nullopt, never as exceptions; a delete or move that fails leaves the file
// in place and does not change the result.
//
// Thread-safe; blocks the caller for up to attempts x delay.

#ifndef CORVANE_SCAN_SCAN_FILE_H_
#define CORVANE_SCAN_SCAN_FILE_H_

#include <chrono>
#include <optional>
#include <string>

#include "scan/scan_text.h"

namespace corvane::scan {

inline constexpr char kErrorScanDirectory[] = "ErrorScan";

struct ScanFileRetry {
  int attempts = 5000;
  std::chrono::milliseconds delay{1};
};

// The text of the scan file at `path` (cut at its first NUL), or nullopt.
std::optional<ScanText> ReadScanFile(const std::string& path, bool keep_file,
                                     const ScanFileRetry& retry = ScanFileRetry());

// "<directory of path>/ErrorScan/<name of path>". Pure.
std::string ErrorScanPath(const std::string& path);

}  // namespace corvane::scan

#endif  // CORVANE_SCAN_SCAN_FILE_H_
