// The exported C interface of notifex: argument handling only; the work is
// done by the process's EventLibrary.

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>

#include "notifex/event_library.h"
#include "notifex/inserts.h"
#include "notifex/notifex.h"
#include "platform/registry.h"

namespace {

using corvane::notifex::EventLibrary;
using corvane::notifex::EventReport;
using corvane::notifex::Sink;

EventLibrary& Library() {
  // Never destroyed: reports may come from threads that outlive main().
  static EventLibrary* library = new EventLibrary();
  return *library;
}

class VaInsertArguments : public corvane::notifex::InsertArguments {
 public:
  explicit VaInsertArguments(va_list& arguments) : arguments_(arguments) {}
  int32_t NextNumber() override { return va_arg(arguments_, int32_t); }
  const char* NextText() override { return va_arg(arguments_, const char*); }

 private:
  va_list& arguments_;
};

std::string Text(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

EventReport MakeReport(const char* application, const char* alert_name, const char* display_name,
                       uint32_t sinks, uint32_t event_id, uint32_t kind, const char* format,
                       va_list& arguments) {
  EventReport report;
  report.application = Text(application);
  report.alert_name = Text(alert_name);
  report.display_name = Text(display_name);
  report.sinks = sinks;
  report.event_id = event_id;
  report.kind = kind;
  if (format != nullptr) {
    if (sinks & NTFX_REGISTRATION_MODE) {
      report.parameter_count = corvane::notifex::SplitInsertFormat(format).size();
    } else {
      VaInsertArguments source(arguments);
      report.inserts = corvane::notifex::BuildInserts(format, source);
    }
  }
  return report;
}

// A loaded message file handed out as NTFX_MODULE.
struct MessageModule {
  std::shared_ptr<const corvane::notifex::MessageTable> table;
};

constexpr size_t kMessageBufferSize = 1024;

int Report(const char* application, const char* alert_name, const char* display_name,
           uint32_t sinks, uint32_t event_id, uint32_t kind, const char* format,
           va_list& arguments) {
  try {
    Library().Report(MakeReport(application, alert_name, display_name, sinks, event_id, kind,
                                format, arguments));
  } catch (...) {
  }
  return 1;
}

}  // namespace

extern "C" {

int RegisterEventApplicationEx(const char* application, const char* display_name,
                               const char* message_file) {
  if (application == nullptr) return 0;
  try {
    Library().RegisterApplication(application, Text(display_name), Text(message_file));
  } catch (...) {
    return 0;
  }
  return 1;
}

int RegisterEventApplication(const char* application, const char* message_file) {
  return RegisterEventApplicationEx(application, application, message_file);
}

int RegisterEventEx(const char* application, const char* alert_name, const char* display_name,
                    uint32_t event_id, const char* insert_format) {
  va_list none{};
  return Report(application, alert_name, display_name, NTFX_REGISTRATION_MODE | NTFX_SINK_HALO2,
                event_id, 0, insert_format, none);
}

int RegisterEvent(const char* application, const char* alert_name, uint32_t event_id,
                  const char* insert_format) {
  return RegisterEventEx(application, alert_name, alert_name, event_id, insert_format);
}

int ReportAnEvent(const char* application, uint32_t event_id, uint32_t kind,
                  const char* insert_format, ...) {
  va_list arguments;
  va_start(arguments, insert_format);
  int result = Report(application, nullptr, nullptr, Library().SelectedSinks(), event_id, kind,
                      insert_format, arguments);
  va_end(arguments);
  return result;
}

int ReportAnEventEx(const char* application, const char* alert_name, uint32_t sinks,
                    uint32_t event_id, uint32_t kind, const char* insert_format, ...) {
  va_list arguments;
  va_start(arguments, insert_format);
  int result = Report(application, alert_name, nullptr, sinks, event_id, kind & ~0x10000000u,
                      insert_format, arguments);
  va_end(arguments);
  return result;
}

int ReportAnEventEx2(const char* application, const char* alert_name, const char* display_name,
                     uint32_t sinks, uint32_t event_id, uint32_t kind, const char* insert_format,
                     ...) {
  va_list arguments;
  va_start(arguments, insert_format);
  int result = Report(application, alert_name, display_name, sinks, event_id, kind & ~0x10000000u,
                      insert_format, arguments);
  va_end(arguments);
  return result;
}

int LogAnEvent(const char* application, uint32_t event_id, uint32_t kind, const char* insert_format,
               ...) {
  uint32_t sinks = Library().SelectedSinks() & (NTFX_SINK_NT_EVENT_LOG | NTFX_SINK_EVENT_FILE);
  if (sinks == 0) return 0;
  va_list arguments;
  va_start(arguments, insert_format);
  int result =
      Report(application, nullptr, nullptr, sinks, event_id, kind, insert_format, arguments);
  va_end(arguments);
  return result;
}

int ReportEventEx(const char* source, uint32_t type, uint32_t event_id, uint32_t insert_count,
                  const char** inserts) {
  std::vector<std::string> texts;
  for (uint32_t i = 0; inserts != nullptr && i < insert_count; ++i)
    texts.push_back(Text(inserts[i]));
  try {
    return Library().AppendToEventFile(Text(source), type, event_id, texts) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

char* MsgSprintf(NTFX_MODULE module, uint32_t message_id, char* buffer, ...) {
  // Each thread formats into its own buffer, so concurrent callers that pass
  // no buffer do not overwrite each other's text.
  thread_local char own_buffer[kMessageBufferSize];
  char* out = buffer != nullptr ? buffer : own_buffer;
  std::string text = "Message not found in resource.";
  const auto* loaded = static_cast<const MessageModule*>(module);
  if (loaded != nullptr && loaded->table) {
    auto found = loaded->table->find(message_id);
    if (found != loaded->table->end()) {
      va_list arguments;
      va_start(arguments, buffer);
      std::vector<std::string> inserts;
      int wanted = corvane::notifex::HighestInsertNumber(found->second);
      for (int i = 0; i < wanted; ++i) inserts.push_back(Text(va_arg(arguments, const char*)));
      va_end(arguments);
      text = corvane::notifex::ExpandMessage(found->second, inserts);
    }
  }
  size_t length = std::min(text.size(), kMessageBufferSize - 1);
  std::memcpy(out, text.data(), length);
  out[length] = '\0';
  return out;
}

NTFX_MODULE LoadEventSource(const char* application) {
  if (application == nullptr) return nullptr;
  try {
    auto table = Library().LoadSource(application);
    if (!table) return nullptr;
    return new MessageModule{std::move(table)};
  } catch (...) {
    return nullptr;
  }
}

void CloseEventSource(NTFX_MODULE module) { delete static_cast<MessageModule*>(module); }

int SetDefaultEventFormatString(const char* format) {
  return Library().SetDefaultFormat(format) ? 1 : 0;
}

uint32_t QueryRegistryLogSetting(const char* value_name) {
  if (value_name == nullptr) return 0;
  try {
    auto value = corvane::platform::registry::GetValue(corvane::platform::RegRoot::kLocalMachine,
                                                       corvane::notifex::kSettingsKey, value_name);
    if (value && value->type == corvane::platform::RegType::kDword) return value->dword;
  } catch (...) {
  }
  return 0;
}

int SetRegistryLogSetting(const char* value_name, uint32_t value) {
  if (value_name == nullptr) return 0;
  try {
    corvane::platform::registry::SetValue(corvane::platform::RegRoot::kLocalMachine,
                                          corvane::notifex::kSettingsKey, value_name,
                                          corvane::platform::RegValue::Dword(value));
    return 1;
  } catch (...) {
    return 0;
  }
}

int EnableUI(int setting, NTFX_WINDOW owner, int service_notification) {
  Library().SetMessageBoxOptions(owner, service_notification != 0);
  return Library().Enable(Sink::kUI, setting) ? 1 : 0;
}

int EnableNTEventLog(int setting) { return Library().Enable(Sink::kNtEventLog, setting) ? 1 : 0; }
int EnableCorvaneEventLog(int setting) {
  return Library().Enable(Sink::kEventFile, setting) ? 1 : 0;
}
int EnableHalo2(int setting) { return Library().Enable(Sink::kHalo2, setting) ? 1 : 0; }
int EnableHaloLite(int setting) { return Library().Enable(Sink::kHaloLite, setting) ? 1 : 0; }

int UsingUI(void) { return Library().Using(Sink::kUI) ? 1 : 0; }
int UsingNTEventLog(void) { return Library().Using(Sink::kNtEventLog) ? 1 : 0; }
int UsingCorvaneEventLog(void) { return Library().Using(Sink::kEventFile) ? 1 : 0; }
int UsingHalo2(void) { return Library().Using(Sink::kHalo2) ? 1 : 0; }
int UsingHaloLite(void) { return Library().Using(Sink::kHaloLite) ? 1 : 0; }

void DeRegisterNtfx(void) { Library().UnloadAlerts(); }

}  // extern "C"
