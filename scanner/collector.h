// Collects the inventory of a machine from its own files: /proc, /sys,
// /etc and dpkg's database, all read under a root directory ("/" for the
// machine itself; a fixture tree in tests, where every path is taken
// relative to it). What the files cannot tell under a fixture root (IPv4
// addresses, the architecture, file system sizes) is asked of the kernel
// only when the root is "/".
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

struct CollectOptions {
  std::string root = "/";
  std::string device_id;
  int64_t scan_time = 0;
};

Inventory CollectInventory(const CollectOptions& options);

}  // namespace corvane::scanner

#endif  // CORVANE_SCANNER_COLLECTOR_H_
