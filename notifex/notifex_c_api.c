/* Proves that the public header is plain C and that the library exports its
 * calls with C linkage: this file is compiled as C. */
#include "notifex/notifex.h"

int ReportDuplicateFromC(const char* device_id) {
  return ReportAnEventEx("Corvane Inventory Server", "Duplicate Device ID Detected", 0x12, 2390, 1,
                         "%s %d", device_id, 42);
}
