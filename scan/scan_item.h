// One inventory item of a scan: an attribute value of a component instance.
//
// The line splitter, the contents block reader and the deleted-file rewrite
// produce these; the scan reader hands them to the inventory writer. Plain
// value type, no invariants beyond the field comments.

#ifndef CORVANE_SCAN_SCAN_ITEM_H_
#define CORVANE_SCAN_SCAN_ITEM_H_

#include <string>

namespace corvane::scan {

struct ScanItem {
  // "Computer" or "Computer." plus the path segments joined with ".".
  std::string component;
  // The same with every segment that contains "." in double quotes, so that
  // the name can be split back into its segments.
  std::string qualified_component;
  // True when the line named an instance key; key_name may still be empty.
  bool keyed = false;
  std::string key_name;
  std::string key_value;
  std::string attribute;
  // UTF-8 text, except the value of a contents item, which holds the
  // embedded file's bytes as the scan carried them.
  std::string value;

  bool operator==(const ScanItem&) const = default;
};

}  // namespace corvane::scan

#endif  // CORVANE_SCAN_SCAN_ITEM_H_
