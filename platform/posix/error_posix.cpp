#include "platform/error.h"

#include <cstring>

namespace corvane::platform {

std::string ErrnoText(int error_number) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling buffer.
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  return text ? std::string(text) : std::string("error ") + std::to_string(error_number);
}

OsError::OsError(const std::string& context, int error_number)
    : std::runtime_error(context + ": " + ErrnoText(error_number)), error_number_(error_number) {}

}  // namespace corvane::platform
