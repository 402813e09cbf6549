// Console texts of the install and remove commands.
//
// The formats come from the string table and take one text insert ("%s");
// the insert is copied in as data. Pure.

#ifndef CORVANE_SERVICE_CONSOLE_H_
#define CORVANE_SERVICE_CONSOLE_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane::service {

// String-table ids of the console texts.
enum ConsoleString : uint32_t {
  kUnableToInstall = 22,
  kInstalled = 23,
  kCreateServiceFailed = 24,
  kOpenManagerFailed = 25,
  kStopping = 26,
  kStopped = 27,
  kFailedToStop = 28,
  kRemoved = 29,
  kDeleteServiceFailed = 30,
  kOpenServiceFailed = 31,
  kServiceDescription = 41,
};

// Puts `insert` in place of the first "%s" of `format` ("%%" gives "%").
std::string FillConsoleText(std::string_view format, std::string_view insert);

// The string-table text `id` filled with `insert`.
std::string ConsoleText(uint32_t id, std::string_view insert);

// The error text of a failure: the system's message for `error_number`
// followed by " (0x<hex>)", or empty when there is no message or message and
// suffix do not fit a 256-character buffer.
std::string ErrorText(std::string_view system_message, uint32_t error_number);
std::string ErrorTextFor(int error_number);

}  // namespace corvane::service

#endif  // CORVANE_SERVICE_CONSOLE_H_
