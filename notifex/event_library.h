// The state and the sinks behind the exported notifex calls.
//
// One EventLibrary lives in each process that loads notifex; tests create
// their own with other platform facts. Settings may change at any time from
// any thread; every method is thread-safe. Reports never throw: a sink that
// fails is skipped.

#ifndef CORVANE_NOTIFEX_EVENT_LIBRARY_H_
#define CORVANE_NOTIFEX_EVENT_LIBRARY_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "notifex/alerts.h"
#include "notifex/message_table.h"

namespace corvane::notifex {

inline constexpr char kSettingsKey[] = "SOFTWARE\\Arvex\\Corvane\\EventLog";
inline constexpr char kSystemSourcesKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
inline constexpr char kOwnSourcesKey[] = "SOFTWARE\\Arvex\\Corvane\\EventLog\\Application";
inline constexpr char kAlertMappingsKey[] = "SOFTWARE\\Arvex\\Corvane\\Tessel\\Alert Mappings";
inline constexpr size_t kMaxDefaultFormat = 601;
// "Max Event File MB" under kSettingsKey: the own event file's bound, past
// which it becomes its older copy; 0 or absent stands for the default.
inline constexpr char kMaxEventFileSetting[] = "Max Event File MB";
inline constexpr uint32_t kDefaultMaxEventFileMb = 16;

struct PlatformFacts {
  bool nt = true;            // has the system event log
  bool nt4_or_later = true;  // message boxes use the newer notification style
};

enum class Sink { kUI, kNtEventLog, kEventFile, kHalo2, kHaloLite };

// 1 or 16 -> error (1), 2 or 48 -> warning (2), anything else -> information (4).
uint32_t EventTypeForKind(uint32_t kind);

struct EventReport {
  std::string application;
  std::string alert_name;    // empty: "Alert #<id>"
  std::string display_name;  // empty: the alert name
  uint32_t sinks = 0;
  uint32_t event_id = 0;
  uint32_t kind = 0;
  std::vector<std::string> inserts;
  size_t parameter_count = 0;  // registration mode: one alert parameter per insert token
};

class EventLibrary {
 public:
  explicit EventLibrary(PlatformFacts platform = {});
  ~EventLibrary();

  void RegisterApplication(const std::string& application, const std::string& display_name,
                           const std::string& message_file);

  // Delivers to EffectiveSinks(report.sinks).
  void Report(const EventReport& report);

  // The sinks an event asking for `requested` reaches: a sink switched on by
  // its setting (explicitly, or by the registry while the setting is -1) is
  // always reached; a requested sink is reached unless its setting is an
  // explicit 0; a sink the platform lacks is never reached.
  uint32_t EffectiveSinks(uint32_t requested) const;
  // The sinks that the settings alone select (NTFX_SINK_* bits).
  uint32_t SelectedSinks() const;

  // False (and nothing changes) when the platform rules the sink out.
  bool Enable(Sink sink, int setting);
  bool Using(Sink sink) const;
  void SetMessageBoxOptions(void* owner, bool service_notification);

  bool SetDefaultFormat(const char* format);
  std::string DefaultFormat() const;

  // The message table registered for `application`; null when none loads.
  std::shared_ptr<const MessageTable> LoadSource(const std::string& application);

  // Appends one record to the own event file, kept within "Max Event File
  // MB"; false only when it cannot be opened.
  bool AppendToEventFile(const std::string& source, uint32_t type, uint32_t event_id,
                         const std::vector<std::string>& inserts);

  // The path registered as `application`'s message file, environment
  // variables written as %NAME% expanded; empty when none is registered.
  std::string MessageFileOf(const std::string& application) const;

  void UnloadAlerts();

 private:
  bool Available(Sink sink) const;
  std::string FormatText(const std::string& application, uint32_t event_id,
                         const std::vector<std::string>& inserts);
  std::string CaptionOf(const std::string& application) const;
  void ToSystemLog(const EventReport& report, uint32_t type);
  void ToTerminal(const EventReport& report, uint32_t type);
  void ToAlerts(const EventReport& report, uint32_t type, bool registration, uint32_t sinks);

  const PlatformFacts platform_;
  std::array<std::atomic<int>, 5> settings_;
  std::atomic<bool> service_notification_{false};
  std::atomic<bool> system_key_unavailable_{false};

  mutable std::mutex mutex_;  // guards what follows
  std::string default_format_;
  std::unique_ptr<AlertLibrary> alerts_;
  bool alerts_tried_ = false;
  bool originator_registered_ = false;
  struct CachedTable {
    std::string path;
    int64_t size = -1;
    int64_t modified_ns = -1;
    std::shared_ptr<const MessageTable> table;
  };
  std::vector<CachedTable> tables_;
};

}  // namespace corvane::notifex

#endif  // CORVANE_NOTIFEX_EVENT_LIBRARY_H_
