// What the scanner keeps between runs in its state directory (default
// /var/lib/corvane-scanner): the device ID, made once and kept, so that the
// server knows the machine again.
//
// Errors: the functions answer false (or an empty ID) and describe the
// failure in `*error`, with the path and the system's reason.

#ifndef CORVANE_SCANNER_DEVICE_STATE_H_
#define CORVANE_SCANNER_DEVICE_STATE_H_

#include <string>
#include <string_view>

namespace corvane::scanner {

inline constexpr char kDefaultStateDirectory[] = "/var/lib/corvane-scanner";

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal, from
// the kernel's random source.
std::string NewDeviceId();

// The device ID stored in `directory`, made and stored (the directory
// created as needed) when there is none yet. Empty on failure.
std::string LoadOrCreateDeviceId(const std::string& directory, std::string* error);

// Writes `text` as `path` whole: a temporary file beside it, synced, then
// renamed over it, so that a reader never sees half a file.
bool WriteFileAtomically(const std::string& path, std::string_view text, std::string* error);

}  // namespace corvane::scanner

#endif  // CORVANE_SCANNER_DEVICE_STATE_H_
