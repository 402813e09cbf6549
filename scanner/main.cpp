// rivozu32: inventories this machine and writes the scan.
//
//   rivozu32 /o=FILE /f /noui /nocd   the server's self-scan form: a full
//                                     scan into FILE, nothing printed
//   rivozu32 --output FILE [--full] [--root DIR] [--state DIR]

#include <cstdlib>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scanner/collector.h"
#include "scanner/device_state.h"
#include "scanner/scan_format.h"

namespace {

constexpr char kVersion[] = "rivozu32 (Corvane Inventory scanner) 1.0";

constexpr char kUsage[] =
    "usage: rivozu32 --output FILE [--full] [--root DIR] [--state DIR]\n"
    "       rivozu32 /o=FILE /f /noui /nocd\n"
    "\n"
    "Inventories this machine and writes a scan in the inventory server's scan\n"
    "file format.\n"
    "\n"
    "  --output FILE  write the scan to FILE (replaced whole)\n"
    "  /o=FILE        the same, in the form the server's self scan uses\n"
    "  --full, /f     a full scan (every scan is a full scan for now)\n"
    "  --root DIR     read the system's files under DIR instead of / (tests)\n"
    "  --state DIR    where the device ID is kept (default $CORVANE_SCANNER_STATE,\n"
    "                 else /var/lib/corvane-scanner)\n"
    "  /noui, /nocd   accepted and ignored\n"
    "  --help         this text\n"
    "  --version      the program's version\n";

// The state directory unless --state names one: CORVANE_SCANNER_STATE, so
// that a test's server can run the scanner without touching the machine's.
std::string DefaultStateDirectory() {
  const char* configured = std::getenv("CORVANE_SCANNER_STATE");
  return configured != nullptr && *configured != '\0' ? configured
                                                      : corvane::scanner::kDefaultStateDirectory;
}

struct Options {
  std::string output;
  std::string root = "/";
  std::string state = DefaultStateDirectory();
  bool help = false;
  bool version = false;
};

std::string Unquoted(std::string value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

std::optional<Options> Parse(const std::vector<std::string>& arguments, std::string* complaint) {
  Options options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    auto value = [&](std::string& target) {
      if (i + 1 >= arguments.size()) {
        *complaint = argument + " needs a value";
        return false;
      }
      target = arguments[++i];
      return true;
    };
    if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--version") {
      options.version = true;
    } else if (argument == "--output" || argument == "-o") {
      if (!value(options.output)) return std::nullopt;
    } else if (argument.starts_with("/o=") || argument.starts_with("/O=")) {
      options.output = Unquoted(argument.substr(3));
    } else if (argument == "--root") {
      if (!value(options.root)) return std::nullopt;
    } else if (argument == "--state") {
      if (!value(options.state)) return std::nullopt;
    } else if (argument == "--full" || argument == "/f" || argument == "/F" ||
               argument == "/noui" || argument == "/nocd") {
      // Every scan is full; the self-scan form's other switches mean
      // nothing here.
    } else {
      *complaint = "unknown option " + argument;
      return std::nullopt;
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  std::string complaint;
  std::optional<Options> options =
      Parse(std::vector<std::string>(argv + 1, argv + argc), &complaint);
  if (!options) {
    std::cerr << "rivozu32: " << complaint << "\n" << kUsage;
    return 2;
  }
  if (options->help) {
    std::cout << kUsage;
    return 0;
  }
  if (options->version) {
    std::cout << kVersion << "\n";
    return 0;
  }
  if (options->output.empty()) {
    std::cerr << "rivozu32: name the scan's file with --output FILE\n" << kUsage;
    return 2;
  }

  std::string error;
  corvane::scanner::CollectOptions collect;
  collect.root = options->root;
  collect.scan_time = static_cast<int64_t>(std::time(nullptr));
  collect.device_id = corvane::scanner::LoadOrCreateDeviceId(options->state, &error);
  if (collect.device_id.empty()) {
    std::cerr << "rivozu32: " << error << "\n";
    return 1;
  }
  const std::string scan =
      corvane::scanner::FormatFullScan(corvane::scanner::CollectInventory(collect));
  if (!corvane::scanner::WriteFileAtomically(options->output, scan, &error)) {
    std::cerr << "rivozu32: " << error << "\n";
    return 1;
  }
  return 0;
}
