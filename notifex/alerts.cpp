#include "notifex/alerts.h"

#include <type_traits>

namespace corvane::notifex {

bool AppendAlertParameter(std::string& block, const std::string& name, const std::string& value) {
  size_t grown = block.size() + name.size() + 1 + value.size() + 1;
  if (grown + 1 > kMaxAlertBlock) return false;
  block += name;
  block += '=';
  block += value;
  block += '\0';
  return true;
}

std::unique_ptr<AlertLibrary> AlertLibrary::Load() {
  std::unique_ptr<platform::DynamicLibrary> library = platform::DynamicLibrary::Load("halolib.dll");
  if (!library) return nullptr;
  auto alerts = std::unique_ptr<AlertLibrary>(new AlertLibrary());
  auto resolve = [&](const char* name, auto& entry) {
    entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(library->Symbol(name));
    return entry != nullptr;
  };
  bool complete = resolve("bHaloOriginatorRegister", alerts->originator_register_) &&
                  resolve("bHaloOriginatorRegisterEh", alerts->originator_register_eh_) &&
                  resolve("HaloRegisterAlert", alerts->register_alert_) &&
                  resolve("HaloRegisterAlertEh", alerts->register_alert_eh_) &&
                  resolve("HaloIssueAlert", alerts->issue_alert_) &&
                  resolve("HaloIssueAlertEh", alerts->issue_alert_eh_) &&
                  resolve("AddFlagToString", alerts->add_flag_) &&
                  resolve("HaloAppendParam", alerts->append_param_);
  if (!complete) return nullptr;  // unloads the library
  alerts->library_ = std::move(library);
  return alerts;
}

bool AlertLibrary::RegisterOriginator(const std::string& application) {
  return originator_register_eh_(application.c_str()) != 0;
}

void AlertLibrary::RegisterAlertType(const std::string& application, const std::string& alert_name,
                                     const std::string& block, bool registered_originator) {
  std::string terminated = block + '\0';
  RegisterAlert entry = registered_originator ? register_alert_ : register_alert_eh_;
  entry(application.c_str(), alert_name.c_str(), terminated.data(),
        static_cast<uint32_t>(terminated.size()));
}

void AlertLibrary::IssueAlert(const std::string& application, const std::string& alert_name,
                              const std::string& block, uint64_t filetime, uint32_t severity) {
  std::string terminated = block + '\0';
  issue_alert_eh_(application.c_str(), alert_name.c_str(), terminated.data(),
                  static_cast<uint32_t>(terminated.size()), filetime, severity);
}

}  // namespace corvane::notifex
