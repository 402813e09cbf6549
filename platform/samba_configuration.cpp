#include "platform/shares.h"

#include <vector>

#include "Common/Include/ascii_case.h"

namespace corvane::platform {
namespace {

constexpr std::string_view kBlanks = " \t\r";

std::string_view Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// Samba ignores case and blanks in names: "Path", "path" and "pa th" match.
std::string NormalisedName(std::string_view name) {
  std::string normalised;
  for (char c : name) {
    if (c != ' ' && c != '\t') normalised.push_back(AsciiLower(c));
  }
  return normalised;
}

// Logical lines: continuations joined, so a value may span lines.
std::vector<std::string> LogicalLines(std::string_view text) {
  std::vector<std::string> lines;
  std::string pending;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\\') {
      line.remove_suffix(1);
      pending.append(line);
      continue;
    }
    pending.append(line);
    lines.push_back(std::move(pending));
    pending.clear();
  }
  if (!pending.empty()) lines.push_back(std::move(pending));
  return lines;
}

}  // namespace

std::optional<std::string> SharePathInSambaConfiguration(std::string_view configuration,
                                                         std::string_view share) {
  const std::string wanted = NormalisedName(share);
  bool in_share = false;
  std::optional<std::string> path;
  for (const std::string& raw : LogicalLines(configuration)) {
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      if (close == std::string_view::npos) continue;
      in_share = NormalisedName(line.substr(1, close - 1)) == wanted;
      continue;
    }
    if (!in_share) continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string name = NormalisedName(line.substr(0, equals));
    if (name != "path" && name != "directory") continue;
    const std::string_view value = Trim(line.substr(equals + 1));
    if (value.empty()) {
      path.reset();
    } else {
      path = std::string(value);
    }
  }
  return path;
}

}  // namespace corvane::platform
