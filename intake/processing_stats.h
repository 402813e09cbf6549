// The processing statistics the server publishes for benchmarks and
// administrators: "CVDiv32.stats" beside the program, one "name=value"
// line per count, cumulative since the server started.
//
// Format and Parse are pure and thread-safe; the load generator parses the
// file with the same code that writes it. Publish replaces the file whole
// (a temporary file in the same directory, then a rename), so a reader
// never sees half a file; it does not sync, since the counts are rebuilt
// at every start anyway. Publish never raises.

#ifndef CORVANE_INTAKE_PROCESSING_STATS_H_
#define CORVANE_INTAKE_PROCESSING_STATS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::intake {

inline constexpr std::string_view kProcessingStatsFileName = "CVDiv32.stats";

struct ProcessingStats {
  // Scan files committed to the database.
  uint64_t scans_applied = 0;
  // Scan files taken off the queue without a commit: out of sync (a full
  // scan was requested) or set aside in "ErrorScan" for their contents.
  uint64_t scans_refused = 0;
  // Statements the processing threads' connections sent to the driver, and
  // the records the driver reported written by them.
  uint64_t statements = 0;
  uint64_t rows_written = 0;
  // Scan transactions rolled back because they met another server's work
  // in a shared database, and applied again. Optional when read: files of
  // servers from before it read as 0.
  uint64_t conflict_retries = 0;

  bool operator==(const ProcessingStats&) const = default;
};

std::string FormatProcessingStats(const ProcessingStats& stats);

// nullopt unless every count of the format is present as a decimal number;
// unknown names and lines without "=" are passed over, so that readers
// keep working when counts are added.
std::optional<ProcessingStats> ParseProcessingStats(std::string_view text);

// Writes the statistics as `path`. False when it failed.
bool PublishProcessingStats(const std::string& path, const ProcessingStats& stats) noexcept;

}  // namespace corvane::intake

#endif  // CORVANE_INTAKE_PROCESSING_STATS_H_
