#include "scanner/system_files.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <set>

namespace corvane::scanner {
namespace {

// Calls `line` for each line of `text`, without its line end.
template <typename Visit>
void ForEachLine(std::string_view text, Visit line) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view current = text.substr(0, end);
    if (!current.empty() && current.back() == '\r') current.remove_suffix(1);
    line(current);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

}  // namespace

std::optional<int64_t> ParseInteger(std::string_view text) {
  text = Trim(text);
  int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

namespace {

// "key : value" of /proc/cpuinfo and /proc/meminfo.
bool KeyValue(std::string_view line, std::string_view& key, std::string_view& value) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  key = Trim(line.substr(0, colon));
  value = Trim(line.substr(colon + 1));
  return true;
}

std::string Unquoted(std::string_view value) {
  if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
    return std::string(value.substr(1, value.size() - 2));
  }
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    std::string out;
    for (size_t i = 1; i + 1 < value.size(); ++i) {
      if (value[i] == '\\' && i + 2 < value.size()) ++i;
      out += value[i];
    }
    return out;
  }
  return std::string(value);
}

std::string ManufacturerOfVendorId(std::string_view vendor_id) {
  if (vendor_id == "GenuineIntel") return "Intel";
  if (vendor_id == "AuthenticAMD") return "AMD";
  return std::string(vendor_id);
}

// Octal escapes of /proc/mounts: blanks, tabs, newlines and backslashes.
std::string MountField(std::string_view field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string_view digits = field.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out +=
            static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0'));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

bool IsPseudoFileSystem(std::string_view type) {
  static const std::set<std::string_view> kPseudo = {
      "proc",       "sysfs",     "devtmpfs", "devpts",     "tmpfs",           "securityfs",
      "cgroup",     "cgroup2",   "pstore",   "bpf",        "debugfs",         "tracefs",
      "configfs",   "fusectl",   "mqueue",   "hugetlbfs",  "autofs",          "binfmt_misc",
      "rpc_pipefs", "nsfs",      "ramfs",    "efivarfs",   "fuse.gvfsd-fuse", "overlay",
      "squashfs",   "selinuxfs", "nfsd",     "fuse.portal"};
  return kPseudo.count(type) != 0;
}

}  // namespace

std::map<std::string, std::string> ParseOsRelease(std::string_view text) {
  std::map<std::string, std::string> values;
  ForEachLine(text, [&](std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() == '#') return;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos || equals == 0) return;
    values[std::string(line.substr(0, equals))] = Unquoted(Trim(line.substr(equals + 1)));
  });
  return values;
}

std::vector<DpkgPackage> ParseDpkgStatus(std::string_view text) {
  std::vector<DpkgPackage> packages;
  DpkgPackage current;
  std::string status;
  std::string_view last_field;
  auto finish = [&] {
    const bool installed = status == "install ok installed" || status == "hold ok installed";
    if (installed && !current.name.empty()) packages.push_back(std::move(current));
    current = DpkgPackage();
    status.clear();
    last_field = {};
  };
  ForEachLine(text, [&](std::string_view line) {
    if (line.empty()) {
      finish();
      return;
    }
    // Continuation lines (the long description) belong to the field before.
    if (line.front() == ' ' || line.front() == '\t') return;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    const std::string_view field = line.substr(0, colon);
    const std::string_view value = Trim(line.substr(colon + 1));
    last_field = field;
    if (field == "Package") {
      current.name = std::string(value);
    } else if (field == "Status") {
      status = std::string(value);
    } else if (field == "Version") {
      current.version = std::string(value);
    } else if (field == "Architecture") {
      current.architecture = std::string(value);
    } else if (field == "Installed-Size") {
      current.installed_size_kib = ParseInteger(value);
    } else if (field == "Description") {
      current.description = std::string(value);
    } else if (field == "Maintainer") {
      current.maintainer = std::string(value);
    }
  });
  finish();
  return packages;
}

std::vector<std::string> ParseDpkgFileList(std::string_view text) {
  std::vector<std::string> paths;
  ForEachLine(text, [&](std::string_view line) {
    if (!line.empty() && line.front() == '/') paths.emplace_back(line);
  });
  return paths;
}

std::string PackageOfListFile(std::string_view file_name) {
  constexpr std::string_view kSuffix = ".list";
  if (file_name.size() <= kSuffix.size() || !file_name.ends_with(kSuffix)) return {};
  file_name.remove_suffix(kSuffix.size());
  return std::string(file_name.substr(0, file_name.find(':')));
}

CpuInfo ParseCpuInfo(std::string_view text) {
  CpuInfo info;
  // (physical id, core id) pairs, and the cores per socket as a fallback.
  std::set<std::pair<std::string, std::string>> cores;
  std::set<std::string> sockets;
  std::string physical_id;
  int cores_per_socket = 0;
  ForEachLine(text, [&](std::string_view line) {
    std::string_view key, value;
    if (!KeyValue(line, key, value)) return;
    if (key == "processor") {
      ++info.logical_processors;
      physical_id.clear();
    } else if (key == "model name" && info.model.empty()) {
      info.model = std::string(value);
    } else if (key == "vendor_id" && info.manufacturer.empty()) {
      info.manufacturer = ManufacturerOfVendorId(value);
    } else if (key == "physical id") {
      physical_id = std::string(value);
      sockets.insert(physical_id);
    } else if (key == "core id") {
      cores.insert({physical_id, std::string(value)});
    } else if (key == "cpu cores") {
      cores_per_socket = static_cast<int>(ParseInteger(value).value_or(0));
    }
  });
  info.sockets = sockets.empty() ? 1 : static_cast<int>(sockets.size());
  if (!cores.empty()) {
    info.cores = static_cast<int>(cores.size());
  } else if (cores_per_socket > 0) {
    info.cores = cores_per_socket * info.sockets;
  } else {
    info.cores = info.logical_processors;
  }
  return info;
}

MemInfo ParseMemInfo(std::string_view text) {
  MemInfo info;
  ForEachLine(text, [&](std::string_view line) {
    std::string_view key, value;
    if (!KeyValue(line, key, value)) return;
    if (value.ends_with(" kB")) value.remove_suffix(3);
    if (key == "MemTotal") info.total_kib = ParseInteger(value).value_or(0);
    if (key == "SwapTotal") info.swap_kib = ParseInteger(value).value_or(0);
  });
  return info;
}

std::vector<Account> ParsePasswd(std::string_view text) {
  std::vector<Account> accounts;
  ForEachLine(text, [&](std::string_view line) {
    if (line.empty() || line.front() == '#') return;
    const std::vector<std::string_view> fields = Split(line, ':');
    if (fields.size() < 7 || fields[0].empty()) return;
    Account account;
    account.name = std::string(fields[0]);
    account.id = std::string(fields[2]);
    // The GECOS field's first part is the full name.
    account.full_name = std::string(fields[4].substr(0, fields[4].find(',')));
    account.home = std::string(fields[5]);
    account.shell = std::string(fields[6]);
    accounts.push_back(std::move(account));
  });
  return accounts;
}

std::vector<Account> ParseGroup(std::string_view text) {
  std::vector<Account> groups;
  ForEachLine(text, [&](std::string_view line) {
    if (line.empty() || line.front() == '#') return;
    const std::vector<std::string_view> fields = Split(line, ':');
    if (fields.size() < 4 || fields[0].empty()) return;
    Account group;
    group.name = std::string(fields[0]);
    group.id = std::string(fields[2]);
    for (std::string_view member : Split(fields[3], ',')) {
      if (!Trim(member).empty()) group.members.emplace_back(Trim(member));
    }
    groups.push_back(std::move(group));
  });
  return groups;
}

std::vector<Mount> ParseMounts(std::string_view text) {
  std::vector<Mount> mounts;
  std::set<std::string> seen;
  ForEachLine(text, [&](std::string_view line) {
    const std::vector<std::string_view> fields = Split(line, ' ');
    if (fields.size() < 3 || IsPseudoFileSystem(fields[2])) return;
    Mount mount{MountField(fields[0]), MountField(fields[1]), std::string(fields[2])};
    // A mount point mounted over: the last mount is the one in use.
    if (!seen.insert(mount.mount_point).second) {
      std::erase_if(mounts, [&](const Mount& m) { return m.mount_point == mount.mount_point; });
    }
    mounts.push_back(std::move(mount));
  });
  return mounts;
}

std::vector<std::string> ParseNameServers(std::string_view text) {
  std::vector<std::string> servers;
  ForEachLine(text, [&](std::string_view line) {
    line = Trim(line);
    constexpr std::string_view kKey = "nameserver";
    if (!line.starts_with(kKey) || line.size() == kKey.size()) return;
    if (line[kKey.size()] != ' ' && line[kKey.size()] != '\t') return;
    const std::string_view address = Trim(line.substr(kKey.size()));
    if (!address.empty()) servers.emplace_back(address.substr(0, address.find_first_of(" \t#")));
  });
  return servers;
}

DefaultRoute ParseDefaultRoute(std::string_view text) {
  DefaultRoute route;
  ForEachLine(text, [&](std::string_view line) {
    if (!route.gateway.empty()) return;
    std::vector<std::string_view> fields;
    for (std::string_view field : Split(line, '\t')) {
      if (!Trim(field).empty()) fields.push_back(Trim(field));
    }
    // Iface Destination Gateway Flags ...: the default route has
    // destination 0; both are little-endian hexadecimal.
    if (fields.size() < 3 || fields[1] != "00000000") return;
    if (route.interface.empty()) route.interface = std::string(fields[0]);
    unsigned long value = 0;
    auto [end, error] =
        std::from_chars(fields[2].data(), fields[2].data() + fields[2].size(), value, 16);
    if (error != std::errc() || value == 0) return;
    char text_address[16];
    std::snprintf(text_address, sizeof text_address, "%lu.%lu.%lu.%lu", value & 0xFF,
                  (value >> 8) & 0xFF, (value >> 16) & 0xFF, (value >> 24) & 0xFF);
    route.interface = std::string(fields[0]);
    route.gateway = text_address;
  });
  return route;
}

std::vector<Ipv6Address> ParseIfInet6(std::string_view text) {
  std::vector<Ipv6Address> addresses;
  ForEachLine(text, [&](std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::string_view field : Split(line, ' ')) {
      if (!field.empty()) fields.push_back(field);
    }
    if (fields.size() < 6 || fields[0].size() != 32) return;
    // Eight groups without leading zeros, the longest run of zero groups
    // (two or more) written as "::".
    std::vector<unsigned> groups;
    for (size_t i = 0; i < 32; i += 4) {
      unsigned value = 0;
      auto [end, error] =
          std::from_chars(fields[0].data() + i, fields[0].data() + i + 4, value, 16);
      if (error != std::errc()) return;
      groups.push_back(value);
    }
    int best_start = -1, best_length = 0;
    for (int i = 0; i < 8;) {
      if (groups[i] != 0) {
        ++i;
        continue;
      }
      int j = i;
      while (j < 8 && groups[j] == 0) ++j;
      if (j - i > best_length && j - i >= 2) best_start = i, best_length = j - i;
      i = j;
    }
    std::string address;
    for (int i = 0; i < 8; ++i) {
      if (i == best_start) {
        address += "::";
        i += best_length - 1;
        continue;
      }
      if (!address.empty() && address.back() != ':') address += ':';
      char group[8];
      std::snprintf(group, sizeof group, "%x", groups[i]);
      address += group;
    }
    addresses.push_back({std::string(fields[5]), address});
  });
  return addresses;
}

std::string TrimmedLine(std::string_view text) {
  const size_t end = text.find('\n');
  return std::string(Trim(text.substr(0, end)));
}

std::vector<std::string> ParseConfigFileList(std::string_view text) {
  std::vector<std::string> paths;
  ForEachLine(text, [&](std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() != '/' ||
        line.find_first_of(" \t") != std::string_view::npos) {
      return;
    }
    paths.emplace_back(line);
  });
  return paths;
}

std::vector<RpmPackage> ParseRpmQuery(std::string_view text) {
  std::vector<RpmPackage> packages;
  ForEachLine(text, [&](std::string_view line) {
    std::vector<std::string_view> fields;
    for (size_t field = 0; field < 4; ++field) {
      const size_t tab = line.find('\t');
      if (tab == std::string_view::npos) return;
      fields.push_back(line.substr(0, tab));
      line.remove_prefix(tab + 1);
    }
    fields.push_back(line);
    auto text_of = [](std::string_view field) {
      return field == "(none)" ? std::string() : std::string(Trim(field));
    };
    RpmPackage package{text_of(fields[0]), text_of(fields[1]), text_of(fields[2]),
                       ParseInteger(fields[3]), text_of(fields[4])};
    if (!package.name.empty()) packages.push_back(std::move(package));
  });
  return packages;
}

}  // namespace corvane::scanner
