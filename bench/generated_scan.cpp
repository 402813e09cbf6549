#include "bench/generated_scan.h"

#include <cstdio>

namespace corvane::bench {
namespace {

constexpr std::string_view kSoftwareMarker = "_SOFTWARE";

}  // namespace

std::string HardwarePart(std::string_view scan) {
  size_t line_start = 0;
  while (line_start < scan.size()) {
    size_t line_end = scan.find('\n', line_start);
    if (line_end == std::string_view::npos) line_end = scan.size();
    if (scan.substr(line_start, kSoftwareMarker.size()) == kSoftwareMarker) {
      std::string hardware(scan.substr(0, line_end));
      return hardware + "\n";
    }
    line_start = line_end + 1;
  }
  std::string hardware(scan);
  if (!hardware.empty() && hardware.back() != '\n') hardware += '\n';
  return hardware + "_SOFTWARE = Packages and Files\n";
}

std::string ScanWithPackages(std::string_view hardware, size_t packages) {
  std::string text(hardware);
  // About 200 bytes a package, like the sample's.
  text.reserve(text.size() + packages * 200);
  char line[160];
  for (size_t i = 0; i < packages; ++i) {
    // Zero-padded names keep the generated packages in the sorted order a
    // package manager lists them in.
    std::snprintf(line, sizeof line,
                  "Software - Package - (Name:generated-%07zu) - Version = 1.%zu.%zu-1\n", i,
                  i % 97, i % 13);
    text += line;
    text += (i % 4 == 0) ? "* - Architecture = all\n" : "* - Architecture = amd64\n";
    std::snprintf(line, sizeof line, "* - Size = %zu\n", 4096 + (i * 7919) % 50'000'000);
    text += line;
    text += "* - Source = deb\n";
    std::snprintf(line, sizeof line, "* - Description = generated package %zu for load figures\n",
                  i);
    text += line;
  }
  return text;
}

}  // namespace corvane::bench
