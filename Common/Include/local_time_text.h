// The local time as the events that carry a time show it: the time format
// of the process's locale ("23:10:00" in the default one). Pure apart from
// the time zone; thread-safe.

#ifndef CORVANE_COMMON_INCLUDE_LOCAL_TIME_TEXT_H_
#define CORVANE_COMMON_INCLUDE_LOCAL_TIME_TEXT_H_

#include <ctime>
#include <string>

namespace corvane {

inline std::string LocalTimeText(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[100];
  const size_t length = std::strftime(text, sizeof text, "%X", &local);
  return std::string(text, length);
}

}  // namespace corvane

#endif  // CORVANE_COMMON_INCLUDE_LOCAL_TIME_TEXT_H_
