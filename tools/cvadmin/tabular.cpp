#include "tools/cvadmin/tabular.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace corvane::cvadmin {
namespace {

// The length of the well-formed UTF-8 sequence at text[at], 0 when there
// is none.
size_t Utf8SequenceLength(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  const size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (lead > 0xF4 || length == 0 || at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  // Overlong forms, surrogates and values above U+10FFFF.
  const unsigned char second = byte(at + 1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90)) {
    return 0;
  }
  return length;
}

// Characters for alignment: every UTF-8 sequence (or stray byte) counts one.
size_t DisplayWidth(std::string_view text) {
  size_t width = 0;
  for (size_t at = 0; at < text.size(); ++width)
    at += std::max<size_t>(1, Utf8SequenceLength(text, at));
  return width;
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
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    const size_t length = Utf8SequenceLength(text, at);
    if (length == 0) {
      out += "\\ufffd";
      ++at;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.append(text.substr(at, length));
    }
    at += length;
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
