// Collects the inventory of a machine from its own files: /proc, /sys,
// /etc and dpkg's database, all read under a root directory ("/" for the
// machine itself; a fixture tree in tests, where every path is taken
// relative to it). What the files cannot tell under a fixture root (IPv4
// addresses, the architecture, file system sizes) is asked of the kernel
// only when the root is "/"; so are dmidecode (for the BIOS text) and rpm,
// when they are installed. Under a fixture root the BIOS text is made of
// the DMI fields the tree holds.
//
// A file that is missing or unreadable leaves its part of the inventory
// empty; nothing here fails. Thread safety: none needed (no shared state).

#ifndef CORVANE_SCANNER_COLLECTOR_H_
#define CORVANE_SCANNER_COLLECTOR_H_

#include <string>
#include <vector>

#include "scanner/inventory.h"

namespace corvane::scanner {

// The directories whose executables make the software-file section; /opt is
// searched a few levels deep, the others only at their top.
inline const std::vector<std::string> kExecutableDirectories = {"/usr/bin", "/usr/sbin",
                                                                "/usr/local/bin", "/opt"};

// The configuration files embedded in every scan unless the list file
// names others (one path per line, read under the root like every file).
inline const std::vector<std::string> kDefaultConfigFiles = {"/etc/fstab", "/etc/hosts",
                                                             "/etc/os-release"};
inline constexpr char kConfigFileList[] = "/etc/corvane-scanner/files";
// A listed file bigger than this, or holding a NUL byte (no text), is left
// out.
inline constexpr int64_t kMaxConfigFileSize = 1 << 20;

struct CollectOptions {
  std::string root = "/";
  std::string device_id;
  int64_t scan_time = 0;
};

Inventory CollectInventory(const CollectOptions& options);

}  // namespace corvane::scanner

#endif  // CORVANE_SCANNER_COLLECTOR_H_
