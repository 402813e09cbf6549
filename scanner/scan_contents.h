// What one scan reports, as values rather than text: the bridge between the
// inventory of a machine and the scan text, and what the scanner keeps of
// the last scan the server took, so that the next one can be a delta.
//
// Every value names its instance as the scan text does ("OS",
// "Network - Adapter - (Name:eth0)"); two values belong to one instance
// exactly when their instance texts are equal. Text is already in the
// scanners' code page (Windows-1252), with no line ends or NULs in it.
// Pure and thread-safe.

#ifndef CORVANE_SCANNER_SCAN_CONTENTS_H_
#define CORVANE_SCANNER_SCAN_CONTENTS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/inventory.h"

namespace corvane::scanner {

struct ScanValue {
  std::string instance;       // "OS", "Software - Package - (Name:bash)"
  std::string key_attribute;  // "Name"; empty for a component without instances
  std::string key;            // the instance's key value
  std::string attribute;
  std::string value;
  bool software = false;  // after "_SOFTWARE": not a hardware change
};

// A configuration file, or the BIOS text, as a contents block.
struct EmbeddedFile {
  std::string path;  // "/etc/fstab"; empty for the BIOS text
  int64_t time = 0;  // the file's modification time; the scan's for the BIOS text
  // The block's bytes and its declared size, which counts every line end
  // as the two bytes of CR LF, as the server will hold them.
  std::string contents;
  int64_t size = 0;
  // Tells a changed file from an unchanged one when only the state of an
  // earlier scan is at hand (which keeps no contents).
  uint64_t digest = 0;

  bool is_bios() const { return path.empty(); }
};

struct ScanContents {
  std::string device_id;
  std::string device_name;
  int64_t scan_time = 0;          // "Last Hardware Scan date"
  std::vector<ScanValue> values;  // hardware first, then software
  std::vector<EmbeddedFile> files;
};

// The values of `inventory` in scan order. An instance whose key would
// break the line format (it holds ") - ", " = ", a tab or a line end) is
// left out rather than stored under a wrong key; empty values are left out,
// and an instance left with no value gets its key attribute as one.
ScanContents ScanContentsOf(const Inventory& inventory);

// `text` (UTF-8) in Windows-1252: characters it has no byte for, and bytes
// that are no UTF-8, become "?"; line ends, NULs and tabs become blanks
// unless `keep_line_ends` (contents blocks keep LF, CR and tabs).
std::string ToScanCodePage(std::string_view text, bool keep_line_ends = false);

// 64-bit FNV-1a of `bytes`.
uint64_t Digest(std::string_view bytes);

}  // namespace corvane::scanner

#endif  // CORVANE_SCANNER_SCAN_CONTENTS_H_
