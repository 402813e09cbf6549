// The scan contents reader: walks one scan text from its first line to its
// end, turns every data line, contents block and deleted item into a
// ScanLine, lets the writer resolve it, groups what is to be written into
// pending rows and has the writer write them once at the end.
//
// Errors: database failures raised by the writer (db::DbError) end the
// reading and travel to the caller. A contents block with fewer than four
// header lines ends the reading at once: nothing collected is handed over or
// flushed. Thread safety: one reading per writer at a time; the function
// keeps no state between calls.

#ifndef CORVANE_SCAN_SCAN_READER_H_
#define CORVANE_SCAN_SCAN_READER_H_

#include <string_view>

#include "scan/creator_types.h"
#include "scan/inventory_writer.h"

namespace corvane::scan {

// Reads `scan_text` (the whole scan, LF line ends) into `writer`. `mac`:
// the text is UTF-8 (a Mac scan), else the ANSI code page. `creators`
// substitutes Mac creator types in data lines.
void ReadScan(InventoryWriter& writer, std::string_view scan_text, bool mac,
              const CreatorTypes& creators);

}  // namespace corvane::scan

#endif  // CORVANE_SCAN_SCAN_READER_H_
