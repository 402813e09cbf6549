// Rows of text as cvadmin prints them: aligned columns for people, CSV
// (RFC 4180) and JSON for scripts. Pure and thread-safe; nothing throws but
// memory exhaustion.

#ifndef CORVANE_TOOLS_CVADMIN_TABULAR_H_
#define CORVANE_TOOLS_CVADMIN_TABULAR_H_

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::cvadmin {

struct Tabular {
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;  // each as long as `columns`
};

enum class OutputFormat { kTable, kText, kCsv, kJson };

// "table", "text", "csv" or "json"; nullopt for anything else.
std::optional<OutputFormat> ParseOutputFormat(std::string_view name);

// Columns padded to their widest value (counted in characters, not bytes),
// two blanks apart, a header line and a rule under it; no trailing blanks.
void WriteAligned(std::ostream& out, const Tabular& table);
// A header record, then one record per row, CR LF after each; a field is
// quoted when it holds a comma, a quote, CR or LF, quotes doubled.
void WriteCsv(std::ostream& out, const Tabular& table);
// An array of objects keyed by the column names, one per row.
void WriteJson(std::ostream& out, const Tabular& table);

// `text` as a JSON string literal, quotes included. Control characters are
// escaped; bytes that are no UTF-8 become U+FFFD, so the output is always
// valid JSON.
std::string JsonString(std::string_view text);

// Seconds since 1970 as "2026-12-09 08:30:00" (UTC).
std::string FormatTimestamp(int64_t unix_seconds);

}  // namespace corvane::cvadmin

#endif  // CORVANE_TOOLS_CVADMIN_TABULAR_H_
