#include "scanner/device_state.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/error.h"
#include "platform/files.h"

namespace corvane::scanner {
namespace {

constexpr char kDeviceIdFile[] = "device-id";
constexpr char kLastSentFile[] = "last-sent";
constexpr std::string_view kStateVersion = "corvane-scanner-state 1";

std::string Reason(int error) { return std::strerror(error); }

bool LooksLikeDeviceId(const std::string& text) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

bool CreateStateDirectory(const std::string& directory, std::string* error) {
  std::error_code failure;
  std::filesystem::create_directories(directory, failure);
  if (failure) *error = "cannot create the state directory " + directory + ": " + failure.message();
  return !failure;
}

// The fields of a record line; the last one takes the rest of the line,
// tabs and all.
std::vector<std::string_view> Fields(std::string_view line, size_t count) {
  std::vector<std::string_view> fields;
  while (fields.size() + 1 < count) {
    const size_t tab = line.find('\t');
    if (tab == std::string_view::npos) break;
    fields.push_back(line.substr(0, tab));
    line.remove_prefix(tab + 1);
  }
  fields.push_back(line);
  return fields;
}

// A number with nothing around it.
template <typename Integer>
std::optional<Integer> Number(std::string_view text, int base = 10) {
  Integer value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::string SerializeScanState(const ScanContents& scan) {
  std::string out(kStateVersion);
  out += "\ndevice\t" + scan.device_id + "\nname\t" + scan.device_name + "\ntime\t" +
         std::to_string(scan.scan_time) + "\n";
  for (const ScanValue& value : scan.values) {
    out += "value\t";
    out += value.software ? 's' : 'h';
    out += '\t' + value.instance + '\t' + value.key_attribute + '\t' + value.key + '\t' +
           value.attribute + '\t' + value.value + '\n';
  }
  for (const EmbeddedFile& file : scan.files) {
    char digest[17];
    std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(file.digest));
    out += "file\t" + std::to_string(file.time) + '\t' + std::to_string(file.size) + '\t' + digest +
           '\t' + file.path + '\n';
  }
  return out;
}

std::optional<ScanContents> ParseScanState(std::string_view text) {
  const size_t first_end = text.find('\n');
  if (first_end == std::string_view::npos || text.substr(0, first_end) != kStateVersion) {
    return std::nullopt;
  }
  text.remove_prefix(first_end + 1);
  ScanContents scan;
  bool has_time = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // cut short
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    const std::string_view kind = line.substr(0, line.find('\t'));
    if (kind == "device" || kind == "name" || kind == "time") {
      const std::vector<std::string_view> fields = Fields(line, 2);
      if (fields.size() != 2) return std::nullopt;
      if (kind == "device") scan.device_id = fields[1];
      if (kind == "name") scan.device_name = fields[1];
      if (kind == "time") {
        const std::optional<int64_t> time = Number<int64_t>(fields[1]);
        if (!time) return std::nullopt;
        scan.scan_time = *time;
        has_time = true;
      }
    } else if (kind == "value") {
      const std::vector<std::string_view> fields = Fields(line, 7);
      if (fields.size() != 7 || (fields[1] != "h" && fields[1] != "s")) return std::nullopt;
      scan.values.push_back({std::string(fields[2]), std::string(fields[3]), std::string(fields[4]),
                             std::string(fields[5]), std::string(fields[6]), fields[1] == "s"});
    } else if (kind == "file") {
      const std::vector<std::string_view> fields = Fields(line, 5);
      if (fields.size() != 5) return std::nullopt;
      const std::optional<int64_t> time = Number<int64_t>(fields[1]);
      const std::optional<int64_t> size = Number<int64_t>(fields[2]);
      const std::optional<uint64_t> digest = Number<uint64_t>(fields[3], 16);
      if (!time || !size || !digest) return std::nullopt;
      EmbeddedFile file;
      file.path = fields[4];
      file.time = *time;
      file.size = *size;
      file.digest = *digest;
      scan.files.push_back(std::move(file));
    } else {
      return std::nullopt;
    }
  }
  if (scan.device_id.empty() || !has_time) return std::nullopt;
  return scan;
}

std::optional<ScanContents> LoadLastSentScan(const std::string& directory) {
  std::optional<std::string> text = platform::ReadWholeFile(directory + "/" + kLastSentFile);
  if (!text) return std::nullopt;
  return ParseScanState(*text);
}

bool StoreLastSentScan(const std::string& directory, const ScanContents& scan, std::string* error) {
  return CreateStateDirectory(directory, error) &&
         WriteFileAtomically(directory + "/" + kLastSentFile, SerializeScanState(scan), error);
}

bool StoreDeviceId(const std::string& directory, const std::string& device_id, std::string* error) {
  return CreateStateDirectory(directory, error) &&
         WriteFileAtomically(directory + "/" + kDeviceIdFile, device_id + "\n", error);
}

std::string NewDeviceId() {
  unsigned char bytes[16] = {};
  size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return {};
    filled += static_cast<size_t>(got);
  }
  // A version 4 (random) UUID.
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  char text[40];
  std::snprintf(text, sizeof text,
                "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

bool WriteFileAtomically(const std::string& path, std::string_view text, std::string* error) {
  try {
    platform::ReplaceFileContents(path, text);
    return true;
  } catch (const platform::OsError& failure) {
    *error = "cannot write " + path + ": " + failure.what();
    return false;
  }
}

std::string LoadOrCreateDeviceId(const std::string& directory, std::string* error) {
  const std::string path = directory + "/" + kDeviceIdFile;
  {
    std::ifstream stored(path);
    std::string line;
    if (stored && std::getline(stored, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (LooksLikeDeviceId(line)) return line;
    }
  }
  if (!CreateStateDirectory(directory, error)) return {};
  const std::string id = NewDeviceId();
  if (id.empty()) {
    *error = "the kernel's random source gave no device ID: " + Reason(errno);
    return {};
  }
  if (!WriteFileAtomically(path, id + "\n", error)) return {};
  return id;
}

}  // namespace corvane::scanner
