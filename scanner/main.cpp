// rivozu32: inventories this machine and writes the scan, or sends it to
// an inventory server.
//
//   rivozu32 /o=FILE /f /noui /nocd   the server's self-scan form: a full
//                                     scan into FILE, nothing printed
//   rivozu32 --output FILE [--root DIR] [--state DIR]
//   rivozu32 --server HOST[:PORT] [--full] [--output FILE] [--root DIR]
//            [--state DIR]

#include <cstdlib>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/version.h"
#include "intake/scan_client.h"
#include "intake/scan_protocol.h"
#include "scanner/collector.h"
#include "scanner/device_state.h"
#include "scanner/scan_contents.h"
#include "scanner/scan_format.h"

namespace {

using corvane::scanner::ScanContents;

constexpr char kVersion[] = "rivozu32 (Corvane Inventory scanner) " CORVANE_VERSION;
constexpr char kDefaultPort[] = "5007";

constexpr char kUsage[] =
    "usage: rivozu32 --server HOST[:PORT] [--full] [--output FILE] [--root DIR] [--state DIR]\n"
    "       rivozu32 --output FILE [--root DIR] [--state DIR]\n"
    "       rivozu32 /o=FILE /f /noui /nocd\n"
    "\n"
    "Inventories this machine and sends the scan to an inventory server, or\n"
    "writes it in the server's scan file format.\n"
    "\n"
    "  --server HOST[:PORT]  send the scan over TCP (port 5007 unless given): a\n"
    "                 delta when the server allows one and the last scan it took\n"
    "                 is known, else a full scan; the state is kept only once\n"
    "                 the server has taken the scan\n"
    "  --full, /f     send a full scan even where a delta would do\n"
    "  --output FILE  write the scan to FILE (replaced whole); with --server, a\n"
    "                 copy of what was sent\n"
    "  /o=FILE        write a full scan to FILE, in the form the server's self\n"
    "                 scan uses\n"
    "  --root DIR     read the system's files under DIR instead of / (tests)\n"
    "  --state DIR    where the device ID and the last scan sent are kept\n"
    "                 (default $CORVANE_SCANNER_STATE, else /var/lib/corvane-scanner)\n"
    "  /noui, /nocd   accepted and ignored\n"
    "  --help         this text\n"
    "  --version      the program's version\n"
    "\n"
    "The configuration files embedded in each scan are listed one per line in\n"
    "/etc/corvane-scanner/files (default /etc/fstab, /etc/hosts, /etc/os-release).\n";

// The state directory unless --state names one: CORVANE_SCANNER_STATE, so
// that a test's server can run the scanner without touching the machine's.
std::string DefaultStateDirectory() {
  const char* configured = std::getenv("CORVANE_SCANNER_STATE");
  return configured != nullptr && *configured != '\0' ? configured
                                                      : corvane::scanner::kDefaultStateDirectory;
}

struct Options {
  std::string output;
  std::optional<corvane::intake::Endpoint> server;
  bool full = false;
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

std::optional<corvane::intake::Endpoint> EndpointOf(const std::string& text) {
  corvane::intake::Endpoint server;
  const size_t colon = text.rfind(':');
  server.host = text.substr(0, colon);
  server.port = colon == std::string::npos ? kDefaultPort : text.substr(colon + 1);
  const bool numeric_port = !server.port.empty() && server.port.size() <= 5 &&
                            server.port.find_first_not_of("0123456789") == std::string::npos;
  if (server.host.empty() || !numeric_port || std::stoi(server.port) == 0 ||
      std::stoi(server.port) > 65535) {
    return std::nullopt;
  }
  return server;
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
    } else if (argument == "--server") {
      std::string text;
      if (!value(text)) return std::nullopt;
      options.server = EndpointOf(text);
      if (!options.server) {
        *complaint = "--server takes HOST or HOST:PORT, not " + text;
        return std::nullopt;
      }
    } else if (argument == "--root") {
      if (!value(options.root)) return std::nullopt;
    } else if (argument == "--state") {
      if (!value(options.state)) return std::nullopt;
    } else if (argument == "--full" || argument == "/f" || argument == "/F") {
      options.full = true;
    } else if (argument == "/noui" || argument == "/nocd") {
      // The self-scan form's other switches mean nothing here.
    } else {
      *complaint = "unknown option " + argument;
      return std::nullopt;
    }
  }
  return options;
}

int Fail(const std::string& reason) {
  std::cerr << "rivozu32: " << reason << "\n";
  return 1;
}

ScanContents Inventory(const Options& options, const std::string& device_id) {
  corvane::scanner::CollectOptions collect;
  collect.root = options.root;
  collect.scan_time = static_cast<int64_t>(std::time(nullptr));
  collect.device_id = device_id;
  return corvane::scanner::ScanContentsOf(corvane::scanner::CollectInventory(collect));
}

// Asks the server how to scan, sends the scan it asked for, and keeps the
// state once the server has taken it.
int SendToServer(const Options& options, const std::string& device_id) {
  using namespace corvane;
  const intake::Endpoint& server = *options.server;
  const std::string where = server.host + ":" + server.port;
  ScanContents now = Inventory(options, device_id);
  std::optional<ScanContents> last_sent = scanner::LoadLastSentScan(options.state);
  if (last_sent && last_sent->device_id != device_id) last_sent.reset();

  intake::ScanConnection connection;
  std::optional<intake::ReplyRecord> reply;
  if (!connection.Open(server) || !(reply = intake::RequestFullScan(connection, device_id))) {
    return Fail("cannot send the scan to " + where + ": " + connection.error());
  }
  // A device ID the server holds for a duplicate (a cloned machine, most
  // often) is given up for a new one, with a full scan under it.
  bool new_device_id = false;
  if ((reply->option_flags & intake::kReplyBadDeviceIdFlag) != 0) {
    now.device_id = scanner::NewDeviceId();
    if (now.device_id.empty()) return Fail("the kernel's random source gave no device ID");
    last_sent.reset();
    new_device_id = true;
  }
  const bool delta = !options.full && last_sent &&
                     (reply->option_flags & intake::kReplyDeltaFlag) != 0 &&
                     (reply->option_flags & intake::kReplyForceFullScanFlag) == 0;
  const std::string text =
      delta ? scanner::FormatDeltaScan(*last_sent, now) : scanner::FormatFullScan(now);
  const std::string stream = intake::CompressScanText(intake::ScanTextForWire(text));
  if (!connection.Send(stream) || !connection.FinishAndWaitForClose()) {
    return Fail("cannot send the scan to " + where + ": " + connection.error());
  }

  std::string error;
  if (new_device_id && !scanner::StoreDeviceId(options.state, now.device_id, &error)) {
    return Fail("the server took the scan, but " + error);
  }
  if (!scanner::StoreLastSentScan(options.state, now, &error)) {
    return Fail("the server took the scan, but " + error + "; the next scan will be a full one");
  }
  if (!options.output.empty() && !scanner::WriteFileAtomically(options.output, text, &error)) {
    return Fail(error);
  }
  std::cout << "sent a " << (delta ? "delta" : "full") << " scan of " << stream.size()
            << " bytes to " << where << " for device ID " << now.device_id
            << (new_device_id ? " (new: the server had the old one for a duplicate)" : "") << "\n";
  return 0;
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
  if (options->output.empty() && !options->server) {
    std::cerr << "rivozu32: name a server with --server HOST[:PORT] or a file with --output FILE\n"
              << kUsage;
    return 2;
  }

  std::string error;
  const std::string device_id = corvane::scanner::LoadOrCreateDeviceId(options->state, &error);
  if (device_id.empty()) return Fail(error);
  if (options->server) return SendToServer(*options, device_id);

  const std::string scan = corvane::scanner::FormatFullScan(Inventory(*options, device_id));
  if (!corvane::scanner::WriteFileAtomically(options->output, scan, &error)) return Fail(error);
  return 0;
}
