#include "service/console.h"

#include <cstdio>

#include "diag/catalogue.h"
#include "platform/error.h"

namespace corvane::service {

std::string FillConsoleText(std::string_view format, std::string_view insert) {
  std::string out;
  bool inserted = false;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      if (format[i + 1] == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (format[i + 1] == 's' && !inserted) {
        out += insert;
        inserted = true;
        ++i;
        continue;
      }
    }
    out += format[i];
  }
  return out;
}

std::string ConsoleText(uint32_t id, std::string_view insert) {
  std::optional<std::string_view> format = diag::ProgramString(id);
  return format ? FillConsoleText(*format, insert) : std::string();
}

std::string ErrorText(std::string_view system_message, uint32_t error_number) {
  constexpr size_t kBufferSize = 256;
  constexpr size_t kSuffixRoom = 14;
  if (system_message.empty() || system_message.size() + kSuffixRoom > kBufferSize) return {};
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, " (0x%x)", error_number);
  return std::string(system_message) + suffix;
}

std::string ErrorTextFor(int error_number) {
  return ErrorText(platform::ErrnoText(error_number), static_cast<uint32_t>(error_number));
}

}  // namespace corvane::service
