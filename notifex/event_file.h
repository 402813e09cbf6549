// The own event file "cvevent.evt": a 4-byte record count followed by the
// records, little-endian, append-only.
//
// Record: FILETIME (8), source (length-prefixed), type (4), event id (4),
// insert count (4), inserts (length-prefixed). A length prefix is one byte
// for n < 255, 0xFF plus 2 bytes for n < 65534, else 0xFF, 0xFFFF plus 4
// bytes.
//
// Appends lock the file exclusively, waiting a bounded time for other
// appenders, write the record first and the count last, so the count never
// claims a record the file does not hold. Bytes past the counted records
// (left by an appender that died) are cut off before the next append.

#ifndef CORVANE_NOTIFEX_EVENT_FILE_H_
#define CORVANE_NOTIFEX_EVENT_FILE_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::notifex {

struct EventRecord {
  uint64_t filetime = 0;  // 100 ns intervals since 1601-01-01 UTC
  std::string source;
  uint32_t type = 0;
  uint32_t event_id = 0;
  std::vector<std::string> inserts;

  bool operator==(const EventRecord& other) const = default;
};

uint64_t FileTimeFrom(std::chrono::system_clock::time_point time);
std::chrono::system_clock::time_point TimeFromFileTime(uint64_t filetime);

void AppendLengthPrefixed(std::string& out, std::string_view text);
std::string EncodeEventRecord(const EventRecord& record);

struct EventFileContents {
  uint32_t declared_count = 0;       // what the header claims
  std::vector<EventRecord> records;  // the complete records, at most declared_count
  uint64_t end_of_records = 4;       // offset just past the last complete counted record
};

// Decodes a file image. Never reads past `image`; a truncated record ends
// the list. Pure.
EventFileContents ParseEventFile(std::string_view image);

// "<system directory>/cvevents/cvevent.evt".
std::string EventFilePath();

// How long an appender waits for another to finish with the file.
inline constexpr uint32_t kEventFileLockWaitMs = 500;

enum class AppendResult { kAppended, kNotOpened, kCountUnreadable };

// The older copy of a file that reached its bound: "<path>.1".
inline constexpr char kOlderCopySuffix[] = ".1";

// Appends `record` to the file at `path` (creating it and its directory).
// With `max_bytes` above 0, a file whose record would take it past that
// size first becomes its older copy (replacing the one before) and then
// holds this record alone; a file of one record may be larger.
AppendResult AppendEventRecord(const std::string& path, const EventRecord& record,
                               uint64_t max_bytes = 0);

}  // namespace corvane::notifex

#endif  // CORVANE_NOTIFEX_EVENT_FILE_H_
