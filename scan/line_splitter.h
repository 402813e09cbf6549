// Data lines of a scan: splitting into items, abbreviated lines, and the
// deleted-file lines.
//
// A data line is "<path segments joined by ' - '> - <attribute> =<value>",
// optionally with an instance key "(<key name>:<key value>)" as the segment
// after the path. The first " =" separates name and value; a line without it
// carries no data. Text is UTF-8 by the time it is split (see code_page.h).
//
// Choices where the format leaves room:
// - Only " - " that ends before the first " =" separates the attribute.
// - White space means ASCII " \t\r\n\v\f"; the attribute and the key name are
//   kept as written, the value is trimmed at both ends, the key value at its
//   end only.
// - An abbreviated line is expanded without a length limit; the clients'
//   511-character cut applies to the lines as read, not to expansions.
// - In the previous line, a " - " at its very first position does not count:
//   it would leave an empty component, so such an abbreviation is dropped.
// - The deleted-file rewrite ignores white space at the end of the "Cfg -"
//   line (its line end among it), so neither the path nor the size word
//   carries a LF.
// - The creator-type substitution applies to the data lines of every scan,
//   not only Mac ones, after the line was decoded to UTF-8.
//
// Free functions are pure and thread-safe; a LineExpander belongs to the
// reading of one scan.

#ifndef CORVANE_SCAN_LINE_SPLITTER_H_
#define CORVANE_SCAN_LINE_SPLITTER_H_

#include <optional>
#include <string>
#include <string_view>

#include "scan/scan_item.h"

namespace corvane::scan {

class CreatorTypes;
class ScanTextDecoder;

// Splits one data line (with or without its final LF). nullopt when the
// attribute part has no " =".
std::optional<ScanItem> SplitDataLine(std::string_view line);

// The component name and the qualified name of a component path
// ("Network - TCPIP" -> "Computer.Network.TCPIP"; a segment with a "." is
// quoted in the qualified name). An empty path gives "Computer" twice.
struct ComponentNames {
  std::string component;
  std::string qualified;
};
ComponentNames ComponentNamesOfPath(std::string_view path);

// `line` without one final LF (a piece cut at 511 characters keeps all of its
// characters).
std::string_view WithoutLineFeed(std::string_view line);

// The whole treatment of a data line as read (after abbreviation expansion
// and the marker tests): drop the line feed, skip a line without " =",
// decode it to UTF-8, substitute a Mac creator type, split it.
std::optional<ScanItem> ParseDataLine(std::string_view line, ScanTextDecoder& decoder,
                                      const CreatorTypes& creators);

// Expands abbreviated lines: a line that starts with "*" and has an "="
// repeats the component part of the previous line, e.g. after
// "Network - TCPIP - Host Name = alpha", "* - Domain = beta" becomes
// "Network - TCPIP - Domain = beta".
class LineExpander {
 public:
  // The line to use in place of `line`, or nullopt when it is dropped: an
  // abbreviation whose previous line has no "=" or no " - " before it, or a
  // blank line (empty or lone LF), which no consumer uses. Every line that
  // comes back becomes the previous line. The caller passes marker lines too
  // but not the lines inside a contents block.
  std::optional<std::string> Expand(std::string_view line);
  // The same without a copy: the view stays valid until the next call.
  std::optional<std::string_view> ExpandInPlace(std::string_view line);

  const std::string& previous() const { return previous_; }
  void Reset() { previous_.clear(); }

 private:
  std::string previous_;
};

// A "Cfg -" line of the deleted section turned into the item it removes.
struct DeletedConfigItem {
  // The line in data-line form: "BIOS - BIOS Strings - Size =<word>" or
  // "Configuration Files - File - (File Path:<path>) - File Path =<path>".
  std::string line;
  // The same as an item, built directly so that a path holding ") - " or
  // ":" cannot be split wrongly.
  ScanItem item;
  bool bios = false;
};

// Rewrites a line that begins "Cfg -". The text after "Cfg - " names the BIOS
// text when it contains "CVBIOS.TXT" (case-sensitive; the item is its
// "Size" with the text's last blank-separated word) and otherwise a
// configuration file whose path is the text up to the first blank.
DeletedConfigItem RewriteDeletedConfigLine(std::string_view line);

}  // namespace corvane::scan

#endif  // CORVANE_SCAN_LINE_SPLITTER_H_
