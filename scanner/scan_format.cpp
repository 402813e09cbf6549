#include "scanner/scan_format.h"

#include <map>
#include <set>
#include <string_view>
#include <utility>

#include "scan/contents_block.h"

namespace corvane::scanner {
namespace {

constexpr std::string_view kSoftwareMarker = "_SOFTWARE = Packages and Files\n";

// Writes value lines, continuing an instance with "* - " while its values
// follow one another. Components without instances always get whole lines.
class LineWriter {
 public:
  explicit LineWriter(std::string& out) : out_(out) {}

  void Identity(std::string_view name, std::string_view value) {
    EndRun();
    Line(name, value);
  }
  void Value(const ScanValue& value) { Value(value, value.attribute, value.value); }
  void Value(const ScanValue& value, std::string_view attribute, std::string_view text) {
    if (abbreviate_ && !value.key_attribute.empty() && value.instance == run_) {
      out_ += "* - ";
    } else {
      out_ += value.instance;
      out_ += " - ";
      run_ = value.key_attribute.empty() ? std::string() : value.instance;
    }
    Line(attribute, text);
  }
  void Marker(std::string_view line) {
    EndRun();
    out_ += line;
  }
  void Contents(const EmbeddedFile& file) {
    EndRun();
    const size_t slash = file.path.rfind('/');
    const std::string_view path = file.path;
    out_ += scan::kBeginContents;
    out_ += '\n' + std::to_string(file.size) + '\n' + std::to_string(file.time) + '\n';
    if (file.is_bios()) {
      out_ += std::string(scan::kBiosFileName) + "\n\n";
    } else {
      out_ += std::string(path.substr(slash + 1)) + '\n' + std::string(path.substr(0, slash + 1)) +
              '\n';
    }
    out_ += file.contents;
    if (!file.contents.empty() && file.contents.back() != '\n') out_ += '\n';
    out_ += scan::kEndContents;
    out_ += '\n';
  }
  // The "Cfg -" line of a configuration file (or the BIOS text) that is
  // gone. The server reads a path up to its first blank, and takes the
  // BIOS text's size from the line's last word.
  void Removed(const EmbeddedFile& file) {
    EndRun();
    out_ += "Cfg - ";
    if (file.is_bios()) {
      out_ += std::string(scan::kBiosFileName) + ' ' + std::to_string(file.size) + '\n';
    } else {
      out_ += file.path + ' ' + std::to_string(file.size) + ' ' + std::to_string(file.time) + '\n';
    }
  }
  // Every line of the deleted section becomes a row of its own at the
  // server, so it is written whole.
  void set_abbreviate(bool abbreviate) {
    abbreviate_ = abbreviate;
    EndRun();
  }

 private:
  void EndRun() { run_.clear(); }
  void Line(std::string_view name, std::string_view value) {
    out_ += name;
    out_ += " = ";
    out_ += value;
    out_ += '\n';
  }

  std::string& out_;
  std::string run_;
  bool abbreviate_ = true;
};

void WriteHeader(LineWriter& write, const ScanContents& scan) {
  write.Identity("Device ID", scan.device_id);
  write.Identity("Device Name", scan.device_name);
}

using ValueKey = std::pair<std::string_view, std::string_view>;  // instance, attribute

bool IsIdentity(const ScanValue& value) {
  return (value.instance == "Network - TCPIP" && value.attribute == "Host Name") ||
         (value.instance == "Network" && value.attribute == "NIC Address");
}

// Writes the values that `include` takes, with "Last Hardware Scan date"
// and the software marker between the hardware and the software values
// (both there even when no software value is).
template <typename Include>
void WriteValues(LineWriter& write, const ScanContents& scan, Include include) {
  bool software = false;
  auto start_software = [&] {
    write.Identity("Last Hardware Scan date", std::to_string(scan.scan_time));
    write.Marker(kSoftwareMarker);
    software = true;
  };
  for (const ScanValue& value : scan.values) {
    if (value.software && !software) start_software();
    if (include(value)) write.Value(value);
  }
  if (!software) start_software();
}

}  // namespace

std::string FormatFullScan(const ScanContents& scan) {
  std::string out;
  LineWriter write(out);
  WriteHeader(write, scan);
  WriteValues(write, scan, [](const ScanValue&) { return true; });
  for (const EmbeddedFile& file : scan.files) write.Contents(file);
  return out;
}

std::string FormatDeltaScan(const ScanContents& last_sent, const ScanContents& now) {
  std::map<ValueKey, std::string_view> sent;
  for (const ScanValue& value : last_sent.values) {
    sent[{value.instance, value.attribute}] = value.value;
  }
  std::set<ValueKey> current;
  std::set<std::string_view> current_instances;
  for (const ScanValue& value : now.values) {
    current.insert({value.instance, value.attribute});
    current_instances.insert(value.instance);
  }

  std::string out;
  LineWriter write(out);
  WriteHeader(write, now);
  write.Identity("Last Sync Date", std::to_string(last_sent.scan_time));
  WriteValues(write, now, [&](const ScanValue& value) {
    auto before = sent.find({value.instance, value.attribute});
    return IsIdentity(value) || before == sent.end() || before->second != value.value;
  });

  std::map<std::string_view, const EmbeddedFile*> files_sent;
  for (const EmbeddedFile& file : last_sent.files) files_sent[file.path] = &file;
  std::set<std::string_view> files_now;
  for (const EmbeddedFile& file : now.files) {
    files_now.insert(file.path);
    auto before = files_sent.find(file.path);
    if (before == files_sent.end() || before->second->digest != file.digest) write.Contents(file);
  }

  write.Marker("_DELETED\n");
  write.set_abbreviate(false);
  std::set<std::string_view> instances_gone;
  for (const ScanValue& value : last_sent.values) {
    if (current.contains({value.instance, value.attribute})) continue;
    const bool instance_remains = current_instances.contains(value.instance);
    // The key attribute of an instance that remains stood in for values it
    // lacked then; deleting it would delete the instance.
    if (instance_remains && value.attribute == value.key_attribute) continue;
    if (value.key_attribute.empty() || instance_remains) {
      write.Value(value);
    } else if (instances_gone.insert(value.instance).second) {
      write.Value(value, value.key_attribute, value.key);
    }
  }
  for (const EmbeddedFile& file : last_sent.files) {
    if (!files_now.contains(file.path)) write.Removed(file);
  }
  write.Marker("_ENDDELETED\n");
  return out;
}

}  // namespace corvane::scanner
