// Scan text in the server's scan file format, from what a scan reports:
// one "Component - Sub - (Key:value) - Attribute = value" line per value,
// "* - " for further values of the same instance, the hardware part first,
// then "Last Hardware Scan date", "_SOFTWARE = Packages and Files" and the
// software values, then the configuration files and the BIOS text as
// contents blocks. Lines end in LF, as a scanner writes its file. Pure and
// thread-safe.

#ifndef CORVANE_SCANNER_SCAN_FORMAT_H_
#define CORVANE_SCANNER_SCAN_FORMAT_H_

#include <string>

#include "scanner/scan_contents.h"

namespace corvane::scanner {

// A full scan: no "Last Sync Date", no deleted section, so the server
// removes whatever the scan does not report.
std::string FormatFullScan(const ScanContents& scan);

// A delta scan of `now` against `last_sent`, the scan the server last took
// from this device:
// - "Last Sync Date" is `last_sent`'s scan time, which the server compares
//   with the "Last Hardware Scan date" it holds;
// - the identity lines (device ID and name, host name, NIC address) always,
//   then every value that is new or differs, and every configuration file
//   (or BIOS text) that is new or changed as a whole contents block;
// - the deleted section, always present (an empty one still marks the scan
//   as a delta): the key attribute of every instance that is gone, every
//   value gone from an instance that remains (the server clears it), and a
//   "Cfg -" line for every configuration file (or BIOS text) that is gone.
std::string FormatDeltaScan(const ScanContents& last_sent, const ScanContents& now);

}  // namespace corvane::scanner

#endif  // CORVANE_SCANNER_SCAN_FORMAT_H_
