#include "tools/cvadmin/tabular.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "scan/code_page.h"

namespace corvane::cvadmin {
namespace {

// Characters for alignment: every byte that starts a UTF-8 sequence counts
// one (the database's text is UTF-8).
size_t DisplayWidth(std::string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

void WriteCsvRecord(std::ostream& out, const std::vector<std::string>& fields) {
  for (size_t i = 0; i < fields.size(); ++i) out << (i == 0 ? "" : ",") << CsvField(fields[i]);
  out << "\r\n";
}

}  // namespace

std::optional<OutputFormat> ParseOutputFormat(std::string_view name) {
  if (name == "table") return OutputFormat::kTable;
  if (name == "text") return OutputFormat::kText;
  if (name == "csv") return OutputFormat::kCsv;
  if (name == "json") return OutputFormat::kJson;
  return std::nullopt;
}

void WriteAligned(std::ostream& out, const Tabular& table) {
  std::vector<size_t> widths;
  for (const std::string& column : table.columns) widths.push_back(DisplayWidth(column));
  for (const auto& row : table.rows) {
    for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
      widths[i] = std::max(widths[i], DisplayWidth(row[i]));
    }
  }
  auto line = [&](const std::vector<std::string>& fields) {
    std::string text;
    for (size_t i = 0; i < fields.size() && i < widths.size(); ++i) {
      if (i > 0) text += "  ";
      text += fields[i];
      if (i + 1 < fields.size()) text.append(widths[i] - DisplayWidth(fields[i]), ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << "\n";
  };
  line(table.columns);
  std::vector<std::string> rule;
  for (size_t width : widths) rule.emplace_back(width, '-');
  line(rule);
  for (const auto& row : table.rows) line(row);
}

void WriteCsv(std::ostream& out, const Tabular& table) {
  WriteCsvRecord(out, table.columns);
  for (const auto& row : table.rows) WriteCsvRecord(out, row);
}

void WriteJson(std::ostream& out, const Tabular& table) {
  out << "[";
  for (size_t r = 0; r < table.rows.size(); ++r) {
    out << (r == 0 ? "\n  {" : ",\n  {");
    for (size_t c = 0; c < table.columns.size(); ++c) {
      out << (c == 0 ? "" : ", ") << JsonString(table.columns[c]) << ": "
          << JsonString(c < table.rows[r].size() ? table.rows[r][c] : std::string());
    }
    out << "}";
  }
  out << (table.rows.empty() ? "]\n" : "\n]\n");
}

std::string JsonString(std::string_view text) {
  // What is no UTF-8 becomes U+FFFD, written as its escape.
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  const std::string sanitized = scan::SanitizeUtf8(text);
  std::string out = "\"";
  for (size_t at = 0; at < sanitized.size(); ++at) {
    const char c = sanitized[at];
    const unsigned char byte = static_cast<unsigned char>(c);
    if (std::string_view(sanitized).substr(at, kReplacement.size()) == kReplacement) {
      out += "\\ufffd";
      at += kReplacement.size() - 1;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string FormatTimestamp(int64_t unix_seconds) {
  const std::time_t time = static_cast<std::time_t>(unix_seconds);
  std::tm parts{};
  if (gmtime_r(&time, &parts) == nullptr) return std::to_string(unix_seconds);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

}  // namespace corvane::cvadmin
