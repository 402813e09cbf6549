#include <ctime>
#include <iomanip>

#include "notifex/event_file.h"
#include "platform/files.h"
#include "tools/cvadmin/commands.h"

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
  auto time = notifex::TimeFromFileTime(filetime);
  time_t seconds = std::chrono::system_clock::to_time_t(time);
  struct tm utc;
  gmtime_r(&seconds, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return std::string(text) + "Z";
}

}  // namespace

int EventsCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  if (arguments.size() > 1) {
    err << "usage: cvadmin events [FILE]\n";
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
        << "  " << record.source << "\n";
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
