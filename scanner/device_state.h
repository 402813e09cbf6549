// What the scanner keeps between runs in its state directory (default
// /var/lib/corvane-scanner): the device ID, made once and kept, so that the
// server knows the machine again, and what the last scan that the server
// took reported ("last-sent"), so that the next one can be a delta.
//
// Errors: the functions answer false (or an empty ID) and describe the
// failure in `*error`, with the path and the system's reason. A last-sent
// file that is missing or does not parse counts as none: the next scan is
// then a full one, which is always safe.

#ifndef CORVANE_SCANNER_DEVICE_STATE_H_
#define CORVANE_SCANNER_DEVICE_STATE_H_

#include <optional>
#include <string>
#include <string_view>

#include "scanner/scan_contents.h"

namespace corvane::scanner {

inline constexpr char kDefaultStateDirectory[] = "/var/lib/corvane-scanner";

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal, from
// the kernel's random source.
std::string NewDeviceId();

// The device ID stored in `directory`, made and stored (the directory
// created as needed) when there is none yet. Empty on failure.
std::string LoadOrCreateDeviceId(const std::string& directory, std::string* error);

// Replaces the stored device ID (the server flagged the old one as a
// duplicate).
bool StoreDeviceId(const std::string& directory, const std::string& device_id, std::string* error);

// The last-sent state as text and back: a version line, then one
// tab-separated record per line (device, name, time, value, file). Files
// keep their size, time and digest, not their contents. Pure.
std::string SerializeScanState(const ScanContents& scan);
std::optional<ScanContents> ParseScanState(std::string_view text);

std::optional<ScanContents> LoadLastSentScan(const std::string& directory);
bool StoreLastSentScan(const std::string& directory, const ScanContents& scan, std::string* error);

// Writes `text` as `path` whole: a temporary file beside it, synced, then
// renamed over it, so that a reader never sees half a file.
bool WriteFileAtomically(const std::string& path, std::string_view text, std::string* error);

}  // namespace corvane::scanner

#endif  // CORVANE_SCANNER_DEVICE_STATE_H_
