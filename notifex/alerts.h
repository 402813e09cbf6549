// The alert channels (Halo2 and HaloLite), present only when the alert
// library "halolib" is installed beside the program or on the loader path.
//
// The library is optional: without it, or when one of its entry points is
// missing, Load() returns null and both alert sinks stay off. The entry
// points take C strings and a parameter block of "Name=Value" texts, each
// NUL-terminated, the block ending with an empty text. Thread-safe once
// loaded.

#ifndef CORVANE_NOTIFEX_ALERTS_H_
#define CORVANE_NOTIFEX_ALERTS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/dynlib.h"

namespace corvane::notifex {

inline constexpr size_t kMaxAlertBlock = 602;

// Appends "name=value\0" unless the block (with its final NUL) would then
// exceed kMaxAlertBlock; returns false when it did not fit.
bool AppendAlertParameter(std::string& block, const std::string& name, const std::string& value);

class AlertLibrary {
 public:
  static std::unique_ptr<AlertLibrary> Load();

  bool RegisterOriginator(const std::string& application);
  // Registers an alert type; `registered_originator` picks the Halo2 form.
  void RegisterAlertType(const std::string& application, const std::string& alert_name,
                         const std::string& block, bool registered_originator);
  void IssueAlert(const std::string& application, const std::string& alert_name,
                  const std::string& block, uint64_t filetime, uint32_t severity);

 private:
  using OriginatorRegister = int (*)(const char*);
  using RegisterAlert = int (*)(const char*, const char*, const char*, uint32_t);
  using IssueAlertFn = int (*)(const char*, const char*, const char*, uint32_t, uint64_t, uint32_t);
  using AddFlag = int (*)(char*, uint32_t, const char*);
  using AppendParam = int (*)(char*, uint32_t, const char*, const char*);

  std::unique_ptr<platform::DynamicLibrary> library_;
  OriginatorRegister originator_register_ = nullptr;
  OriginatorRegister originator_register_eh_ = nullptr;
  RegisterAlert register_alert_ = nullptr;
  RegisterAlert register_alert_eh_ = nullptr;
  IssueAlertFn issue_alert_ = nullptr;
  IssueAlertFn issue_alert_eh_ = nullptr;
  AddFlag add_flag_ = nullptr;
  AppendParam append_param_ = nullptr;
};

}  // namespace corvane::notifex

#endif  // CORVANE_NOTIFEX_ALERTS_H_
