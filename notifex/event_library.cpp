#include "notifex/event_library.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>

#include "notifex/event_file.h"
#include "notifex/notifex.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/syslog.h"
#include "platform/terminal.h"

namespace corvane::notifex {
namespace {

using platform::RegRoot;
using platform::RegValue;
namespace registry = platform::registry;

const char* SettingName(Sink sink) {
  switch (sink) {
    case Sink::kUI:
      return "UI";
    case Sink::kNtEventLog:
      return "NT Event Log";
    case Sink::kEventFile:
      return "Corvane Event Log";
    case Sink::kHalo2:
      return "Halo2";
    case Sink::kHaloLite:
      return "HaloLite";
  }
  return "";
}

uint32_t RegistryDword(const char* key, const char* name) {
  try {
    std::optional<RegValue> value = registry::GetValue(RegRoot::kLocalMachine, key, name);
    if (value && value->type == platform::RegType::kDword) return value->dword;
  } catch (const std::exception&) {
    // An unreadable hive reads as "not set", as a missing key does.
  }
  return 0;
}

std::string ExpandEnvironment(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    size_t close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
    if (close == std::string::npos) {
      out += text[i];
      continue;
    }
    std::string name = text.substr(i + 1, close - i - 1);
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (value == nullptr) {
      out.append(text, i, close - i + 1);
    } else {
      out += value;
    }
    i = close;
  }
  return out;
}

}  // namespace

uint32_t EventTypeForKind(uint32_t kind) {
  if (kind == 1 || kind == 16) return NTFX_TYPE_ERROR;
  if (kind == 2 || kind == 48) return NTFX_TYPE_WARNING;
  return NTFX_TYPE_INFORMATION;
}

EventLibrary::EventLibrary(PlatformFacts platform) : platform_(platform) {
  for (auto& setting : settings_) setting = -1;
}

EventLibrary::~EventLibrary() = default;

bool EventLibrary::Enable(Sink sink, int setting) {
  if (sink == Sink::kNtEventLog && !platform_.nt) return false;
  settings_[static_cast<size_t>(sink)] = setting;
  return true;
}

bool EventLibrary::Using(Sink sink) const {
  if (!Available(sink)) return false;
  int setting = settings_[static_cast<size_t>(sink)];
  if (setting != -1) return setting != 0;
  return RegistryDword(kSettingsKey, SettingName(sink)) != 0;
}

uint32_t EventLibrary::EffectiveSinks(uint32_t requested) const {
  static constexpr std::pair<Sink, uint32_t> kSinkBits[] = {
      {Sink::kUI, NTFX_SINK_UI},
      {Sink::kNtEventLog, NTFX_SINK_NT_EVENT_LOG},
      {Sink::kHalo2, NTFX_SINK_HALO2},
      {Sink::kHaloLite, NTFX_SINK_HALOLITE},
      {Sink::kEventFile, NTFX_SINK_EVENT_FILE},
  };
  uint32_t sinks = 0;
  for (auto [sink, bit] : kSinkBits) {
    if (!Available(sink)) continue;
    int setting = settings_[static_cast<size_t>(sink)];
    bool on = setting == -1
                  ? (requested & bit) != 0 || RegistryDword(kSettingsKey, SettingName(sink)) != 0
                  : setting != 0;
    if (on) sinks |= bit;
  }
  return sinks;
}

uint32_t EventLibrary::SelectedSinks() const { return EffectiveSinks(0); }

bool EventLibrary::Available(Sink sink) const {
  if (sink == Sink::kNtEventLog) return platform_.nt;
  if (sink == Sink::kHalo2 || sink == Sink::kHaloLite) {
    std::lock_guard<std::mutex> lock(mutex_);
    return alerts_ != nullptr;
  }
  return true;
}

void EventLibrary::SetMessageBoxOptions(void* /*owner*/, bool service_notification) {
  service_notification_ = service_notification;
}

bool EventLibrary::SetDefaultFormat(const char* format) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (format == nullptr) {
    default_format_.clear();
    return true;
  }
  std::string_view text(format);
  if (text.size() > kMaxDefaultFormat) return false;
  default_format_ = text;
  return true;
}

std::string EventLibrary::DefaultFormat() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return default_format_;
}

void EventLibrary::RegisterApplication(const std::string& application,
                                       const std::string& display_name,
                                       const std::string& message_file) {
  auto register_source = [&](const std::string& key, uint32_t types) {
    registry::Update(RegRoot::kLocalMachine, [&](platform::RegTree& tree) {
      platform::RegKey& source = tree.Create(key);
      if (!message_file.empty()) source.Set("EventMessageFile", RegValue::ExpandSz(message_file));
      source.Set("TypesSupported", RegValue::Dword(types));
    });
  };
  if (platform_.nt) {
    try {
      register_source(std::string(kSystemSourcesKey) + "\\" + application, 7);
    } catch (const std::exception&) {
      system_key_unavailable_ = true;
    }
  }
  try {
    register_source(std::string(kOwnSourcesKey) + "\\" + application, 31);
  } catch (const std::exception&) {
    // Registration is best effort; reports still reach the sinks.
  }

  std::lock_guard<std::mutex> lock(mutex_);
  if (!alerts_tried_) {
    alerts_tried_ = true;
    alerts_ = AlertLibrary::Load();
  }
  if (!alerts_) return;
  std::string shown = display_name.empty() ? application : display_name;
  std::vector<uint8_t> bytes(shown.begin(), shown.end());
  bytes.push_back(0);
  try {
    registry::SetValue(RegRoot::kLocalMachine, kAlertMappingsKey, application,
                       RegValue::Binary(std::move(bytes)));
  } catch (const std::exception&) {
  }
  originator_registered_ = alerts_->RegisterOriginator(application);
}

void EventLibrary::UnloadAlerts() {
  std::lock_guard<std::mutex> lock(mutex_);
  alerts_.reset();
  originator_registered_ = false;
}

std::string EventLibrary::MessageFileOf(const std::string& application) const {
  std::vector<std::string> keys;
  if (platform_.nt && !system_key_unavailable_) {
    keys.push_back(std::string(kSystemSourcesKey) + "\\" + application);
  }
  keys.push_back(std::string(kOwnSourcesKey) + "\\" + application);
  for (const std::string& key : keys) {
    try {
      std::optional<RegValue> value =
          registry::GetValue(RegRoot::kLocalMachine, key, "EventMessageFile");
      if (value &&
          (value->type == platform::RegType::kExpandSz || value->type == platform::RegType::kSz) &&
          !value->text.empty()) {
        return ExpandEnvironment(value->text);
      }
    } catch (const std::exception&) {
    }
  }
  return {};
}

std::shared_ptr<const MessageTable> EventLibrary::LoadSource(const std::string& application) {
  std::string path = MessageFileOf(application);
  if (path.empty()) return nullptr;
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return nullptr;
  int64_t modified = int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const CachedTable& cached : tables_) {
      if (cached.path == path && cached.size == info.st_size && cached.modified_ns == modified) {
        return cached.table;
      }
    }
  }
  std::optional<MessageTable> loaded = LoadMessageTable(path);
  if (!loaded) return nullptr;
  auto table = std::make_shared<const MessageTable>(std::move(*loaded));
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(tables_, [&](const CachedTable& cached) { return cached.path == path; });
  tables_.push_back({path, info.st_size, modified, table});
  return table;
}

std::string EventLibrary::FormatText(const std::string& application, uint32_t event_id,
                                     const std::vector<std::string>& inserts) {
  std::shared_ptr<const MessageTable> table = LoadSource(application);
  return FormatEventText(table.get(), application, event_id, inserts, DefaultFormat());
}

std::string EventLibrary::CaptionOf(const std::string& application) const {
  try {
    std::optional<RegValue> mapping =
        registry::GetValue(RegRoot::kLocalMachine, kAlertMappingsKey, application);
    if (mapping && mapping->type == platform::RegType::kBinary && !mapping->bytes.empty()) {
      std::string caption(mapping->bytes.begin(), mapping->bytes.end());
      caption.resize(caption.find('\0') == std::string::npos ? caption.size() : caption.find('\0'));
      if (!caption.empty()) return caption;
    }
  } catch (const std::exception&) {
  }
  return application;
}

void EventLibrary::Report(const EventReport& report) {
  try {
    bool registration = (report.sinks & NTFX_REGISTRATION_MODE) != 0;
    uint32_t type = EventTypeForKind(report.kind);
    if (registration) {
      ToAlerts(report, type, true, report.sinks);
      return;
    }
    uint32_t sinks = EffectiveSinks(report.sinks);
    if (sinks & NTFX_SINK_NT_EVENT_LOG) ToSystemLog(report, type);
    if (sinks & NTFX_SINK_EVENT_FILE) {
      AppendToEventFile(report.application, type, report.event_id, report.inserts);
    }
    if (sinks & NTFX_SINK_UI) ToTerminal(report, type);
    if (sinks & (NTFX_SINK_HALO2 | NTFX_SINK_HALOLITE)) ToAlerts(report, type, false, sinks);
  } catch (const std::exception&) {
    // No report fails towards its caller.
  }
}

bool EventLibrary::AppendToEventFile(const std::string& source, uint32_t type, uint32_t event_id,
                                     const std::vector<std::string>& inserts) {
  EventRecord record{FileTimeFrom(std::chrono::system_clock::now()), source, type, event_id,
                     inserts};
  uint32_t max_mb = RegistryDword(kSettingsKey, kMaxEventFileSetting);
  if (max_mb == 0) max_mb = kDefaultMaxEventFileMb;
  return AppendEventRecord(EventFilePath(), record, uint64_t{max_mb} << 20) !=
         AppendResult::kNotOpened;
}

void EventLibrary::ToSystemLog(const EventReport& report, uint32_t type) {
  platform::SyslogSeverity severity = type == NTFX_TYPE_ERROR ? platform::SyslogSeverity::kError
                                      : type == NTFX_TYPE_WARNING
                                          ? platform::SyslogSeverity::kWarning
                                          : platform::SyslogSeverity::kInformation;
  std::string text = "Event " + std::to_string(report.event_id) + ": " +
                     FormatText(report.application, report.event_id, report.inserts);
  platform::WriteSyslog(severity, platform::SyslogIdentifier(report.application), text);
}

void EventLibrary::ToTerminal(const EventReport& report, uint32_t type) {
  platform::MessageIcon icon = type == NTFX_TYPE_ERROR     ? platform::MessageIcon::kError
                               : type == NTFX_TYPE_WARNING ? platform::MessageIcon::kWarning
                                                           : platform::MessageIcon::kInformation;
  platform::ShowOnTerminal(CaptionOf(report.application),
                           FormatText(report.application, report.event_id, report.inserts), icon);
}

void EventLibrary::ToAlerts(const EventReport& report, uint32_t type, bool registration,
                            uint32_t sinks) {
  std::string alert_name =
      report.alert_name.empty() ? "Alert #" + std::to_string(report.event_id) : report.alert_name;
  std::string display = report.display_name.empty() ? alert_name : report.display_name;
  std::string block;
  if (registration) {
    AppendAlertParameter(block, "Description", "");
    AppendAlertParameter(block, "AlertName", display);
    for (size_t i = 1; i <= report.parameter_count; ++i) {
      AppendAlertParameter(block, "P" + std::to_string(i), "");
    }
  } else {
    std::string text = FormatText(report.application, report.event_id, report.inserts);
    std::string caption = CaptionOf(report.application);
    bool fits = AppendAlertParameter(block, "Description", text) &&
                AppendAlertParameter(block, "AlertName", display) &&
                AppendAlertParameter(block, "Source", caption);
    for (size_t i = 0; fits && i < report.inserts.size(); ++i) {
      fits = AppendAlertParameter(block, "P" + std::to_string(i + 1), report.inserts[i]);
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!alerts_) return;
  if (registration) {
    alerts_->RegisterAlertType(report.application, alert_name, block, originator_registered_);
    return;
  }
  uint32_t severity = type == NTFX_TYPE_ERROR ? 16 : type == NTFX_TYPE_WARNING ? 8 : 2;
  uint64_t now = FileTimeFrom(std::chrono::system_clock::now());
  if (sinks & NTFX_SINK_HALO2) {
    alerts_->IssueAlert(report.application, alert_name, block, now, severity);
  }
  if (sinks & NTFX_SINK_HALOLITE) {
    std::string lite = block;
    AppendAlertParameter(lite, "--Hostname", platform::ComputerName());
    alerts_->IssueAlert(report.application, alert_name, lite, now, severity);
  }
}

}  // namespace corvane::notifex
