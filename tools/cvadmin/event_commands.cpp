#include <ctime>
#include <iomanip>

#include "diag/catalogue.h"
#include "notifex/event_file.h"
#include "notifex/message_table.h"
#include "platform/files.h"
#include "tools/cvadmin/commands.h"
#include "tools/cvadmin/options.h"
#include "tools/cvadmin/tabular.h"

namespace corvane::cvadmin {
namespace {

const char* TypeName(uint32_t type) {
  switch (type) {
    case 1:
      return "error";
    case 2:
      return "warning";
    case 4:
      return "information";
  }
  return "type?";
}

std::string TimeText(uint64_t filetime) {
  const auto time = notifex::TimeFromFileTime(filetime);
  return FormatTimestamp(std::chrono::system_clock::to_time_t(time)) + "Z";
}

// The catalogue's text of a server event with its inserts, each line
// indented; empty for events of other sources' numbers.
std::string EventText(const notifex::EventRecord& record) {
  std::optional<std::string_view> message = diag::ProgramMessage(record.event_id);
  if (!message) return {};
  std::string text = notifex::ExpandMessage(*message, record.inserts);
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty()) out += "    " + line + "\n";
    start = end + 1;
  }
  return out;
}

constexpr char kEventsUsage[] =
    "usage: cvadmin events [FILE]\n"
    "\n"
    "Prints the records of the server's own event file (FILE, default the one in\n"
    "the runtime root): time (UTC), type, event number and source, the event's\n"
    "text from the server's message catalogue, and its inserts.\n";

}  // namespace

int EventsCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  if (AsksForHelp(arguments)) {
    out << kEventsUsage;
    return 0;
  }
  if (arguments.size() > 1 || (!arguments.empty() && arguments[0].starts_with("--"))) {
    err << kEventsUsage;
    return 2;
  }
  std::string path = arguments.empty() ? notifex::EventFilePath() : arguments[0];
  std::optional<std::string> image = platform::ReadWholeFile(path);
  if (!image) {
    err << "cvadmin: cannot read " << path << "\n";
    return 1;
  }
  notifex::EventFileContents contents = notifex::ParseEventFile(*image);
  for (const notifex::EventRecord& record : contents.records) {
    out << TimeText(record.filetime) << "  " << TypeName(record.type) << "  " << record.event_id
        << "  " << record.source << "\n"
        << EventText(record);
    for (size_t i = 0; i < record.inserts.size(); ++i) {
      out << "    %" << (i + 1) << " = " << std::quoted(record.inserts[i]) << "\n";
    }
  }
  out << contents.records.size() << " record(s)";
  if (contents.records.size() != contents.declared_count) {
    out << "; the header claims " << contents.declared_count;
  }
  out << "\n";
  return 0;
}

}  // namespace corvane::cvadmin
