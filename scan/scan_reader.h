// The scan contents reader: walks one scan text from its first line to its
// end, turns every data line, contents block and deleted item into a
// ScanLine, lets the writer resolve it, groups what is to be written into
// pending rows and has the writer write them once at the end.
//
// Errors: database failures raised by the writer (db::DbError) end the
// reading and travel to the caller. A text that ends inside a contents block
// (before its four header lines, or before both its "_EndContents" line and
// its declared size) ends the reading at once: nothing reaches the writer,
// and the result says so, because the text was cut short and the caller
// must not treat the scan as complete (a full scan's purge would delete
// everything after the cut). Thread safety: one reading per writer at a
// time; the function keeps no state between calls.

#ifndef CORVANE_SCAN_SCAN_READER_H_
#define CORVANE_SCAN_SCAN_READER_H_

#include <string_view>

#include "scan/creator_types.h"
#include "scan/inventory_writer.h"

namespace corvane::scan {

// Reads `scan_text` (the whole scan, LF line ends) into `writer`. `mac`:
// the text is UTF-8 (a Mac scan), else the ANSI code page. `creators`
// substitutes Mac creator types in data lines. False when the text ends
// inside a contents block (nothing reached the writer); true when it was
// read to its end and flushed.
bool ReadScan(InventoryWriter& writer, std::string_view scan_text, bool mac,
              const CreatorTypes& creators);

}  // namespace corvane::scan

#endif  // CORVANE_SCAN_SCAN_READER_H_
