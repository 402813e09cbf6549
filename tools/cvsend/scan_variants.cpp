#include "tools/cvsend/scan_variants.h"

#include <cstdio>
#include <vector>

#include "scan/scan_text.h"

namespace corvane::cvsend {
namespace {

constexpr std::string_view kAdapterStart = "Network - Adapter - (";
constexpr std::string_view kMacAddress = ") - MAC Address =";
constexpr std::string_view kSoftwareSection = "_SOFTWARE =";
constexpr std::string_view kFileLine = "Software - File - ";
constexpr std::string_view kPackageStart = "Software - Package - (Name:";
constexpr std::string_view kVersion = ") - Version =";

struct Line {
  std::string_view text;  // without its line end
  std::string_view end;   // "\n", "\r\n" or nothing at the very end
};

std::vector<Line> SplitLines(std::string_view scan) {
  std::vector<Line> lines;
  while (!scan.empty()) {
    size_t end = scan.find('\n');
    size_t next = end == std::string_view::npos ? scan.size() : end + 1;
    std::string_view text = scan.substr(0, end == std::string_view::npos ? scan.size() : end);
    size_t body = text.size();
    if (body > 0 && text[body - 1] == '\r') --body;
    lines.push_back({text.substr(0, body), scan.substr(body, next - body)});
    scan.remove_prefix(next);
  }
  return lines;
}

std::string_view Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool IsPackageVersion(std::string_view line) {
  return line.starts_with(kPackageStart) && line.find(kVersion) != std::string_view::npos;
}

// The positions, among the package version lines, of the `count` changed
// packages.
std::vector<int> ChangedPackages(int packages, int count) {
  std::vector<int> chosen;
  if (packages <= 0 || count <= 0) return chosen;
  if (count > packages) count = packages;
  for (int k = 0; k < count; ++k) {
    chosen.push_back(static_cast<int>((static_cast<int64_t>(2 * k + 1) * packages) / (2 * count)));
  }
  return chosen;
}

std::string Hex(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

DeviceIdentity IdentityFor(uint32_t seed, uint32_t number) {
  const uint32_t series = seed & 0xFFFF;
  DeviceIdentity identity;
  identity.device_id = "{BE0C" + Hex(series, 4) + "-0000-4000-8000-" + Hex(number, 12) + "}";
  identity.name = "bench" + std::to_string(series) + "-" + std::to_string(number);
  identity.nic_address = AdapterMacFor(seed, number, 0);
  return identity;
}

std::string AdapterMacFor(uint32_t seed, uint32_t number, int index) {
  // First octet: locally administered, unicast, the adapter in its upper
  // bits; then the series' low octet and the device number.
  const uint64_t first = 0x02 | ((static_cast<uint64_t>(index) & 0x3F) << 2);
  return Hex((first << 40) | (static_cast<uint64_t>(seed & 0xFF) << 32) | number, 12);
}

std::string PersonaliseScan(std::string_view scan, uint32_t seed, uint32_t number) {
  const DeviceIdentity identity = IdentityFor(seed, number);
  const std::string template_nic = ScanValue(scan, scan::kNicAddressKey);
  std::string out;
  out.reserve(scan.size() + 256);
  int adapter = 0;
  for (const Line& line : SplitLines(scan)) {
    std::string_view text = line.text;
    if (text.starts_with(scan::kDeviceIdKey)) {
      out.append(scan::kDeviceIdKey).append(" ").append(identity.device_id);
    } else if (text.starts_with(scan::kDeviceNameKey)) {
      out.append(scan::kDeviceNameKey).append(" ").append(identity.name);
    } else if (text.starts_with(scan::kHostNameKey)) {
      out.append(scan::kHostNameKey).append(" ").append(identity.name);
    } else if (text.starts_with(scan::kNicAddressKey)) {
      out.append(scan::kNicAddressKey).append(" ").append(identity.nic_address);
    } else if (size_t mac = text.find(kMacAddress);
               text.starts_with(kAdapterStart) && mac != std::string_view::npos) {
      const std::string_view value = Trim(text.substr(mac + kMacAddress.size()));
      ++adapter;
      out.append(text.substr(0, mac + kMacAddress.size())).append(" ");
      out.append(!template_nic.empty() && value == template_nic
                     ? identity.nic_address
                     : AdapterMacFor(seed, number, adapter));
    } else {
      out.append(text);
    }
    out.append(line.end);
  }
  return out;
}

std::string DropFileSection(std::string_view scan) {
  std::string out;
  out.reserve(scan.size());
  bool in_file = false;
  for (const Line& line : SplitLines(scan)) {
    // An abbreviated line repeats the component of the line before it, so
    // it goes with the file line it continues.
    if (line.text.starts_with(kFileLine)) {
      in_file = true;
    } else if (!line.text.starts_with("*")) {
      in_file = false;
    }
    if (!in_file) out.append(line.text).append(line.end);
  }
  return out;
}

int CountPackages(std::string_view scan) {
  int packages = 0;
  for (const Line& line : SplitLines(scan)) packages += IsPackageVersion(line.text) ? 1 : 0;
  return packages;
}

std::string ChangePackageVersions(std::string_view scan, int count, std::string_view suffix) {
  const std::vector<int> chosen = ChangedPackages(CountPackages(scan), count);
  std::string out;
  out.reserve(scan.size() + chosen.size() * suffix.size());
  int package = 0;
  size_t next = 0;
  for (const Line& line : SplitLines(scan)) {
    out.append(line.text);
    if (IsPackageVersion(line.text)) {
      if (next < chosen.size() && chosen[next] == package) {
        // The value's trailing blanks would be trimmed away before the suffix.
        while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) out.pop_back();
        out.append(suffix);
        ++next;
      }
      ++package;
    }
    out.append(line.end);
  }
  return out;
}

std::string BuildDeltaScan(std::string_view full_scan, int count, std::string_view suffix) {
  const std::string changed = ChangePackageVersions(full_scan, count, suffix);
  const std::vector<int> chosen = ChangedPackages(CountPackages(full_scan), count);
  const std::string stamp = ScanValue(full_scan, scan::kLastHardwareScanDateKey);
  std::string end = "\n";
  std::string identity;
  std::string packages;
  int package = 0;
  size_t next = 0;
  for (const Line& line : SplitLines(changed)) {
    std::string_view text = line.text;
    if (!line.end.empty() && identity.empty()) end = std::string(line.end);
    if (text.starts_with(scan::kDeviceIdKey) || text.starts_with(scan::kDeviceNameKey) ||
        text.starts_with(scan::kHostNameKey) || text.starts_with(scan::kNicAddressKey)) {
      identity.append(text).append(end);
    } else if (IsPackageVersion(text)) {
      if (next < chosen.size() && chosen[next] == package) {
        packages.append(text).append(end);
        ++next;
      }
      ++package;
    }
  }
  std::string delta = identity;
  delta.append(scan::kLastSyncDateKey).append(" ").append(stamp).append(end);
  delta.append(scan::kLastHardwareScanDateKey).append(" ").append(stamp).append(end);
  delta.append(kSoftwareSection).append(" Packages and Files").append(end);
  delta.append(packages);
  delta.append("_DELETED").append(end).append("_ENDDELETED").append(end);
  return delta;
}

std::string ScanValue(std::string_view scan, std::string_view key) {
  for (const Line& line : SplitLines(scan)) {
    if (line.text.starts_with(kSoftwareSection)) break;
    if (line.text.starts_with(key)) return std::string(Trim(line.text.substr(key.size())));
  }
  return "";
}

}  // namespace corvane::cvsend
