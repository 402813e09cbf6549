#include "intake/processing_stats.h"

#include <unistd.h>

#include <charconv>
#include <cstdio>

namespace corvane::intake {
namespace {

struct Field {
  std::string_view name;
  uint64_t ProcessingStats::*count;
  bool required = true;
};

constexpr Field kFields[] = {
    {"scans_applied", &ProcessingStats::scans_applied},
    {"scans_refused", &ProcessingStats::scans_refused},
    {"statements", &ProcessingStats::statements},
    {"rows_written", &ProcessingStats::rows_written},
    {"conflict_retries", &ProcessingStats::conflict_retries, false},
};

unsigned RequiredFields() {
  unsigned mask = 0;
  for (size_t i = 0; i < std::size(kFields); ++i) {
    if (kFields[i].required) mask |= 1u << i;
  }
  return mask;
}

}  // namespace

std::string FormatProcessingStats(const ProcessingStats& stats) {
  std::string text;
  for (const Field& field : kFields) {
    text.append(field.name);
    text += '=';
    text += std::to_string(stats.*field.count);
    text += '\n';
  }
  return text;
}

std::optional<ProcessingStats> ParseProcessingStats(std::string_view text) {
  ProcessingStats stats;
  unsigned found = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, equals);
    const std::string_view value = line.substr(equals + 1);
    for (size_t i = 0; i < std::size(kFields); ++i) {
      if (kFields[i].name != name) continue;
      uint64_t number = 0;
      auto [rest, error] = std::from_chars(value.data(), value.data() + value.size(), number);
      if (error != std::errc() || rest != value.data() + value.size() || value.empty()) {
        return std::nullopt;
      }
      stats.*kFields[i].count = number;
      found |= 1u << i;
    }
  }
  if ((found & RequiredFields()) != RequiredFields()) return std::nullopt;
  return stats;
}

bool PublishProcessingStats(const std::string& path, const ProcessingStats& stats) noexcept {
  try {
    // One writer per server; the process ID keeps a second server that
    // shares the directory by mistake from writing into the same file.
    const std::string temporary = path + "." + std::to_string(getpid()) + ".tmp";
    const std::string text = FormatProcessingStats(stats);
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written || std::rename(temporary.c_str(), path.c_str()) != 0) {
      std::remove(temporary.c_str());
      return false;
    }
    return true;
  } catch (...) {
    // Only memory exhaustion gets here; the statistics are not worth more.
    return false;
  }
}

}  // namespace corvane::intake
