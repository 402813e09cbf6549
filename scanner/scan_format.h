// The inventory as scan text in the server's scan file format: one
// "Component - Sub - (Key:value) - Attribute = value" line per value, "* - "
// for further values of the same instance, the hardware part first, then
// "_SOFTWARE = Packages and Files" and the packages and files. Pure and
// thread-safe. Lines end in LF, as a scanner writes its file.
//
// Values never break the format: line ends and NULs in a value become
// blanks, and empty values are left out (except the identity lines, which
// the server reads even empty). An instance key holding ") - " or " = "
// would be split there by the server's reader, so such an instance is left
// out rather than stored under a wrong key.

#ifndef CORVANE_SCANNER_SCAN_FORMAT_H_
#define CORVANE_SCANNER_SCAN_FORMAT_H_

#include <string>

#include "scanner/inventory.h"

namespace corvane::scanner {

// A full scan: no "Last Sync Date", no deleted section.
std::string FormatFullScan(const Inventory& inventory);

}  // namespace corvane::scanner

#endif  // CORVANE_SCANNER_SCAN_FORMAT_H_
