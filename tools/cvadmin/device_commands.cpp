// cvadmin device and cvadmin software: what the server collected, without
// writing SQL. Aligned text for people; csv and json for scripts.

#include <algorithm>
#include <exception>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "tools/cvadmin/commands.h"
#include "tools/cvadmin/inventory_view.h"
#include "tools/cvadmin/options.h"
#include "tools/cvadmin/tabular.h"

namespace corvane::cvadmin {
namespace {

// How many changes `device show` lists.
constexpr size_t kShownChanges = 20;

// The formats of the list commands; the first is the default.
const std::vector<OutputFormat> kListFormats = {OutputFormat::kTable, OutputFormat::kCsv,
                                                OutputFormat::kJson};

constexpr char kDeviceUsage[] =
    "usage: cvadmin device list [--search TEXT] [--format table|csv|json]\n"
    "       cvadmin device show DEVICE [--format text|json]\n"
    "       cvadmin device history DEVICE [--since DATE] [--format table|csv|json]\n"
    "\n"
    "The devices of the default connection's inventory database.\n"
    "\n"
    "  list     every device (or those whose ID, name, host, address or OS holds\n"
    "           TEXT, ignoring case): ID, name, host, address, OS, last scan,\n"
    "           inventory server\n"
    "  show     every component of one device with its attributes, its packages,\n"
    "           its software files with their catalogue titles, its configuration\n"
    "           files, and its last 20 changes\n"
    "  history  the device's recorded changes, newest first; --since DATE\n"
    "           (YYYY-MM-DD [HH:MM[:SS]], UTC) keeps the later ones\n"
    "\n"
    "DEVICE is a device ID, a device or host name, or a Computer_Idn.\n"
    "Times are UTC.\n";

constexpr char kSoftwareUsage[] =
    "usage: cvadmin software list [--search TEXT] [--format table|csv|json]\n"
    "\n"
    "Every package name and version in the inventory database with the number\n"
    "of devices that have it; --search keeps the names that hold TEXT (ignoring\n"
    "case).\n";

int Usage(std::ostream& err, const char* usage, std::string_view command,
          std::string_view complaint) {
  err << "cvadmin " << command << ": " << complaint << "\n" << usage;
  return 2;
}

void Write(std::ostream& out, const Tabular& table, OutputFormat format) {
  switch (format) {
    case OutputFormat::kCsv:
      WriteCsv(out, table);
      break;
    case OutputFormat::kJson:
      WriteJson(out, table);
      break;
    case OutputFormat::kTable:
    case OutputFormat::kText:
      WriteAligned(out, table);
      break;
  }
}

// The options after the subcommand, and the DEVICE before them when the
// subcommand takes one.
struct Request {
  std::string device;
  std::map<std::string, std::string> options;
  OutputFormat format = OutputFormat::kTable;
};

std::optional<Request> ParseRequest(const std::vector<std::string>& arguments, bool takes_device,
                                    const std::vector<std::string>& allowed,
                                    const std::vector<OutputFormat>& formats,
                                    std::string* complaint) {
  Request request;
  std::vector<std::string> rest = arguments;
  if (takes_device) {
    if (rest.empty() || rest.front().starts_with("--")) {
      *complaint = "name the DEVICE";
      return std::nullopt;
    }
    request.device = rest.front();
    rest.erase(rest.begin());
  }
  std::vector<std::string> names = allowed;
  names.push_back("format");
  std::optional<std::map<std::string, std::string>> options = ParseOptions(rest, names, complaint);
  if (!options) return std::nullopt;
  request.options = *options;
  request.format = formats.front();
  if (auto given = request.options.find("format"); given != request.options.end()) {
    std::optional<OutputFormat> format = ParseOutputFormat(given->second);
    if (!format || std::find(formats.begin(), formats.end(), *format) == formats.end()) {
      *complaint = "--format takes " +
                   std::string(formats.size() == 2 ? "text or json" : "table, csv or json");
      return std::nullopt;
    }
    request.format = *format;
  }
  return request;
}

// The Computer_Idn of DEVICE; 0 after telling `err` why there is none.
int32_t ResolveDevice(db::Connection& connection, const std::string& device, std::ostream& err) {
  const std::vector<int32_t> found = FindDevices(connection, device);
  if (found.size() == 1) return found.front();
  if (found.empty()) {
    err << "cvadmin device: no device is named " << device
        << " (a device ID, a device or host name, or a Computer_Idn)\n";
  } else {
    err << "cvadmin device: " << found.size() << " devices are named " << device
        << "; name one by its Computer_Idn:";
    for (int32_t idn : found) err << " " << idn;
    err << "\n";
  }
  return 0;
}

std::string Indented(const std::string& text) {
  std::string out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    out += (line.empty() ? "" : "  ") + line + "\n";
  return out;
}

// Opens the default database and finds the request's device: its
// Computer_Idn, or 0 after telling `err` why there is none.
int32_t OpenRequestedDevice(db::Connection& connection, db::DbmsKind* kind, const Request& request,
                            std::ostream& err) {
  if (!OpenDefaultDatabase(connection, kind, err, "device")) return 0;
  return ResolveDevice(connection, request.device, err);
}

void ShowText(std::ostream& out, const std::vector<ComponentRows>& components,
              const Tabular& changes) {
  for (const ComponentRows& component : components) {
    out << component.table << " (" << component.rows.rows.size()
        << (component.rows.rows.size() == 1 ? " row" : " rows") << "): " << component.description
        << "\n";
    if (component.rows.rows.size() == 1) {
      // One row reads best as attribute and value lines.
      Tabular pairs{{"Attribute", "Value"}, {}};
      for (size_t i = 0; i < component.rows.columns.size(); ++i) {
        if (!component.rows.rows[0][i].empty()) {
          pairs.rows.push_back({component.rows.columns[i], component.rows.rows[0][i]});
        }
      }
      std::ostringstream text;
      WriteAligned(text, pairs);
      // Without the header and its rule.
      std::string body = text.str();
      body.erase(0, body.find('\n', body.find('\n') + 1) + 1);
      out << Indented(body);
    } else {
      std::ostringstream text;
      WriteAligned(text, component.rows);
      out << Indented(text.str());
    }
    out << "\n";
  }
  out << "Last changes (" << changes.rows.size() << ", newest first):\n";
  std::ostringstream text;
  WriteAligned(text, changes);
  out << Indented(text.str());
}

void ShowJson(std::ostream& out, int32_t computer_idn, const std::vector<ComponentRows>& components,
              const Tabular& changes) {
  out << "{\n\"computer_idn\": " << computer_idn << ",\n\"components\": {";
  for (size_t i = 0; i < components.size(); ++i) {
    out << (i == 0 ? "\n" : ",\n") << JsonString(components[i].table) << ": ";
    WriteJson(out, components[i].rows);
  }
  out << "},\n\"last_changes\": ";
  WriteJson(out, changes);
  out << "}\n";
}

int DeviceList(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  std::string complaint;
  std::optional<Request> request =
      ParseRequest(arguments, false, {"search"}, kListFormats, &complaint);
  if (!request) return Usage(err, kDeviceUsage, "device", complaint);
  db::Connection connection;
  db::DbmsKind kind = db::kDbmsUnknown;
  if (!OpenDefaultDatabase(connection, &kind, err, "device")) return 1;
  Write(out, ListDevices(connection, request->options["search"]), request->format);
  return 0;
}

int DeviceShow(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  std::string complaint;
  std::optional<Request> request =
      ParseRequest(arguments, true, {}, {OutputFormat::kText, OutputFormat::kJson}, &complaint);
  if (!request) return Usage(err, kDeviceUsage, "device", complaint);
  db::Connection connection;
  db::DbmsKind kind = db::kDbmsUnknown;
  const int32_t computer_idn = OpenRequestedDevice(connection, &kind, *request, err);
  if (computer_idn == 0) return 1;
  const std::vector<ComponentRows> components = DeviceComponents(connection, computer_idn);
  const Tabular changes =
      DeviceHistory(connection, kind, computer_idn, std::nullopt, kShownChanges);
  if (request->format == OutputFormat::kJson) {
    ShowJson(out, computer_idn, components, changes);
  } else {
    ShowText(out, components, changes);
  }
  return 0;
}

int DeviceHistoryCommand(const std::vector<std::string>& arguments, std::ostream& out,
                         std::ostream& err) {
  std::string complaint;
  std::optional<Request> request =
      ParseRequest(arguments, true, {"since"}, kListFormats, &complaint);
  if (!request) return Usage(err, kDeviceUsage, "device", complaint);
  std::optional<int64_t> since;
  if (auto given = request->options.find("since"); given != request->options.end()) {
    since = ParseDate(given->second);
    if (!since) {
      return Usage(err, kDeviceUsage, "device",
                   "--since takes YYYY-MM-DD or YYYY-MM-DD HH:MM[:SS], not " + given->second);
    }
  }
  db::Connection connection;
  db::DbmsKind kind = db::kDbmsUnknown;
  const int32_t computer_idn = OpenRequestedDevice(connection, &kind, *request, err);
  if (computer_idn == 0) return 1;
  Write(out, DeviceHistory(connection, kind, computer_idn, since, 0), request->format);
  return 0;
}

// Runs `body`, turning a database failure into exit status 1 with its text.
template <typename Body>
int Guarded(std::ostream& err, std::string_view command, Body body) {
  try {
    return body();
  } catch (const std::exception& error) {
    err << "cvadmin " << command << ": " << error.what() << "\n";
    return 1;
  }
}

}  // namespace

int DeviceCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  if (arguments.empty()) return Usage(err, kDeviceUsage, "device", "name a subcommand");
  if (AsksForHelp(arguments)) {
    out << kDeviceUsage;
    return 0;
  }
  const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  const std::string& command = arguments[0];
  return Guarded(err, "device", [&] {
    if (command == "list") return DeviceList(rest, out, err);
    if (command == "show") return DeviceShow(rest, out, err);
    if (command == "history") return DeviceHistoryCommand(rest, out, err);
    return Usage(err, kDeviceUsage, "device", "unknown subcommand '" + command + "'");
  });
}

int SoftwareCommand(const std::vector<std::string>& arguments, std::ostream& out,
                    std::ostream& err) {
  if (AsksForHelp(arguments)) {
    out << kSoftwareUsage;
    return 0;
  }
  if (arguments.empty() || arguments[0] != "list") {
    return Usage(err, kSoftwareUsage, "software", "the subcommand is list");
  }
  const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  return Guarded(err, "software", [&] {
    std::string complaint;
    std::optional<Request> request =
        ParseRequest(rest, false, {"search"}, kListFormats, &complaint);
    if (!request) return Usage(err, kSoftwareUsage, "software", complaint);
    db::Connection connection;
    db::DbmsKind kind = db::kDbmsUnknown;
    if (!OpenDefaultDatabase(connection, &kind, err, "software")) return 1;
    Write(out, ListSoftware(connection, request->options["search"]), request->format);
    return 0;
  });
}

}  // namespace corvane::cvadmin
